#include "console/console.h"

#include <cstdarg>

namespace korvo {

namespace {

// Written and flushed at once: prompts and progress lines without a newline must show.
void write_now(std::FILE* file, const char* format, va_list args) {
  std::vfprintf(file, format, args);
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
