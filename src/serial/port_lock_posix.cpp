// Lock files of the UUCP convention, which terminal programs, modem managers and other serial
// tools honour: flock and the exclusive flag only keep out programs that use them too.
//
// The lock folder is world-writable, so anything may sit at a lock name: nothing there is
// opened unless it is a plain file, nothing is followed, and our own files are created under
// names nobody can guess. What cannot be cleared out of the way is reported, and the run goes
// on with the other two guards rather than being locked out by it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "serial/port_posix.h"

namespace korvo {

namespace {

constexpr int LOCK_TAKE_ATTEMPTS = 3;        // each stale lock in the way is cleared once
constexpr long PID_MAX_FALLBACK = 4194304;   // the largest pid_max Linux allows
constexpr time_t EMPTY_LOCK_GRACE_S = 5;     // an empty lock younger than this is being written

// Locks this process holds: one naming our pid that is not among them was left by an earlier
// process that had our pid (common after a container restart).
std::vector<std::string>& held_here() {
  static std::vector<std::string> paths;
  return paths;
}

// Threads taking and releasing locks at once: a take runs whole under it (file operations
// only, none of which waits), so that a lock another thread has just linked into place is
// among held_here() before anyone can look at it and find it stale, and a release unlinks
// before another thread may take the same name. The signal path never takes it.
std::mutex& locks_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::string lock_folder() {
  const char* chosen = std::getenv("KORVO_LOCK_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  struct stat st {};
  for (const char* folder : {"/var/lock", "/run/lock"}) {
    if (::stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) return folder;
  }
  return "";
}

long pid_limit() {
  static const long limit = [] {
    long value = 0;
    if (std::FILE* f = std::fopen("/proc/sys/kernel/pid_max", "re")) {
      if (std::fscanf(f, "%ld", &value) != 1) value = 0;
      std::fclose(f);
    }
    return value > 1 ? value : PID_MAX_FALLBACK;
  }();
  return limit;
}

// What sits at a lock name.
enum class LockState {
  GONE = 0,      // nothing
  HELD = 1,      // a live process's lock, or one still being written
  STALE = 2,     // a plain file naming no live process: safe to take over
  IN_WAY = 3,    // no plain file (FIFO, link, device, directory...): never a lock
  UNKNOWN = 4,   // could not be looked at
};

// The process id a plain file names: > 0; 0 for an empty file; -1 for one that names none
// (garbage, or a number past `limit`). Never opens anything but a plain file, never blocks,
// follows no link. Async-signal-safe: the signal path reads it before removing a lock.
long read_owner(const char* path, long limit, struct stat* seen) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -2;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -2;
  }
  if (seen != nullptr) *seen = st;
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
  for (; text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
    pid = pid * 10 + (text[at] - '0');
    if (pid >= limit) return -1;  // no process can have it, and 2^32 + 1 is not pid 1
  }
  return digits > 0 && pid > 0 ? pid : -1;
}

bool process_alive(long pid) {
  // EPERM: it exists, it is only someone else's.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool held_by_this_process(const std::string& lock_path) {
  const auto& held = held_here();
  return std::find(held.begin(), held.end(), lock_path) != held.end();
}

// lock_path: the name the lock is known by, for our own locks; `path` may be a name it was
// moved to meanwhile.
LockState look_at(const std::string& path, const std::string& lock_path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? LockState::GONE : LockState::UNKNOWN;
  if (!S_ISREG(st.st_mode)) return LockState::IN_WAY;
  const long owner = read_owner(path.c_str(), pid_limit(), &st);
  if (owner == -2) {
    // Gone or replaced between the two looks: look again next round.
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT ? LockState::GONE : LockState::UNKNOWN;
  }
  if (owner == 0) {
    // Its writer may not have got to it yet; an empty lock that stays empty names nobody. A
    // time far in the future is no writer's either.
    const time_t age = std::time(nullptr) - st.st_mtime;
    return age < EMPTY_LOCK_GRACE_S && age > -EMPTY_LOCK_GRACE_S ? LockState::HELD : LockState::STALE;
  }
  if (owner < 0) return LockState::STALE;
  if (owner == static_cast<long>(::getpid())) {
    return held_by_this_process(lock_path) ? LockState::HELD : LockState::STALE;
  }
  return process_alive(owner) ? LockState::HELD : LockState::STALE;
}

// A name of our own in the lock folder, created exclusively and never guessed by anyone else.
// -1 with errno when it cannot be made.
int create_own(const std::string& lock_path, std::string& name) {
  std::string pattern = lock_path + ".XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) name = pattern;
  return fd;
}

enum class Cleared { YES = 0, HELD = 1, BLOCKED = 2 };

// Clears what is in the way at the lock name. A directory goes only when empty (what is in it
// is not ours to delete). Anything else is first moved aside under a name of our own: of two
// processes taking over the same stale lock, only one moves it, and the other, coming late,
// moves the first one's fresh lock instead, sees it is live and puts it back rather than
// deleting it. errno tells why when BLOCKED.
Cleared clear_stale(const std::string& lock_path) {
  struct stat st {};
  if (::lstat(lock_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (::rmdir(lock_path.c_str()) == 0 || errno == ENOENT) return Cleared::YES;
    return Cleared::BLOCKED;
  }
  std::string aside;
  const int fd = create_own(lock_path, aside);
  if (fd < 0) return Cleared::BLOCKED;
  ::close(fd);
  // The placeholder is replaced whole: rename follows no link at either name.
  if (::rename(lock_path.c_str(), aside.c_str()) != 0) {
    const int error = errno;
    (void)::unlink(aside.c_str());
    errno = error;
    return error == ENOENT ? Cleared::YES : Cleared::BLOCKED;
  }
  if (look_at(aside, lock_path) == LockState::HELD) {
    (void)!::link(aside.c_str(), lock_path.c_str());  // never over a lock taken meanwhile
    (void)::unlink(aside.c_str());
    return Cleared::HELD;
  }
  if (::unlink(aside.c_str()) != 0 && errno == EISDIR) (void)::rmdir(aside.c_str());
  return Cleared::YES;
}

std::string with_reason(const std::string& what, int error) {
  return what + " (" + std::strerror(error) + "); going on without a lock file";
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

PortLock port_lock_take(const std::string& lock_path, std::string* warning) {
  const std::lock_guard<std::mutex> guard(locks_mutex());
  std::string ignored;
  std::string& why = warning != nullptr ? *warning : ignored;
  why.clear();
  // Written in full under a name of our own first, then linked into place: the lock file
  // appears whole, or not at all.
  std::string own;
  const int fd = create_own(lock_path, own);
  if (fd < 0) {
    // The folder's fault, the same for every port: said by the folder's name.
    why = with_reason(lock_path.substr(0, lock_path.rfind('/')) + ": cannot create a lock file there", errno);
    return PortLock::UNAVAILABLE;
  }
  // The process id padded to 10 characters, and a newline; readable by every serial tool.
  std::array<char, 32> text{};
  const int length = std::snprintf(text.data(), text.size(), "%10ld\n", static_cast<long>(::getpid()));
  const bool written = ::fchmod(fd, 0644) == 0 && length > 0 &&
                       ::write(fd, text.data(), static_cast<size_t>(length)) == length;
  const int write_error = errno;
  const bool closed = ::close(fd) == 0;
  PortLock result = PortLock::UNAVAILABLE;
  if (!written || !closed) why = with_reason(lock_path + ": cannot write a lock file", write_error);
  for (int attempt = 0; written && closed && attempt < LOCK_TAKE_ATTEMPTS; ++attempt) {
    if (::link(own.c_str(), lock_path.c_str()) == 0) {
      result = PortLock::TAKEN;
      held_here().push_back(lock_path);
      break;
    }
    if (errno != EEXIST) {
      why = with_reason(lock_path + ": cannot create a lock file", errno);
      break;
    }
    const LockState state = look_at(lock_path, lock_path);
    if (state == LockState::HELD) {
      result = PortLock::IN_USE;
      break;
    }
    if (state == LockState::GONE) continue;
    const Cleared cleared = clear_stale(lock_path);
    if (cleared == Cleared::HELD) {
      result = PortLock::IN_USE;
      break;
    }
    if (cleared == Cleared::BLOCKED) {
      why = with_reason(lock_path + ": a stale lock cannot be cleared away", errno);
      break;
    }
  }
  if (result == PortLock::UNAVAILABLE && why.empty()) why = lock_path + ": kept changing; going on without a lock file";
  (void)::unlink(own.c_str());
  return result;
}

void port_lock_drop(const char* lock_path) {
  // Only while it still names us: a lock another process has put in its place is theirs.
  if (lock_path != nullptr && lock_path[0] != '\0' &&
      read_owner(lock_path, PID_MAX_FALLBACK + 1, nullptr) == static_cast<long>(::getpid()))
    (void)::unlink(lock_path);
}

void port_lock_release(const std::string& lock_path) {
  const std::lock_guard<std::mutex> guard(locks_mutex());
  auto& held = held_here();
  held.erase(std::remove(held.begin(), held.end(), lock_path), held.end());
  port_lock_drop(lock_path.c_str());
}

}  // namespace korvo
