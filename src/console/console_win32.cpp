// The Windows console: msvcrt's keyboard calls, which read keys without echo and without
// waiting for Enter.
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/notes.h"
#include "serial/stop.h"

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

// How long a closing console waits for the program to finish after a stop: the system ends
// the process itself some 5 s after the close.
constexpr DWORD CLOSE_WAIT_MS = 4000;

// Graceful stop mode, how many interruptions it has taken so far, and the event the program
// sets once it has finished after a stop.
std::atomic<bool> g_stop_mode{false};
std::atomic<LONG> g_interruptions{0};
std::atomic<HANDLE> g_done{nullptr};
std::atomic<bool> g_stop_said{true};  // the handler writes CONSOLE_STOP_LINE

void write_error(const char* text, std::size_t length) {
  DWORD written = 0;
  (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

void write_notes() {
  char note[CONSOLE_NOTE_BYTES];
  for (std::size_t i = 0; i < CONSOLE_NOTE_SLOTS; ++i) {
    const std::size_t length = console_note_copy(i, note);
    if (length > 0) write_error(note, length);
  }
}

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  if (g_stop_mode.load() && event == CTRL_CLOSE_EVENT) {
    // The process ends once this returns: give the program its time to finish first.
    port_request_stop();
    if (g_stop_said.load()) write_error(CONSOLE_STOP_LINE, sizeof CONSOLE_STOP_LINE - 1);
    const HANDLE done = g_done.load();
    if (done != nullptr && WaitForSingleObject(done, CLOSE_WAIT_MS) == WAIT_OBJECT_0) return FALSE;
    write_notes();
    return FALSE;
  }
  if (g_stop_mode.load() && interrupt && g_interruptions.fetch_add(1) == 0) {
    port_request_stop();
    if (g_stop_said.load()) write_error(CONSOLE_STOP_LINE, sizeof CONSOLE_STOP_LINE - 1);
    return TRUE;  // handled: the process goes on and winds down
  }
  if (interrupt || event == CTRL_CLOSE_EVENT) write_notes();
  // Ended as the system's own handling ends it, with its status for a Ctrl-C, said here: under
  // Wine that handling let the process end with status 0, which a script reads as success.
  if (interrupt) ExitProcess(STATUS_CONTROL_C_EXIT);
  return FALSE;  // the system's own handling follows: the process ends as before
}

// Installed once, whoever asks first: installed twice, it would see every event twice.
void install_handler() {
  static const bool installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  (void)installed;
}

}  // namespace

// On Windows a port's handle never takes the place of a standard one, and there is no
// SIGPIPE: nothing to do.
void console_prepare_process() {}

void console_exact_bytes(std::FILE* file) {
  std::fflush(file);
  _setmode(_fileno(file), _O_BINARY);
}

Console& console_system() {
  static Win32Console console;
  static const bool prepared = [] {
    // Prompts and progress lines without a newline must show at once, also when standard
    // output is a pipe, where msvcrt would otherwise buffer it fully.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    install_handler();
    return true;
  }();
  (void)prepared;
  return console;
}

void console_stop_on_interrupt(bool on, bool say_so) {
  g_stop_said.store(say_so);
  if (on && g_done.load() == nullptr) {
    const HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE expected = nullptr;
    if (made != nullptr && !g_done.compare_exchange_strong(expected, made)) CloseHandle(made);
  }
  g_interruptions.store(0);
  g_stop_mode.store(on);
  if (on) install_handler();
}

void console_stop_done() {
  const HANDLE done = g_done.load();
  if (done != nullptr) SetEvent(done);
}

const bool CONSOLE_SLASH_HELP = true;

}  // namespace korvo
