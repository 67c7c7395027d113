// Building images: the deterministic stand-in that the default build embeds (we do not
// ship the maker's firmware), and images for other products, revisions, versions and record
// sizes for tests. Used by korvo-image and the tests; the program itself never builds one.
//
// Generated record layout (our own; devices treat record contents as opaque):
//   0  2    L, the record length
//   2  4    target address of the first data byte, little-endian
//   6  2    n = L - 12, the number of data bytes
//   8  n    data: the byte for target address a is byte (a mod 4) of the little-endian
//           32-bit value a - (a mod 4), so every aligned word holds its own address
//   8+n 2   16-bit sum of bytes 2 .. 7+n, little-endian
//   10+n 2  0xFF 0xFF, erased-flash filler (a record packet never carries a record's last byte)
// Consecutive records carry consecutive target ranges from target_start on, so the data
// bytes of all records together are target_length bytes. A record shorter than 12 bytes
// carries no data: it is this layout cut to L bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "images/image.h"

namespace korvo {

inline constexpr uint32_t IMAGE_RECORD_OVERHEAD = 12;  // bytes of a generated record besides data
// Far above any device's flash; keeps a mistyped record count from exhausting memory.
inline constexpr uint32_t IMAGE_BUILD_MAX_BYTES = 64u * 1024u * 1024u;

// What `korvo-image pack` builds; the defaults give the stand-in exactly.
struct ImagePackSpec {
  uint32_t product = 68;
  uint32_t pcb_revision = 6;
  Version version = 0x010E0000u;  // 1.14
  std::array<char, IMAGE_TARGET_NAME_BYTES + 1> target_name{"SlatePro"};
  uint32_t word_4 = 0x01000000u;
  uint32_t word_40 = 0;
  uint32_t target_start = 0x2000;
  // target_length defaults to the data bytes the records carry (generated records) or to
  // the payload's size; target_end to target_start + target_length - 1.
  bool target_length_given = false;
  uint32_t target_length = 0;
  bool target_end_given = false;
  uint32_t target_end = 0;
  std::array<uint8_t, IMAGE_START_BYTES> start_bytes{'S', 'T', 'A', 'N', 'D', 'I', 'N'};
  // Generated records: record_count - 1 of record_length bytes, then one of last_length.
  uint32_t record_count = 574;
  uint32_t record_length = 236;
  uint32_t last_length = 96;
  // Instead of generated records: payload bytes cut into records of record_length bytes
  // (the last one carries the rest), or ready-made records (each starting with its L).
  enum RecordSource { GENERATED, PAYLOAD, RAW } source = GENERATED;
  std::span<const uint8_t> input;
};

enum class PackResult {
  OK = 0,
  RECORD_LENGTH = 1,  // a record length outside 3..252
  NAME = 2,           // target_name longer than 32 characters
  EMPTY_INPUT = 3,    // a payload or raw-record input with no bytes
  RAW_RECORDS = 4,    // raw records that do not walk to the end of their input
  TOO_BIG = 5,        // more than IMAGE_BUILD_MAX_BYTES
  NO_RECORDS = 6,     // a record count of 0: an image with nothing to install
};

// Writes one generated record of `length` bytes carrying data for `address` on into out
// (which holds length bytes); returns the number of data bytes it carries.
uint32_t image_generate_record(std::span<uint8_t> out, uint32_t address);

// Builds the whole image: header, records and CRC-32 trailer. On failure out is empty.
[[nodiscard]] PackResult image_pack(const ImagePackSpec& request, std::vector<uint8_t>& out);

// The stand-in image: image_pack with the defaults.
std::vector<uint8_t> image_standin();

// Parses a version as the utility prints it ("1.14", "1.14a", "1.14.02", "2.05.01b") or a
// raw number ("0x010E0000"); false for anything else, or a part above 255.
[[nodiscard]] bool image_parse_version(const char* text, Version& version);

}  // namespace korvo
