#include "update/versions.h"

#include <array>
#include <string>

#include "update/device_text.h"

namespace korvo {

namespace {

void write_spaces(ConsoleOut& out, uint32_t count) {
  static constexpr std::array<char, 16> spaces{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                              ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  while (count > 0) {
    const uint32_t chunk = count < spaces.size() ? count : static_cast<uint32_t>(spaces.size());
    say_bytes(out, spaces.data(), chunk);
    count -= chunk;
  }
}

// Keys arrive as single codes; only ASCII letters have a case here.
int key_upper(int code) { return code >= 'a' && code <= 'z' ? code - ('a' - 'A') : code; }

}  // namespace

uint32_t version_text_width(Version v) {
  if (v == 0) return 4;  // "None"
  uint32_t width = version_major(v) > 9 ? 5 : 4;
  if (version_third(v) != 0) width += 9;  // ".nn" and "(Beta)"
  if (version_letter(v) != 0) width += 1;
  return width;
}

void print_version(ConsoleOut& out, Version v, uint32_t pad) {
  std::array<char, VERSION_TEXT_BYTES> text{};
  // Written as bytes: a letter value past 26 may put a NUL inside the text, and the text goes
  // on after it. Such a letter may be any control byte, which must not reach the terminal.
  say_device_line(out, text.data(), format_version(text.data(), text.size(), v));
  say(out, ",");
  write_spaces(out, pad);
}

void show_versions(ConsoleOut& out, const DeviceInfo& device, const Image& image) {
  const uint32_t device_width = version_text_width(device.version);
  const Version offered = image_version(image);
  const uint32_t image_width = version_text_width(offered);
  // The narrower text gets the difference as extra spaces so both "Model:" columns line up.
  uint32_t device_pad = 1;
  uint32_t image_pad = 1;
  if (device_width > image_width) {
    image_pad = device_width - image_width + 1;
  } else {
    device_pad = image_width - device_width + 1;
  }
  say(out, "\n Current Version: ");
  print_version(out, device.version, device_pad);
  say(out, "Model: %s", device_text(device_model_text(device)).c_str());
  say(out, "\n Update Version:  ");
  print_version(out, offered, image_pad);
  say(out, "Model: %s", shown_line(image_target_name(image)).c_str());
}

bool confirm_update(Reporter& reporter, Console* console, const DeviceInfo& device, const Image& image) {
  reporter.question(device, image);
  // Each code counts by itself: both halves of an extended key are simply skipped.
  int answer = 'N';
  while (console != nullptr) {
    const int code = console->read_key();
    if (code == CONSOLE_END_OF_INPUT) break;
    const int upper = key_upper(code);
    if (upper == 'Y' || upper == 'N') {
      answer = upper;
      break;
    }
  }
  reporter.answer(answer == 'Y');
  return answer == 'Y';
}

}  // namespace korvo
