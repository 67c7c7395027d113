// Firmware images: an 84-byte header, length-prefixed records and a CRC-32 trailer,
// all little-endian, read by offset straight from the embedded bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/bytes.h"
#include "protocol/version.h"

namespace korvo {

inline constexpr uint32_t IMAGE_HEADER_BYTES = 84;
inline constexpr uint32_t IMAGE_TRAILER_BYTES = 4;
inline constexpr uint32_t IMAGE_SLOTS = 8;
inline constexpr uint32_t IMAGE_RECORD_MIN = 3;    // a record carries at least one payload byte
inline constexpr uint32_t IMAGE_RECORD_MAX = 252;  // its packet of L + 1 bytes must stay framable
inline constexpr uint32_t IMAGE_TARGET_NAME_BYTES = 33;

// Field offsets in the header.
inline constexpr uint32_t IMG_IMAGE_SIZE = 0;
inline constexpr uint32_t IMG_WORD_4 = 4;
inline constexpr uint32_t IMG_PRODUCT = 8;
inline constexpr uint32_t IMG_PCB_REVISION = 12;
inline constexpr uint32_t IMG_VERSION = 16;
inline constexpr uint32_t IMG_MAX_RECORD_LENGTH = 20;
inline constexpr uint32_t IMG_RECORD_COUNT = 24;
inline constexpr uint32_t IMG_TARGET_LENGTH = 28;
inline constexpr uint32_t IMG_TARGET_START = 32;
inline constexpr uint32_t IMG_TARGET_END = 36;
inline constexpr uint32_t IMG_WORD_40 = 40;
inline constexpr uint32_t IMG_START_BYTES = 44;
inline constexpr uint32_t IMG_TARGET_NAME = 51;

// One image slot: the image's bytes, or none for an empty slot.

struct Image {
  const uint8_t* data = nullptr;  // first byte of the header; null for an empty slot
  size_t size = 0;                // bytes available at data
  // SHA-256 of the bytes in lower-case hex, taken by the build for the record of each update;
  // null for an empty slot and for an image made at run time.
  const char* sha256 = nullptr;
};

using ImageTable = std::array<Image, IMAGE_SLOTS>;

// The table built into the program.
const ImageTable& image_table();

// Header fields of a non-empty image (0 for a field outside the bytes).
uint32_t image_field(const Image& image, uint32_t offset);
inline Version image_version(const Image& image) { return image_field(image, IMG_VERSION); }
// target_name, NUL-terminated within its 33 bytes in every image the build accepts;
// "" for an image too short to hold it.
const char* image_target_name(const Image& image);
// An empty slot: no data, image_size 0, or fewer bytes than a header (nothing to match).
bool image_empty(const Image& image);

// First non-empty slot, in order, whose product and PCB revision equal the device's:
// its index (0 = slot 1), or none.
std::optional<size_t> image_select(const ImageTable& table, uint16_t product,
                                   uint16_t pcb_revision);

// The image's bytes as a span; empty for an empty slot with no data.
inline std::span<const uint8_t> image_bytes(const Image& image) {
  return image.data == nullptr ? std::span<const uint8_t>() : std::span(image.data, image.size);
}

// The header decoded into plain fields, for the image tool and the tests. The program
// itself reads single fields by offset with image_field().
inline constexpr uint32_t IMAGE_START_BYTES = 7;
struct ImageHeader {
  uint32_t image_size = 0;
  uint32_t word_4 = 0;
  uint32_t product = 0;
  uint32_t pcb_revision = 0;
  Version version = 0;
  uint32_t max_record_length = 0;
  uint32_t record_count = 0;
  uint32_t target_length = 0;
  uint32_t target_start = 0;
  uint32_t target_end = 0;
  uint32_t word_40 = 0;
  std::array<uint8_t, IMAGE_START_BYTES> start_bytes{};
  // The 33 bytes as stored, plus a spare 0 so the text is terminated even when they are not.
  std::array<char, IMAGE_TARGET_NAME_BYTES + 1> target_name{};
};

enum class ImageResult {
  OK = 0,
  TOO_SHORT = 1,       // fewer bytes than the piece being read
  RECORD_OUTSIDE = 2,  // the record would reach into the trailer or past the end
  RECORD_LENGTH = 3,   // L outside IMAGE_RECORD_MIN..IMAGE_RECORD_MAX
};

// Decodes the first 84 bytes; ImageResult::TOO_SHORT when there are fewer.
[[nodiscard]] ImageResult image_header(std::span<const uint8_t> bytes, ImageHeader& header);
[[nodiscard]] inline ImageResult image_header(const Image& image, ImageHeader& header) {
  return image_header(image_bytes(image), header);
}
// The inverse, for building images.
void image_header_encode(const ImageHeader& header, std::span<uint8_t, IMAGE_HEADER_BYTES> out);

// One record of the walk: its offset in the image, its length L (length word included)
// and the L - 2 payload bytes, pointing into the image.
struct ImageRecord {
  size_t offset = 0;
  uint32_t length = 0;
  std::span<const uint8_t> payload;
};

// The record at offset. It must lie between the header and the trailer of the bytes
// available (the trailer is taken as the last 4 of them) and have L in 3..252; otherwise
// RECORD_OUTSIDE or RECORD_LENGTH, and record.length still holds L when it
// could be read. The first record is at IMAGE_HEADER_BYTES, each next one L bytes on.
[[nodiscard]] ImageResult image_record(std::span<const uint8_t> bytes, size_t offset, ImageRecord& record);
[[nodiscard]] inline ImageResult image_record(const Image& image, size_t offset, ImageRecord& record) {
  return image_record(image_bytes(image), offset, record);
}

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, initial 0xFFFFFFFF, final complement).
uint32_t crc32_update(uint32_t reg, std::span<const uint8_t> bytes);  // no complement
uint32_t crc32(std::span<const uint8_t> bytes);
inline constexpr uint32_t CRC32_INITIAL = 0xFFFFFFFFu;
// The register after running over data followed by its own little-endian CRC-32.
inline constexpr uint32_t CRC32_RESIDUE = 0xDEBB20E3u;

}  // namespace korvo
