// Lock files of the UUCP convention, which terminal programs, modem managers and other serial
// tools honour: flock and the exclusive flag only keep out programs that use them too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial/port_posix.h"

namespace korvo {

namespace {

constexpr int LOCK_TAKE_ATTEMPTS = 2;  // a stale lock is removed once, then tried again

std::string lock_folder() {
  const char* chosen = std::getenv("KORVO_LOCK_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  struct stat st {};
  for (const char* folder : {"/var/lock", "/run/lock"}) {
    if (::stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) return folder;
  }
  return "";
}

// The process id a lock file names: > 0, 0 for an empty file (its writer may not have got
// to it yet), -1 for one that names none (garbage, or no longer there). Async-signal-safe:
// the signal path reads it before removing a lock.
long lock_owner(const char* lock_path) {
  const int fd = ::open(lock_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  std::array<char, 32> text{};
  const ssize_t n = ::read(fd, text.data(), text.size() - 1);
  ::close(fd);
  if (n == 0) return 0;
  if (n < 0) return -1;
  // Leading blanks, then the digits: the ten-character field pads with spaces.
  size_t at = 0;
  while (text[at] == ' ' || text[at] == '\t') ++at;
  long pid = 0;
  size_t digits = 0;
  for (; text[at] >= '0' && text[at] <= '9' && digits < 18; ++at, ++digits) pid = pid * 10 + (text[at] - '0');
  return digits > 0 && pid > 0 ? pid : -1;
}

bool process_alive(long pid) {
  // EPERM: it exists, it is only someone else's.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// A lock that someone holds or is still writing; our own process counts as live, since
// another record of this run may hold the port.
bool held(long owner) { return owner == 0 || (owner > 0 && process_alive(owner)); }

// Removes the lock of a process that is gone. It is first moved aside under a name of our
// own: of two processes taking over the same stale lock, only one moves it, and the other,
// coming late, moves the first one's fresh lock instead, sees it is live and puts it back
// rather than deleting it. True when the way is clear to try again.
bool remove_stale(const std::string& lock_path, const std::string& aside) {
  if (::rename(lock_path.c_str(), aside.c_str()) != 0) return errno == ENOENT;
  if (held(lock_owner(aside.c_str()))) {
    (void)!::link(aside.c_str(), lock_path.c_str());  // never over a lock taken meanwhile
    (void)::unlink(aside.c_str());
    return false;
  }
  (void)::unlink(aside.c_str());
  return true;
}

}  // namespace

std::string port_lock_path(const std::string& device_path) {
  // The device's own name, so that a symbolic link and the device itself share one lock.
  char* real = ::realpath(device_path.c_str(), nullptr);
  if (real == nullptr) return "";
  const std::string device = real;
  std::free(real);
  const std::string folder = lock_folder();
  if (folder.empty()) return "";
  return folder + "/LCK.." + device.substr(device.rfind('/') + 1);
}

PortLock port_lock_take(const std::string& lock_path) {
  // Written in full under a name of our own first, then linked into place: the lock file
  // appears whole, or not at all.
  const std::string own = lock_path + "." + std::to_string(::getpid());
  const int fd = ::open(own.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return PortLock::UNAVAILABLE;
  // The process id padded to 10 characters, and a newline.
  std::array<char, 32> text{};
  const int length = std::snprintf(text.data(), text.size(), "%10ld\n", static_cast<long>(::getpid()));
  const bool written = length > 0 && ::write(fd, text.data(), static_cast<size_t>(length)) == length;
  const bool closed = ::close(fd) == 0;
  PortLock result = PortLock::UNAVAILABLE;
  for (int attempt = 0; written && closed && attempt < LOCK_TAKE_ATTEMPTS; ++attempt) {
    if (::link(own.c_str(), lock_path.c_str()) == 0) {
      result = PortLock::TAKEN;
      break;
    }
    if (errno != EEXIST) break;  // a folder that takes no links: as good as none
    result = PortLock::IN_USE;  // unless the lock turns out stale and we get it next time
    if (held(lock_owner(lock_path.c_str())) || !remove_stale(lock_path, own + ".stale")) break;
  }
  (void)::unlink(own.c_str());
  return result;
}

void port_lock_drop(const char* lock_path) {
  // Only while it still names us: a lock another process has put in its place is theirs.
  if (lock_path != nullptr && lock_path[0] != '\0' && lock_owner(lock_path) == static_cast<long>(::getpid()))
    (void)::unlink(lock_path);
}

}  // namespace korvo
