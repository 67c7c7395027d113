#include "update/device_text.h"

namespace korvo {

namespace {

bool controls_terminal(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == 0x90 || (byte >= 0x9B && byte <= 0x9F);
}

char shown(char c) {
  return controls_terminal(static_cast<unsigned char>(c)) ? DEVICE_TEXT_REPLACEMENT : c;
}

char shown_keeping_breaks(char c) {
  return c == '\r' || c == '\n' || c == '\t' ? c : shown(c);
}

}  // namespace

std::string shown_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = shown(c);
  return out;
}

void say_device_line(ConsoleOut& out, const void* data, size_t count) {
  const std::string bytes = shown_line(std::string_view(static_cast<const char*>(data), count));
  say_bytes(out, bytes.data(), bytes.size());
}

void say_device_bytes(ConsoleOut& out, const void* data, size_t count) {
  std::string bytes(static_cast<const char*>(data), count);
  for (char& c : bytes) c = shown_keeping_breaks(c);
  say_bytes(out, bytes.data(), bytes.size());
}

}  // namespace korvo
