// The simulated device's own reading of a firmware image file, and the check that what its
// flash received is exactly what a host sends for that image.
//
// A host builds every command in one persistent 524-byte buffer that is never cleared:
// a record of length L goes out as "$", the record's bytes 2 .. L-2, and then the three
// buffer bytes that earlier commands left at positions L-2 .. L, (L + 1) mod 256 bytes in
// all. The expected packets are computed from that buffer, starting from the start
// command the device actually received.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr uint32_t DEVIMG_HEADER_BYTES = 84;
inline constexpr uint32_t DEVIMG_TRAILER_BYTES = 4;
inline constexpr uint32_t DEVIMG_RECORD_MIN = 3;
inline constexpr uint32_t DEVIMG_RECORD_MAX = 252;
inline constexpr size_t DEVIMG_COMMAND_BUFFER_BYTES = 524;

struct DevImage {
  std::vector<uint8_t> bytes;
  uint32_t product = 0;
  uint32_t pcb_revision = 0;
  uint32_t version = 0;
  uint32_t target_length = 0;
  uint32_t target_start = 0;
  std::array<uint8_t, 7> start_bytes{};
  std::vector<size_t> record_offsets;   // where each record starts in bytes
};

// 0 and a filled image; otherwise non-zero with a reason in error.
[[nodiscard]] int devimage_parse(std::vector<uint8_t> bytes, DevImage& image,
                                 std::string& error);
[[nodiscard]] int devimage_load(const std::string& path, DevImage& image, std::string& error);

// The 16-byte start command for the image: "!", target start and length most significant
// byte first, the seven start bytes.
std::vector<uint8_t> devimage_start_command(const DevImage& image);
// The record packets a host sends for the image after the given start command.
std::vector<std::vector<uint8_t>> devimage_record_packets(const DevImage& image,
                                                          std::span<const uint8_t> start_command);

struct DevFlashVerdict {
  bool verified = false;
  std::string text;   // "flash verified: 574 records match x.bin" / "flash NOT verified: ..."
};

// Whether a start command and the records accepted after it are exactly the image.
DevFlashVerdict devimage_verify(const DevImage& image, std::span<const uint8_t> start_command,
                                const std::vector<std::vector<uint8_t>>& records,
                                const std::string& label);

uint32_t devimage_le32(std::span<const uint8_t> bytes, size_t offset);
