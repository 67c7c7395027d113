#include "devimage.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

// Header offsets, little-endian 32-bit fields.
constexpr size_t HDR_IMAGE_SIZE = 0;
constexpr size_t HDR_PRODUCT = 8;
constexpr size_t HDR_PCB_REVISION = 12;
constexpr size_t HDR_VERSION = 16;
constexpr size_t HDR_RECORD_COUNT = 24;
constexpr size_t HDR_TARGET_LENGTH = 28;
constexpr size_t HDR_TARGET_START = 32;
constexpr size_t HDR_START_BYTES = 44;

void put_be32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

std::string fmt(const char* format, size_t a, size_t b = 0, size_t c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

}  // namespace

uint32_t devimage_le32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

int devimage_parse(std::vector<uint8_t> bytes, DevImage& image, std::string& error) {
  image = DevImage{};
  if (bytes.size() < DEVIMG_HEADER_BYTES + DEVIMG_TRAILER_BYTES) {
    error = "shorter than a header and trailer";
    return 1;
  }
  const uint32_t size = devimage_le32(bytes, HDR_IMAGE_SIZE);
  if (size != bytes.size()) {
    error = fmt("image_size %zu but the file holds %zu bytes", size, bytes.size());
    return 2;
  }
  const uint32_t count = devimage_le32(bytes, HDR_RECORD_COUNT);
  const size_t records_end = bytes.size() - DEVIMG_TRAILER_BYTES;
  size_t at = DEVIMG_HEADER_BYTES;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 2 > records_end) {
      error = fmt("record %zu starts past the records' end", i + 1);
      return 3;
    }
    const uint32_t length = static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8);
    if (length < DEVIMG_RECORD_MIN || length > DEVIMG_RECORD_MAX || at + length > records_end) {
      error = fmt("record %zu has length %zu at offset %zu", i + 1, length, at);
      return 3;
    }
    image.record_offsets.push_back(at);
    at += length;
  }
  if (at != records_end) {
    error = fmt("the records end at %zu, the trailer starts at %zu", at, records_end);
    return 4;
  }
  image.product = devimage_le32(bytes, HDR_PRODUCT);
  image.pcb_revision = devimage_le32(bytes, HDR_PCB_REVISION);
  image.version = devimage_le32(bytes, HDR_VERSION);
  image.target_length = devimage_le32(bytes, HDR_TARGET_LENGTH);
  image.target_start = devimage_le32(bytes, HDR_TARGET_START);
  std::copy_n(bytes.begin() + HDR_START_BYTES, image.start_bytes.size(), image.start_bytes.begin());
  image.bytes = std::move(bytes);
  return 0;
}

int devimage_load(const std::string& path, DevImage& image, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read " + path;
    return 5;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const int result = devimage_parse(std::move(bytes), image, error);
  if (result != 0) error = path + ": " + error;
  return result;
}

std::vector<uint8_t> devimage_start_command(const DevImage& image) {
  std::vector<uint8_t> command{'!'};
  put_be32(command, image.target_start);
  put_be32(command, image.target_length);
  command.insert(command.end(), image.start_bytes.begin(), image.start_bytes.end());
  return command;
}

std::vector<std::vector<uint8_t>> devimage_record_packets(const DevImage& image,
                                                          std::span<const uint8_t> start_command) {
  std::array<uint8_t, DEVIMG_COMMAND_BUFFER_BYTES> buffer{};
  std::copy_n(start_command.begin(), std::min(start_command.size(), buffer.size()), buffer.begin());
  std::vector<std::vector<uint8_t>> packets;
  for (size_t at : image.record_offsets) {
    const size_t length = static_cast<size_t>(image.bytes[at] | image.bytes[at + 1] << 8);
    buffer[0] = '$';
    // Record bytes 2 .. L-2 go to buffer bytes 1 .. L-3; the record's last byte does not.
    std::copy_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(at + 2), length - 3, buffer.begin() + 1);
    const size_t count = (length + 1) % 256;
    packets.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return packets;
}

DevFlashVerdict devimage_verify(const DevImage& image, std::span<const uint8_t> start_command,
                                const std::vector<std::vector<uint8_t>>& records,
                                const std::string& label) {
  DevFlashVerdict verdict;
  const std::string no = "flash NOT verified: ";
  if (start_command.empty()) {
    verdict.text = no + "no start command received";
    return verdict;
  }
  const std::vector<uint8_t> want_start = devimage_start_command(image);
  if (!std::equal(start_command.begin(), start_command.end(), want_start.begin(), want_start.end())) {
    verdict.text = no + "the start command differs from " + label;
    return verdict;
  }
  const auto want = devimage_record_packets(image, start_command);
  for (size_t i = 0; i < std::min(want.size(), records.size()); ++i) {
    if (records[i] == want[i]) continue;
    if (records[i].size() != want[i].size()) {
      verdict.text = no + fmt("record %zu has %zu bytes, expected %zu", i + 1, records[i].size(),
                              want[i].size());
    } else {
      const auto diff = std::mismatch(records[i].begin(), records[i].end(), want[i].begin());
      verdict.text = no + fmt("record %zu differs at byte %zu", i + 1,
                              static_cast<size_t>(diff.first - records[i].begin()));
    }
    return verdict;
  }
  if (records.size() != want.size()) {
    verdict.text = no + fmt("%zu records received, %zu expected", records.size(), want.size());
    return verdict;
  }
  verdict.verified = true;
  verdict.text = fmt("flash verified: %zu records match ", want.size()) + label;
  return verdict;
}
