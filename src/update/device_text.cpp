#include "update/device_text.h"

namespace korvo {

namespace {

constexpr unsigned char ESC = 0x1B;
constexpr unsigned char CSI = 0x9B;

char shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == ESC || byte == CSI ? DEVICE_TEXT_REPLACEMENT : c;
}

}  // namespace

std::string device_text(const char* text) {
  std::string out = text;
  for (char& c : out) c = shown(c);
  return out;
}

void say_device_bytes(ConsoleOut& out, const void* data, size_t count) {
  std::string bytes(static_cast<const char*>(data), count);
  for (char& c : bytes) c = shown(c);
  say_bytes(out, bytes.data(), bytes.size());
}

}  // namespace korvo
