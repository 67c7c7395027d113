#include "update/versions.h"

#include <array>
#include <cstdarg>
#include <cstdio>

#include "driver/run_state.h"
#include "images/compat.h"

namespace {

unsigned version_major(Version v) { return (v >> 24) & 0xFFu; }
unsigned version_minor(Version v) { return (v >> 16) & 0xFFu; }
unsigned version_third(Version v) { return (v >> 8) & 0xFFu; }
unsigned version_letter(Version v) { return v & 0xFFu; }

// 96 + letter, modulo 256: 1 gives "a"; values past 26 give whatever byte that makes,
// NUL included.
uint8_t version_letter_byte(Version v) { return static_cast<uint8_t>(96u + version_letter(v)); }

// printf at buffer[n] without running past capacity; n keeps counting the whole text, so a
// short buffer gets a truncated, terminated text and the length it would have needed.
__attribute__((format(printf, 4, 5))) void append(char* buffer, size_t capacity, size_t& n,
                                                  const char* format, ...) {
  const size_t room = n < capacity ? capacity - n : 0;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(room > 0 ? buffer + n : nullptr, room, format, args);
  va_end(args);
  if (written > 0) n += static_cast<size_t>(written);
}

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
  // A letter byte of 0 is stored too: the length counts it even though %s would stop there.
  if (version_letter(v) != 0) append(buffer, capacity, n, "%c", version_letter_byte(v));
  if (third != 0) append(buffer, capacity, n, "(Beta)");
  return n;
}

uint32_t version_text_width(Version v) {
  if (v == 0) return 4;  // "None"
  // The minor and third number count as two digits, the major as at most two.
  uint32_t width = version_major(v) > 9 ? 5 : 4;
  if (version_third(v) != 0) width += 9;  // ".nn" and "(Beta)"
  if (version_letter(v) != 0) width += 1;
  return width;
}

void print_version(RunState& run, Version v, uint32_t pad) {
  if (v == 0) {
    say(run.out, "None");
  } else {
    const unsigned third = version_third(v);
    say(run.out, "%u.%02u", version_major(v), version_minor(v));
    if (third != 0) say(run.out, ".%02u", third);
    if (version_letter(v) != 0) {
      // Written raw: the byte may be NUL or not a letter at all, and still belongs in the text.
      const uint8_t letter = version_letter_byte(v);
      say_bytes(run.out, &letter, 1);
    }
    if (third != 0) say(run.out, "(Beta)");
  }
  say(run.out, ",");
  write_spaces(run.out, pad);
}

void show_versions(RunState& run, const DeviceInfo& device, const Image& image) {
  const uint32_t device_width = version_text_width(device.version);
  const Version image_version_value = image_version(image);
  const uint32_t image_width = version_text_width(image_version_value);
  // The narrower text gets the difference as extra spaces so both "Model:" columns line up.
  uint32_t device_pad = 1;
  uint32_t image_pad = 1;
  if (device_width > image_width) {
    image_pad = device_width - image_width + 1;
  } else {
    device_pad = image_width - device_width + 1;
  }
  say(run.out, "\n Current Version: ");
  print_version(run, device.version, device_pad);
  say(run.out, "Model: %s", compat_model_text(device));
  say(run.out, "\n Update Version:  ");
  print_version(run, image_version_value, image_pad);
  say(run.out, "Model: %s", image_target_name(image));
}

bool confirm_update(RunState& run, const DeviceInfo& device, const Image& image) {
  const Version installed = device.version;
  const Version offered = image_version(image);
  const char* model = compat_model_text(device);
  const char* prompt;
  if (installed == offered) {
    say(run.out, "\nThe firmware in the %s matches this update.\n", model);
    prompt = "\n\nUpdate anyway? (Y,N) ";
  } else if (installed < offered) {
    say(run.out, "\n\nThis update is newer than the firmware inside the %s.\n", model);
    prompt = "\n\nContinue with update to newer version? (Y,N) ";
  } else {
    say(run.out, "\n\nThis update is OLDER than the firmware inside the %s!\n", model);
    prompt = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
  }
  show_versions(run, device, image);
  say(run.out, "%s", prompt);

  // Each code counts by itself: both halves of an extended key are simply skipped. With no
  // console, or once input has ended, nobody can say yes: that answers N.
  int answer = 'N';
  while (run.console != nullptr) {
    const int code = run.console->read_key();
    if (code == CONSOLE_END_OF_INPUT) break;
    const int upper = key_upper(code);
    if (upper == 'Y' || upper == 'N') {
      answer = upper;
      break;
    }
  }
  say(run.out, "%c\n", answer);
  if (answer == 'Y') return true;
  say(run.out, "\nUpdate cancelled.\n\n");
  return false;
}
