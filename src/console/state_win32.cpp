#include <windows.h>

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

  // Append access alone: every write lands at the end of the file as one piece, whoever else
  // has it open to append as well.
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = reason("cannot open", path, GetLastError());
    return false;
  }
  const std::string whole = line + "\n";
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
