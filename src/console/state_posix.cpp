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

  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    why = reason("cannot open", path, errno);
    return false;
  }
  // One write: O_APPEND places it at the end as one piece, whoever else appends.
  const std::string whole = line + "\n";
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
