#include <windows.h>

#include <io.h>

#include "console/terminal.h"

namespace korvo {

namespace {

HANDLE console_of(std::FILE* file) {
  if (file == nullptr) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

}  // namespace

// Consoles before Windows 10 do not know the sequences and refuse the mode: plain lines there.
bool console_live_view(std::FILE* file) {
  const HANDLE handle = console_of(file);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
#ifdef ENABLE_VIRTUAL_TERMINAL_PROCESSING
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  return false;
#endif
}

int console_columns(std::FILE* file) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(console_of(file), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

int console_lines(std::FILE* file) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(console_of(file), &info)) {
    const int lines = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (lines > 0) return lines;
  }
  return 24;
}

}  // namespace korvo
