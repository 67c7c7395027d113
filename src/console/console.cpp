#include "console/console.h"

#include <cstdarg>
#include <vector>

namespace korvo {

namespace {

// Written whole and flushed at once: prompts and progress lines without a newline must show.
// Formatted here first, since printf on an unbuffered stream may hand the system one
// character at a time (mingw's does), a write each: 34 for a progress line, paid between
// one record's status and the next record.
void write_now(std::FILE* file, const char* format, va_list args) {
  char text[512];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof text) {
    std::fwrite(text, 1, static_cast<std::size_t>(length), file);
  } else if (length > 0) {
    std::vector<char> longer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(longer.data(), longer.size(), format, again);
    std::fwrite(longer.data(), 1, static_cast<std::size_t>(length), file);
  }
  va_end(again);
  std::fflush(file);
}

}  // namespace

void say(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_now(out.file, format, args);
  va_end(args);
}

void tell(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_now(out.err, format, args);
  va_end(args);
}

void say_bytes(ConsoleOut& out, const void* data, std::size_t count) {
  std::fwrite(data, 1, count, out.file);
  std::fflush(out.file);
}

}  // namespace korvo
