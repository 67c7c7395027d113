#include "protocol/version.h"

#include <cstdarg>
#include <cstdio>

namespace korvo {

namespace {

// printf at buffer[n] without running past capacity; n keeps counting the whole text.
__attribute__((format(printf, 4, 5))) void append(char* buffer, size_t capacity, size_t& n,
                                                  const char* format, ...) {
  const size_t room = n < capacity ? capacity - n : 0;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(room > 0 ? buffer + n : nullptr, room, format, args);
  va_end(args);
  if (written > 0) n += static_cast<size_t>(written);
}

}  // namespace

size_t format_version(char* buffer, size_t capacity, Version v) {
  if (capacity == 0) return 0;
  size_t n = 0;
  if (v == 0) {
    append(buffer, capacity, n, "None");
    return n;
  }
  const unsigned third = version_third(v);
  append(buffer, capacity, n, "%u.%02u", version_major(v), version_minor(v));
  if (third != 0) append(buffer, capacity, n, ".%02u", third);
  // 96 + letter, modulo 256: 1 gives "a"; values past 26 give whatever byte that makes, NUL
  // included, and it still belongs in the text.
  if (version_letter(v) != 0) {
    append(buffer, capacity, n, "%c", static_cast<unsigned char>(96u + version_letter(v)));
  }
  if (third != 0) append(buffer, capacity, n, "(Beta)");
  return n;
}

std::string version_string(Version v) {
  char text[VERSION_TEXT_BYTES] = {};
  return std::string(text, format_version(text, sizeof text, v));
}

}  // namespace korvo
