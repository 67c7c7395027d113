// A minimal image in memory for tests that read header fields: the 84-byte header, no
// records, and a zero trailer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image.h"

using namespace korvo;

struct ImageBytes {
  std::vector<uint8_t> bytes;
  Image image() const { return Image{bytes.data(), bytes.size()}; }
};

inline void image_bytes_put32(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value) {
  for (uint32_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// target_name is cut to 32 characters so that its NUL stays inside the field.
inline ImageBytes image_bytes_make(uint32_t product, uint32_t pcb_revision, Version version,
                                   const std::string& target_name) {
  ImageBytes made;
  made.bytes.assign(IMAGE_HEADER_BYTES + IMAGE_TRAILER_BYTES, 0);
  image_bytes_put32(made.bytes, IMG_IMAGE_SIZE, static_cast<uint32_t>(made.bytes.size()));
  image_bytes_put32(made.bytes, IMG_PRODUCT, product);
  image_bytes_put32(made.bytes, IMG_PCB_REVISION, pcb_revision);
  image_bytes_put32(made.bytes, IMG_VERSION, version);
  const size_t length = target_name.size() < IMAGE_TARGET_NAME_BYTES - 1
                            ? target_name.size()
                            : IMAGE_TARGET_NAME_BYTES - 1;
  for (size_t i = 0; i < length; ++i) {
    made.bytes[IMG_TARGET_NAME + i] = static_cast<uint8_t>(target_name[i]);
  }
  return made;
}
