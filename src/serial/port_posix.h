// POSIX pieces shared by the serial backend, the clock and the console of this platform.
#pragma once

#include <cstdint>
#include <string>

namespace korvo {

// COM<number> names the device in KORVO_COM<number> (e.g. KORVO_COM3=/dev/ttyUSB0), since
// POSIX systems have no COM numbering; without it, the number-1'th /dev/ttyS device.
std::string port_posix_device_path(int number);

// Monotonic milliseconds from an arbitrary origin, and a sleep that resumes after signals.
uint64_t clock_posix_monotonic_ms();
void clock_posix_sleep_ms(uint64_t ms);

// The tty ioctl for the driver's serial settings (TIOCGSERIAL/TIOCSSERIAL), replaceable so tests
// can see the low-latency mode asked for at open and put back at close; nullptr restores the
// system's own.
using PortSerialIoctl = int (*)(int fd, unsigned long request, void* arg);
void port_posix_use_serial_ioctl(PortSerialIoctl ioctl_fn);

// For fatal-signal handlers only: drops the exclusive flag of the open port and closes it, so
// a port does not stay exclusive while other descriptors of the tty live on. Async-signal-safe.
void port_posix_release_from_signal();

}  // namespace korvo
