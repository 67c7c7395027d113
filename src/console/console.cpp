#include "console/console.h"

#include <cstdarg>

namespace korvo {

void say(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(out.file, format, args);
  va_end(args);
  std::fflush(out.file);
}

void tell(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(out.err, format, args);
  va_end(args);
  std::fflush(out.err);
}

void say_bytes(ConsoleOut& out, const void* data, std::size_t count) {
  std::fwrite(data, 1, count, out.file);
  std::fflush(out.file);
}

}  // namespace korvo
