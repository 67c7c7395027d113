#include "images/image.h"

#include <cstring>

namespace korvo {

uint32_t image_field(const Image& image, uint32_t offset) {
  return read_le32(image_bytes(image), offset);
}

const char* image_target_name(const Image& image) {
  if (image.data == nullptr || image.size < IMAGE_HEADER_BYTES) return "";
  return reinterpret_cast<const char*>(image.data + IMG_TARGET_NAME);
}

bool image_empty(const Image& image) {
  return image.data == nullptr || image.size < IMAGE_HEADER_BYTES ||
         image_field(image, IMG_IMAGE_SIZE) == 0;
}

std::optional<size_t> image_select(const ImageTable& table, uint16_t product,
                                   uint16_t pcb_revision) {
  for (size_t slot = 0; slot < table.size(); ++slot) {
    const Image& image = table[slot];
    if (image_empty(image)) continue;
    // Widened to 32 bits: an image for a product above 65535 never matches.
    if (image_field(image, IMG_PRODUCT) == uint32_t{product} &&
        image_field(image, IMG_PCB_REVISION) == uint32_t{pcb_revision}) {
      return slot;
    }
  }
  return std::nullopt;
}

ImageResult image_header(std::span<const uint8_t> bytes, ImageHeader& header) {
  header = ImageHeader{};
  if (bytes.size() < IMAGE_HEADER_BYTES) return ImageResult::TOO_SHORT;
  header.image_size = read_le32(bytes, IMG_IMAGE_SIZE);
  header.word_4 = read_le32(bytes, IMG_WORD_4);
  header.product = read_le32(bytes, IMG_PRODUCT);
  header.pcb_revision = read_le32(bytes, IMG_PCB_REVISION);
  header.version = read_le32(bytes, IMG_VERSION);
  header.max_record_length = read_le32(bytes, IMG_MAX_RECORD_LENGTH);
  header.record_count = read_le32(bytes, IMG_RECORD_COUNT);
  header.target_length = read_le32(bytes, IMG_TARGET_LENGTH);
  header.target_start = read_le32(bytes, IMG_TARGET_START);
  header.target_end = read_le32(bytes, IMG_TARGET_END);
  header.word_40 = read_le32(bytes, IMG_WORD_40);
  std::memcpy(header.start_bytes.data(), bytes.data() + IMG_START_BYTES, IMAGE_START_BYTES);
  std::memcpy(header.target_name.data(), bytes.data() + IMG_TARGET_NAME, IMAGE_TARGET_NAME_BYTES);
  return ImageResult::OK;
}

void image_header_encode(const ImageHeader& header, std::span<uint8_t, IMAGE_HEADER_BYTES> out) {
  put_le32(out, IMG_IMAGE_SIZE, header.image_size);
  put_le32(out, IMG_WORD_4, header.word_4);
  put_le32(out, IMG_PRODUCT, header.product);
  put_le32(out, IMG_PCB_REVISION, header.pcb_revision);
  put_le32(out, IMG_VERSION, header.version);
  put_le32(out, IMG_MAX_RECORD_LENGTH, header.max_record_length);
  put_le32(out, IMG_RECORD_COUNT, header.record_count);
  put_le32(out, IMG_TARGET_LENGTH, header.target_length);
  put_le32(out, IMG_TARGET_START, header.target_start);
  put_le32(out, IMG_TARGET_END, header.target_end);
  put_le32(out, IMG_WORD_40, header.word_40);
  std::memcpy(out.data() + IMG_START_BYTES, header.start_bytes.data(), IMAGE_START_BYTES);
  std::memcpy(out.data() + IMG_TARGET_NAME, header.target_name.data(), IMAGE_TARGET_NAME_BYTES);
}

ImageResult image_record(std::span<const uint8_t> bytes, size_t offset, ImageRecord& record) {
  record = ImageRecord{};
  record.offset = offset;
  // Records live between the header and the 4-byte trailer.
  if (bytes.size() < IMAGE_HEADER_BYTES + IMAGE_TRAILER_BYTES || offset < IMAGE_HEADER_BYTES) {
    return ImageResult::RECORD_OUTSIDE;
  }
  const size_t records_end = bytes.size() - IMAGE_TRAILER_BYTES;
  if (offset > records_end || records_end - offset < 2) return ImageResult::RECORD_OUTSIDE;
  record.length = read_le16(bytes, offset);
  if (record.length < IMAGE_RECORD_MIN || record.length > IMAGE_RECORD_MAX) {
    return ImageResult::RECORD_LENGTH;
  }
  if (records_end - offset < record.length) return ImageResult::RECORD_OUTSIDE;
  record.payload = bytes.subspan(offset + 2, record.length - 2);
  return ImageResult::OK;
}

namespace {

constexpr std::array<uint32_t, 256> crc32_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> CRC32_TABLE = crc32_table();

}  // namespace

uint32_t crc32_update(uint32_t reg, std::span<const uint8_t> bytes) {
  for (const uint8_t byte : bytes) reg = CRC32_TABLE[(reg ^ byte) & 0xFFu] ^ (reg >> 8);
  return reg;
}

uint32_t crc32(std::span<const uint8_t> bytes) {
  return ~crc32_update(CRC32_INITIAL, bytes);
}

}  // namespace korvo
