// Firmware images: an 84-byte header, length-prefixed records and a CRC-32 trailer,
// all little-endian, read by offset straight from the embedded bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/device_info.h"

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
};

using ImageTable = std::array<Image, IMAGE_SLOTS>;

// The table built into the program.
const ImageTable& image_table();

uint16_t read_le16(std::span<const uint8_t> bytes, size_t offset);
uint32_t read_le32(std::span<const uint8_t> bytes, size_t offset);

// Header fields of a non-empty image.
uint32_t image_field(const Image& image, uint32_t offset);
inline Version image_version(const Image& image) { return image_field(image, IMG_VERSION); }
// target_name, NUL-terminated within its 33 bytes in every image the build accepts.
const char* image_target_name(const Image& image);
// An empty slot: no data, or image_size 0.
bool image_empty(const Image& image);

// First non-empty slot, in order, whose product and PCB revision equal the device's;
// the index (0 = slot 1) or -1.
int image_select(const ImageTable& table, uint16_t product, uint16_t pcb_revision);

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, initial 0xFFFFFFFF, final complement).
uint32_t crc32_update(uint32_t reg, std::span<const uint8_t> bytes);  // no complement
uint32_t crc32(std::span<const uint8_t> bytes);
