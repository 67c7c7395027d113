// The Windows console: msvcrt's keyboard calls, which read keys without echo and without
// waiting for Enter.
#include <windows.h>

#include <conio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console/console.h"

namespace korvo {

namespace {

// More keys than anyone types ahead: the loop that throws them away always ends.
constexpr int TYPEAHEAD_MOST_KEYS = 4096;

struct Win32Console final : Console {
  bool key_waiting() override { return _kbhit() != 0; }

  int read_key() override {
    const int key = _getch();
    // Without a console (input redirected, no window) _getch fails at once with EOF, and
    // it would on every later call too: no key can ever come.
    return key < 0 ? CONSOLE_END_OF_INPUT : key;
  }

  // The keys msvcrt holds and the console's own input queue. _kbhit reads the console, never
  // a redirected standard input, so piped answers stay.
  void discard_typeahead() override {
    for (int n = 0; n < TYPEAHEAD_MOST_KEYS && _kbhit() != 0; ++n) (void)_getch();
    const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
    if (input == INVALID_HANDLE_VALUE) return;
    (void)FlushConsoleInputBuffer(input);
    CloseHandle(input);
  }
};

// The interruption note; the handler runs on a thread of its own, so the length is cleared
// while the text changes.
char g_note[CONSOLE_NOTE_BYTES];
volatile LONG g_note_length = 0;

BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    const LONG length = g_note_length;
    DWORD written = 0;
    if (length > 0) {
      (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), g_note, static_cast<DWORD>(length), &written,
                      nullptr);
    }
  }
  return FALSE;  // the system's own handling follows: the process ends as before
}

}  // namespace

// On Windows a port's handle never takes the place of a standard one, and there is no
// SIGPIPE: nothing to do.
void console_prepare_process() {}

Console& console_system() {
  static Win32Console console;
  static const bool prepared = [] {
    // Prompts and progress lines without a newline must show at once, also when standard
    // output is a pipe, where msvcrt would otherwise buffer it fully.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
    return true;
  }();
  (void)prepared;
  return console;
}

void console_set_interrupt_note(const char* text) {
  g_note_length = 0;
  const size_t length = std::min(std::strlen(text), sizeof g_note);
  std::memcpy(g_note, text, length);
  g_note_length = static_cast<LONG>(length);
}

const bool CONSOLE_SLASH_HELP = true;

}  // namespace korvo
