// Multi-byte numbers in byte buffers, read and written by offset: little-endian in images and
// in the bootloader's information reply, most significant byte first in the start command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvo {

// 0 when the number does not lie wholly inside bytes.
inline uint16_t read_le16(std::span<const uint8_t> bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return 0;
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline uint32_t read_le32(std::span<const uint8_t> bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

// The writers expect the whole number to fit: their callers write fixed layouts.
inline void put_le16(std::span<uint8_t> out, size_t offset, uint16_t value) {
  out[offset] = static_cast<uint8_t>(value & 0xFFu);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void put_le32(std::span<uint8_t> out, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void put_be32(std::span<uint8_t> out, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace korvo
