#include "update/device_text.h"

namespace korvo {

namespace {

bool controls_terminal(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == 0x90 || (byte >= 0x9B && byte <= 0x9F);
}

bool line_break(char c) { return c == '\r' || c == '\n' || c == '\t'; }

// Each control (one byte, or the two of a UTF-8 C1) becomes one replacement; with keep_breaks
// the device's own CR, LF and TAB stay.
std::string shown(std::string_view text, bool keep_breaks) {
  // Printable ASCII, most text, is taken in one piece.
  size_t i = 0;
  while (i < text.size() && text[i] >= 0x20 && text[i] < 0x7F) ++i;
  std::string out(text.substr(0, i));
  if (i == text.size()) return out;
  out.reserve(text.size());
  while (i < text.size()) {
    const size_t control = terminal_control_at(text, i);
    if (control == 0 || (keep_breaks && line_break(text[i]))) {
      out += text[i++];
    } else {
      out += DEVICE_TEXT_REPLACEMENT;
      i += control;
    }
  }
  return out;
}

}  // namespace

size_t terminal_control_at(std::string_view text, size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  if (byte == 0xC2 && at + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[at + 1]);
    if (next >= 0x80 && next <= 0x9F) return 2;
  }
  return controls_terminal(byte) ? 1 : 0;
}

std::string shown_line(std::string_view text) { return shown(text, false); }

void say_device_line(ConsoleOut& out, const void* data, size_t count) {
  const std::string bytes = shown_line(std::string_view(static_cast<const char*>(data), count));
  say_bytes(out, bytes.data(), bytes.size());
}

void say_device_bytes(ConsoleOut& out, const void* data, size_t count) {
  const std::string bytes = shown(std::string_view(static_cast<const char*>(data), count), true);
  say_bytes(out, bytes.data(), bytes.size());
}

}  // namespace korvo
