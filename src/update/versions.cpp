#include "update/versions.h"

#include <cstdio>

size_t format_version(char* buffer, size_t capacity, Version v) {
  if (capacity == 0) return 0;
  if (v == 0) return static_cast<size_t>(std::snprintf(buffer, capacity, "None"));
  const unsigned major = (v >> 24) & 0xFFu;
  const unsigned minor = (v >> 16) & 0xFFu;
  const unsigned third = (v >> 8) & 0xFFu;
  const unsigned letter = v & 0xFFu;
  int n = std::snprintf(buffer, capacity, "%u.%02u", major, minor);
  if (third != 0) n += std::snprintf(buffer + n, capacity - static_cast<size_t>(n), ".%02u", third);
  if (letter != 0) {
    // 96 + letter, modulo 256: 1 gives "a"; values past 26 print whatever byte that makes.
    n += std::snprintf(buffer + n, capacity - static_cast<size_t>(n), "%c",
                       static_cast<char>(static_cast<uint8_t>(96u + letter)));
  }
  if (third != 0) n += std::snprintf(buffer + n, capacity - static_cast<size_t>(n), "(Beta)");
  return static_cast<size_t>(n);
}
