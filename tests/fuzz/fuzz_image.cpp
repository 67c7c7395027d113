// Image files: the header, the build's check with its messages, and the record walk of the
// transfer, on arbitrary bytes. The check passes exactly when the walk and the trailer agree
// and there is something to install.
#include <cstring>

#include "fuzz_line.h"
#include "images/image.h"
#include "images/image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  ImageCheck check;
  const size_t broken = image_check(bytes, check);
  FUZZ_CHECK(broken == check.count && broken <= IMAGE_RULE_COUNT);
  for (size_t i = 0; i < broken; ++i) {
    FUZZ_CHECK(i == 0 || check.findings[i - 1].rule < check.findings[i].rule);
    char text[IMAGE_FINDING_TEXT_BYTES];
    const size_t length = image_finding_text(check.findings[i], text, sizeof text);
    FUZZ_CHECK(length > 0 && length < sizeof text);  // no message is cut short
  }
  ImageHeader header;
  FUZZ_CHECK((image_header(bytes, header) == ImageResult::OK) == (size >= IMAGE_HEADER_BYTES));

  // record_count records from the header on, as the transfer sends them.
  const uint32_t count = read_le32(bytes, IMG_RECORD_COUNT);
  size_t offset = IMAGE_HEADER_BYTES;
  uint32_t largest = 0;
  bool walked = size >= IMAGE_HEADER_BYTES + IMAGE_TRAILER_BYTES;
  for (uint32_t n = 0; walked && n < count; ++n) {
    ImageRecord record;
    walked = image_record(bytes, offset, record) == ImageResult::OK;
    if (!walked) break;
    FUZZ_CHECK(record.length >= IMAGE_RECORD_MIN && record.length <= IMAGE_RECORD_MAX);
    FUZZ_CHECK(record.payload.data() == data + offset + 2 && record.payload.size() == record.length - 2);
    FUZZ_CHECK(offset + record.length <= size - IMAGE_TRAILER_BYTES);
    if (record.length > largest) largest = record.length;
    offset += record.length;
  }
  const bool named = std::memchr(header.target_name.data(), 0, IMAGE_TARGET_NAME_BYTES) != nullptr;
  const bool sealed = crc32_update(CRC32_INITIAL, bytes) == CRC32_RESIDUE;
  const bool sound = walked && count > 0 && offset == size - IMAGE_TRAILER_BYTES &&
                     largest == header.max_record_length && header.image_size == size && named && sealed;
  FUZZ_CHECK(sound == (broken == 0));
  if (sound) {
    const Image image{data, size};
    FUZZ_CHECK(!image_empty(image) && std::strlen(image_target_name(image)) < IMAGE_TARGET_NAME_BYTES);
  }
  return 0;
}
