#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

#include "console/state.h"

namespace korvo {

namespace {

// The system's words for an error code, without the line end it brings.
std::string system_text(DWORD error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
    reason.pop_back();
  }
  return reason.empty() ? "error " + std::to_string(error) : reason;
}

std::string reason(const char* what, const std::string& path, DWORD error) {
  return std::string(what) + " " + path + ": " + system_text(error);
}

bool separator(char c) { return c == '\\' || c == '/'; }

// Every missing folder on the way to dir. The drive ("C:") and a share ("\\server\share") are
// taken as they are; a folder made at the same moment by another writer is as good as our own.
bool make_folders(const std::string& dir, std::string& why) {
  size_t from = 0;
  if (dir.size() >= 2 && dir[1] == ':') {
    from = 2;
  } else if (dir.size() >= 2 && separator(dir[0]) && separator(dir[1])) {
    size_t seen = 0;
    for (from = 2; from < dir.size() && seen < 2; ++from) {
      if (separator(dir[from])) ++seen;
    }
  }
  for (size_t i = from + 1; i <= dir.size(); ++i) {
    if (i < dir.size() && !separator(dir[i])) continue;
    const std::string part = dir.substr(0, i);
    if (!CreateDirectoryA(part.c_str(), nullptr)) {
      const DWORD error = GetLastError();
      const DWORD attributes = GetFileAttributesA(part.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = reason("cannot make the folder", part, error);
        return false;
      }
    }
  }
  return true;
}

bool folder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Empty for a file on a disk; else what the handle is instead ("CON", "NUL", a COM port, a pipe
// would hold or feed the program for ever).
std::string not_disk_file(HANDLE file) {
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION info{};
      if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "not a regular file (a folder)";
      }
      return "";
    }
    case FILE_TYPE_CHAR: return "not a regular file (a character device)";
    case FILE_TYPE_PIPE: return "not a regular file (a pipe)";
    default: return "not a regular file";
  }
}

}  // namespace

std::string state_default_record_path() {
  char folder[MAX_PATH + 1] = {};
  const DWORD n = GetEnvironmentVariableA("LOCALAPPDATA", folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return "";
  return std::string(folder, n) + "\\korvo\\updates.jsonl";
}

bool state_append_line(const std::string& path, const std::string& line, std::string& why) {
  size_t slash = path.size();
  while (slash > 0 && !separator(path[slash - 1])) --slash;
  if (slash > 1 && !make_folders(path.substr(0, slash - 1), why)) return false;

  // Append access: every write lands at the end of the file as one piece, whoever else has it
  // open to append as well. Read access too, to see how the file ends; a file we may only
  // append to is appended to as is.
  constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
  bool readable = true;
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, SHARE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (error == ERROR_ACCESS_DENIED && !folder(path)) {
    readable = false;
    file = CreateFileA(path.c_str(), FILE_APPEND_DATA, SHARE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  if (file == INVALID_HANDLE_VALUE) {
    why = folder(path) ? path + " is not a regular file (a folder)" : reason("cannot open", path, error);
    return false;
  }
  const std::string kind = not_disk_file(file);
  if (!kind.empty()) {
    CloseHandle(file);
    why = path + " is " + kind;
    return false;
  }
  std::string whole;
  LARGE_INTEGER size{};
  if (readable && GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    OVERLAPPED at{};
    const auto last_byte = static_cast<ULONGLONG>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(last_byte);
    at.OffsetHigh = static_cast<DWORD>(last_byte >> 32);
    char last = '\n';
    DWORD got = 0;
    if (ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n') whole = "\n";
  }
  whole += line + "\n";
  DWORD written = 0;
  bool ok = true;
  if (!WriteFile(file, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr)) {
    why = reason("cannot write to", path, GetLastError());
    ok = false;
  } else if (written != whole.size()) {
    why = "cannot write to " + path + ": only " + std::to_string(written) + " of " +
          std::to_string(whole.size()) + " bytes fitted";
    // End the torn line, so that the next record starts a line of its own.
    DWORD ignored = 0;
    if (written > 0) (void)WriteFile(file, "\n", 1, &ignored, nullptr);
    ok = false;
  }
  if (ok && !FlushFileBuffers(file)) {
    why = reason("cannot flush", path, GetLastError());
    ok = false;
  }
  CloseHandle(file);
  return ok;
}

StateFile::~StateFile() { close(); }

void StateFile::close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

StateFile::Opened StateFile::open(const std::string& path, std::string& why) {
  close();
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Opened::MISSING;
    why = folder(path) ? "not a regular file (a folder)" : system_text(error);
    return Opened::REFUSED;
  }
  const std::string kind = not_disk_file(file);
  if (!kind.empty()) {
    CloseHandle(file);
    why = kind;
    return Opened::REFUSED;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return Opened::OK;
}

long StateFile::read(char* buffer, size_t size, std::string& why) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, static_cast<DWORD>(size), &got, nullptr)) {
    why = system_text(GetLastError());
    return -1;
  }
  return static_cast<long>(got);
}

bool StateFile::rewind(std::string& why) {
  LARGE_INTEGER start{};
  if (SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), start, nullptr, FILE_BEGIN)) return true;
  why = system_text(GetLastError());
  return false;
}

// The C library's tmpfile() makes its file in the root of the drive, which a user without
// administrator rights may not write: the user's own temporary folder instead.
std::FILE* state_scratch_file() {
  char folder[MAX_PATH + 1] = {};
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "kvo", 0, path) == 0) return nullptr;
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileA(path);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* const stream = _fdopen(fd, "w+b");
  if (stream == nullptr) _close(fd);
  return stream;
}

std::string state_host_name() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

std::string state_utc_now() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  char text[32];
  const int n = wsprintfA(text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                          now.wMinute, now.wSecond);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace korvo
