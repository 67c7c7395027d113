// The invariants the program relies on in every image it carries, checked on a file's bytes.
// The build runs this (through korvo-image verify) on each image it embeds, and the program
// once more before it sends an image, so that a damaged copy of it never reaches a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvo {

// One broken rule each; every rule has its own message.
enum ImageRule {
  IMAGE_RULE_EMPTY = 1,        // no bytes at all
  IMAGE_RULE_SHORT,            // fewer bytes than a header and a trailer
  IMAGE_RULE_SIZE,             // image_size differs from the number of bytes
  IMAGE_RULE_NO_RECORDS,       // record_count is 0: nothing to install
  IMAGE_RULE_RECORD_LENGTH,    // a record length L outside 3..252
  IMAGE_RULE_RECORD_NO_ROOM,   // record_count records do not all start before the trailer
  IMAGE_RULE_RECORD_OVERRUN,   // a record reaches into the trailer
  IMAGE_RULE_RECORD_FILL,      // the records end before the trailer: 84 + sum L + 4 != size
  IMAGE_RULE_MAX_RECORD,       // max_record_length is not the largest L
  IMAGE_RULE_TARGET_NAME,      // no NUL within target_name's 33 bytes
  IMAGE_RULE_CRC               // the trailer is not the CRC-32 of the bytes before it
};
inline constexpr size_t IMAGE_RULE_COUNT = 11;

// What was found for one broken rule; the meaning of a, b and more depends on the rule
// (see image_finding_text).
struct ImageFinding {
  ImageRule rule = IMAGE_RULE_EMPTY;
  uint32_t record = 0;  // 1-based record number, for the record rules
  uint64_t offset = 0;  // where in the file
  uint64_t a = 0;
  uint64_t b = 0;
  uint32_t more = 0;    // further records that break the same rule
};

struct ImageCheck {
  std::array<ImageFinding, IMAGE_RULE_COUNT> findings{};
  size_t count = 0;  // findings in rule order, at most one per rule
};

// Checks every invariant on the bytes of one image file; returns the number of broken
// rules (0 for a sound image). Reads only inside bytes, whatever they hold.
[[nodiscard]] size_t image_check(std::span<const uint8_t> bytes, ImageCheck& check);

// One line (no newline) describing the finding; returns its length like snprintf.
size_t image_finding_text(const ImageFinding& finding, char* buffer, size_t capacity);
inline constexpr size_t IMAGE_FINDING_TEXT_BYTES = 160;

}  // namespace korvo
