// The console: text out on standard output, single keys in without echo.
#pragma once

#include <cstdio>

namespace korvo {

inline constexpr int CONSOLE_END_OF_INPUT = -1;

// Key input: the real console of the platform, or a scripted one in tests.
struct Console {
  virtual ~Console() = default;
  // True when a key is waiting to be read. Never true where there is no typed-ahead input.
  virtual bool key_waiting() = 0;
  // One key code without echo and without Enter; a first code of 0 is followed by the
  // second half of an extended key. CONSOLE_END_OF_INPUT when no key can ever come.
  virtual int read_key() = 0;
  // Throws away every key typed and not yet read, so that none typed before a question can
  // answer it. Input that is not typed (a pipe, a file) is left alone.
  virtual void discard_typeahead() = 0;
};

// The process as a launcher may hand it over, made safe before anything else is opened
// (main() calls it first). On POSIX: standard input, output and error that are closed are
// opened on the null device, so that no port ever takes their numbers (closed input then
// reads as the end of input, closed output goes nowhere); and a reader of the output that
// goes away (a pager that is quit) makes writes fail instead of ending the process. On
// Windows the system sees to both, and this does nothing.
void console_prepare_process();

// The platform console. The first call prepares the terminal (where there is one) and
// arranges for it to be restored on every exit, signals included.
Console& console_system();

// A line for the diagnostics stream should the run be interrupted (Ctrl-C, a kill, the console
// closed) from now on: where the device is left and what to do. Empty: nothing to say. Kept
// whole (up to CONSOLE_NOTE_BYTES) for the interruption path, which can format nothing. Each
// thread has a note of its own (up to 64 threads at once), and the interruption writes them all.
void console_set_interrupt_note(const char* text);
inline constexpr std::size_t CONSOLE_NOTE_BYTES = 512;

// Graceful stop for runs over several ports, off by default. While on, the first Ctrl-C or
// SIGTERM (Windows: Ctrl-C or Ctrl-Break) asks every port to stop (serial/stop.h), writes one
// line to the diagnostics stream and lets the program go on, so that it can close its ports and
// say where each device was left; a second one, or a hang-up or SIGQUIT, ends the process as
// when it is off (notes, ports released, terminal restored). When the Windows console is closed
// the stop is asked for and the system's end of the process waits (up to 4 s) for
// console_stop_done().
// say_so false: the caller says CONSOLE_STOP_LINE itself where it belongs (a view that draws
// on the terminal would be thrown off by a line written into it).
void console_stop_on_interrupt(bool on, bool say_so = true);
inline constexpr char CONSOLE_STOP_LINE[] = "korvo: stopping every device (again to end at once)\n";
// The program has said what it had to after a stop; the process may end now. Only the closing
// Windows console waits for it; elsewhere it does nothing.
void console_stop_done();

// Where the run's text goes: standard output, or a capture in tests.
struct ConsoleOut {
  std::FILE* file = stdout;
  // Diagnostics beside the program's own texts, such as why a port could not be opened.
  std::FILE* err = stderr;
};

// printf to the run's output, flushed at once so prompts and progress lines show.
void say(ConsoleOut& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say_bytes(ConsoleOut& out, const void* data, std::size_t count);
// printf to the diagnostics stream.
void tell(ConsoleOut& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Whether the last text written by say, say_bytes or tell left its line open.
bool console_line_open();

// From now on the bytes written to file go out as they are: on Windows a stream in text mode
// would turn each LF into CR LF, and a CR LF already written (a CSV line end) into CR CR LF.
void console_exact_bytes(std::FILE* file);

// Whether "/?" asks for help on this platform, as its own programs take it.
extern const bool CONSOLE_SLASH_HELP;

}  // namespace korvo
