// The Windows console: msvcrt's keyboard calls, which read keys without echo and without
// waiting for Enter.
#include <conio.h>

#include <cstdio>

#include "console/console.h"

namespace korvo {

namespace {

struct Win32Console final : Console {
  bool key_waiting() override { return _kbhit() != 0; }

  int read_key() override {
    const int key = _getch();
    // Without a console (input redirected, no window) _getch fails at once with EOF, and
    // it would on every later call too: no key can ever come.
    return key < 0 ? CONSOLE_END_OF_INPUT : key;
  }
};

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
    return true;
  }();
  (void)prepared;
  return console;
}

const bool CONSOLE_SLASH_HELP = true;

}  // namespace korvo
