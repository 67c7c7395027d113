// POSIX pieces shared by the serial backend, the clock and the console of this platform.
#pragma once

#include <cstdint>
#include <string>

namespace korvo {

// COM<number> names the device in KORVO_COM<number> (e.g. KORVO_COM3=/dev/ttyUSB0), since
// POSIX systems have no COM numbering; without it, the number-1'th /dev/ttyS device.
std::string port_posix_device_path(int number);

// Monotonic milliseconds from an arbitrary origin, and a sleep that resumes after signals and
// ends early once a stop is asked for (serial/stop.h).
uint64_t clock_posix_monotonic_ms();
void clock_posix_sleep_ms(uint64_t ms);

// A descriptor that polls readable once a stop is asked for; -1 when the system gave none (then
// only the flag tells, between waits).
int port_posix_stop_fd();

// The tty ioctl for the driver's serial settings (TIOCGSERIAL/TIOCSSERIAL) and for what its
// output still holds (TIOCOUTQ, TIOCSERGETLSR), replaceable so tests can see the low-latency
// mode asked for at open and put back at close, and play drivers whose reports differ; nullptr
// restores the system's own. Called from the fatal-signal path too: keep it async-signal-safe.
using PortSerialIoctl = int (*)(int fd, unsigned long request, void* arg);
void port_posix_use_serial_ioctl(PortSerialIoctl ioctl_fn);

// For fatal-signal handlers only: for every port open in the process, whatever thread opened
// it, lets what was written leave (all within one bounded wait, as a close does), drops the
// exclusive flag, the low-latency mode and the lock file, and closes it, so that no port stays
// taken while other descriptors of the tty live on. Async-signal-safe.
void port_posix_release_from_signal();

// The lock-file convention of serial tools: a file LCK..<device name> in the system's lock
// folder naming its holder's process id as 10 ASCII characters and a newline. The folder is
// KORVO_LOCK_DIR when that is set, otherwise /var/lock or /run/lock.
enum class PortLock {
  TAKEN = 0,        // the lock file is ours now (a dead process's lock was taken over)
  IN_USE = 1,       // a live process holds it: leave the port alone
  UNAVAILABLE = 2,  // no lock folder that can be written: the other guards still apply
};
// Whatever sits at the lock name, it is never followed, opened unless a plain file, or waited
// on. A lock naming no live process (a dead one, this process when this process does not hold
// it, a number no process can have, nothing at all for more than a few seconds) and anything
// that is no plain file are stale and cleared away. UNAVAILABLE comes with `warning` saying
// why the run goes on without a lock file.
//
// The lock file's path for a device (its symbolic links followed); "" when the device does
// not exist or there is no lock folder.
std::string port_lock_path(const std::string& device_path);
[[nodiscard]] PortLock port_lock_take(const std::string& lock_path, std::string* warning = nullptr);
// Removes a lock file taken above, while it still names this process. Async-signal-safe.
void port_lock_drop(const char* lock_path);
// The same outside a signal handler, and the lock no longer counts as this process's own.
void port_lock_release(const std::string& lock_path);

}  // namespace korvo
