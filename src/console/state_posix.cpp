#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console/state.h"

namespace korvo {

namespace {

constexpr const char* RECORD_TAIL = "/korvo/updates.jsonl";

bool absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (absolute(home)) return home;
  // A service or a cron job may run without HOME: the password database still knows.
  const passwd* entry = getpwuid(getuid());
  if (entry != nullptr && absolute(entry->pw_dir)) return entry->pw_dir;
  return "";
}

std::string reason(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Every missing folder on the way to dir, each made for the user alone. A folder made at the
// same moment by another writer is as good as our own.
bool make_folders(const std::string& dir, std::string& why) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      const int error = errno;
      struct stat info {};
      // Some file systems refuse even a folder that is there (read-only, no access to its parent).
      if (::stat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = reason("cannot make the folder", part, error);
        return false;
      }
    }
    if (slash == std::string::npos) return true;
  }
}

// A newly made file is only durable once its folder entry is.
void sync_folder(const std::string& dir) {
  const int fd = ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  (void)::close(fd);
}

// Opened without waiting: a FIFO's open would otherwise block until its other end is opened.
// Cleared again at once, so that reads and writes of the file wait as usual.
int open_unblocked(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    const int now = ::fcntl(fd, F_GETFL);
    if (now >= 0) (void)::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
  }
  return fd;
}

std::string not_regular(mode_t mode) {
  const char* kind = S_ISFIFO(mode)    ? " (a FIFO)"
                     : S_ISCHR(mode)   ? " (a character device)"
                     : S_ISBLK(mode)   ? " (a block device)"
                     : S_ISDIR(mode)   ? " (a folder)"
                     : S_ISSOCK(mode)  ? " (a socket)"
                                       : "";
  return std::string("not a regular file") + kind;
}

// Why the open failed: what is at path when it is not a regular file (a FIFO without a reader,
// a socket, a folder), else the system's reason.
std::string refusal(const std::string& path, int error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return path + " is " + not_regular(info.st_mode);
  return reason("cannot open", path, error);
}

}  // namespace

std::string state_default_record_path() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (absolute(state)) return state + std::string(RECORD_TAIL);
  const std::string home = home_folder();
  if (home.empty()) return "";
  return home + "/.local/state" + RECORD_TAIL;
}

bool state_append_line(const std::string& path, const std::string& line, std::string& why) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  struct stat info {};
  const bool existed = ::stat(path.c_str(), &info) == 0;
  if (!existed && slash != std::string::npos && slash > 0 && !make_folders(dir, why)) return false;

  // Read access too, to see how the file ends; a file we may only write to is appended to as is.
  bool readable = true;
  int fd = open_unblocked(path, O_RDWR | O_APPEND | O_CREAT);
  if (fd < 0 && errno == EACCES) {
    readable = false;
    fd = open_unblocked(path, O_WRONLY | O_APPEND | O_CREAT);
  }
  if (fd < 0) {
    const int error = errno;
    why = refusal(path, error);
    return false;
  }
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = path + " is " + not_regular(info.st_mode);
    (void)::close(fd);
    return false;
  }
  // One write: O_APPEND places it at the end as one piece, whoever else appends.
  std::string whole;
  char last = '\n';
  if (readable && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') whole = "\n";
  whole += line + "\n";
  ssize_t written;
  do {
    written = ::write(fd, whole.data(), whole.size());
  } while (written < 0 && errno == EINTR);
  bool ok = true;
  if (written < 0) {
    why = reason("cannot write to", path, errno);
    ok = false;
  } else if (static_cast<size_t>(written) != whole.size()) {
    why = "cannot write to " + path + ": only " + std::to_string(written) + " of " +
          std::to_string(whole.size()) + " bytes fitted";
    // End the torn line, so that the next record starts a line of its own.
    if (written > 0) (void)!::write(fd, "\n", 1);
    ok = false;
  }
  if (ok && ::fsync(fd) != 0) {
    why = reason("cannot flush", path, errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    why = reason("cannot close", path, errno);
    ok = false;
  }
  if (ok && !existed) sync_folder(slash == 0 ? "/" : dir);
  return ok;
}

StateFile::~StateFile() { close(); }

void StateFile::close() {
  if (handle_ >= 0) (void)::close(static_cast<int>(handle_));
  handle_ = -1;
}

StateFile::Opened StateFile::open(const std::string& path, std::string& why) {
  close();
  const int fd = open_unblocked(path, O_RDONLY);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return Opened::MISSING;
    struct stat info {};
    why = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) ? not_regular(info.st_mode)
                                                                      : std::strerror(error);
    return Opened::REFUSED;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = not_regular(info.st_mode);
    (void)::close(fd);
    return Opened::REFUSED;
  }
  handle_ = fd;
  return Opened::OK;
}

long StateFile::read(char* buffer, size_t size, std::string& why) {
  ssize_t got;
  do {
    got = ::read(static_cast<int>(handle_), buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) why = std::strerror(errno);
  return static_cast<long>(got);
}

bool StateFile::rewind(std::string& why) {
  if (::lseek(static_cast<int>(handle_), 0, SEEK_SET) == 0) return true;
  why = std::strerror(errno);
  return false;
}

std::FILE* state_scratch_file() { return std::tmpfile(); }

std::string state_host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string state_utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (::gmtime_r(&now, &utc) == nullptr) return "";
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, length);
}

}  // namespace korvo
