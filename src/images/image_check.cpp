#include "images/image_check.h"

#include <cinttypes>
#include <cstdio>

#include "images/image.h"

namespace korvo {

namespace {

ImageFinding& add(ImageCheck& check, ImageRule rule) {
  ImageFinding& finding = check.findings[check.count++];
  finding = ImageFinding{};
  finding.rule = rule;
  return finding;
}

// Walks record_count records from the header to the trailer (the file's last 4 bytes).
void check_records(std::span<const uint8_t> bytes, ImageCheck& check) {
  const uint32_t count = read_le32(bytes, IMG_RECORD_COUNT);
  const size_t trailer = bytes.size() - IMAGE_TRAILER_BYTES;
  size_t offset = IMAGE_HEADER_BYTES;
  uint32_t largest = 0;
  ImageFinding* bad_length = nullptr;
  for (uint32_t n = 0; n < count; ++n) {
    if (trailer - offset < 2) {
      ImageFinding& f = add(check, IMAGE_RULE_RECORD_NO_ROOM);
      f.record = n + 1;
      f.offset = offset;
      f.a = count;
      return;
    }
    const uint32_t length = read_le16(bytes, offset);
    if (length < IMAGE_RECORD_MIN || length > IMAGE_RECORD_MAX) {
      if (bad_length == nullptr) {
        bad_length = &add(check, IMAGE_RULE_RECORD_LENGTH);
        bad_length->record = n + 1;
        bad_length->offset = offset;
        bad_length->a = length;
      } else {
        ++bad_length->more;
      }
      // A length below 2 cannot even step over itself: nothing after it can be found.
      if (length < 2) return;
    }
    if (trailer - offset < length) {
      ImageFinding& f = add(check, IMAGE_RULE_RECORD_OVERRUN);
      f.record = n + 1;
      f.offset = offset;
      f.a = length;
      f.b = trailer;
      return;
    }
    if (length > largest) largest = length;
    offset += length;
  }
  if (offset != trailer) {
    ImageFinding& f = add(check, IMAGE_RULE_RECORD_FILL);
    f.record = count;
    f.offset = offset;
    f.a = trailer - offset;
    f.b = trailer;
  }
  const uint32_t declared = read_le32(bytes, IMG_MAX_RECORD_LENGTH);
  if (declared != largest) {
    ImageFinding& f = add(check, IMAGE_RULE_MAX_RECORD);
    f.offset = IMG_MAX_RECORD_LENGTH;
    f.a = declared;
    f.b = largest;
  }
}

}  // namespace

size_t image_check(std::span<const uint8_t> bytes, ImageCheck& check) {
  check = ImageCheck{};
  if (bytes.empty()) {
    add(check, IMAGE_RULE_EMPTY);
    return check.count;
  }
  if (bytes.size() < IMAGE_HEADER_BYTES + IMAGE_TRAILER_BYTES) {
    add(check, IMAGE_RULE_SHORT).a = bytes.size();
    return check.count;
  }
  const uint32_t image_size = read_le32(bytes, IMG_IMAGE_SIZE);
  if (image_size != bytes.size()) {
    ImageFinding& f = add(check, IMAGE_RULE_SIZE);
    f.a = image_size;
    f.b = bytes.size();
  }
  // The program would start an installation (a bootloader may erase its flash on that) and
  // then have nothing to send.
  if (read_le32(bytes, IMG_RECORD_COUNT) == 0) add(check, IMAGE_RULE_NO_RECORDS).offset = IMG_RECORD_COUNT;
  check_records(bytes, check);

  bool terminated = false;
  for (uint32_t i = 0; i < IMAGE_TARGET_NAME_BYTES; ++i) {
    if (bytes[IMG_TARGET_NAME + i] == 0) terminated = true;
  }
  if (!terminated) add(check, IMAGE_RULE_TARGET_NAME).offset = IMG_TARGET_NAME;

  const size_t trailer = bytes.size() - IMAGE_TRAILER_BYTES;
  const uint32_t stored = read_le32(bytes, trailer);
  const uint32_t computed = crc32(bytes.first(trailer));
  if (stored != computed) {
    ImageFinding& f = add(check, IMAGE_RULE_CRC);
    f.offset = trailer;
    f.a = stored;
    f.b = computed;
  }
  return check.count;
}

size_t image_finding_text(const ImageFinding& f, char* buffer, size_t capacity) {
  int n = 0;
  switch (f.rule) {
    case IMAGE_RULE_EMPTY:
      n = std::snprintf(buffer, capacity, "the file is empty");
      break;
    case IMAGE_RULE_SHORT:
      n = std::snprintf(buffer, capacity,
                        "the file holds %" PRIu64 " byte%s, fewer than an 84-byte header and a "
                        "4-byte trailer (truncated)",
                        f.a, f.a == 1 ? "" : "s");
      break;
    case IMAGE_RULE_SIZE:
      n = std::snprintf(buffer, capacity, "image_size is %" PRIu64 " but the file holds %s%" PRIu64
                        " bytes%s", f.a, f.a > f.b ? "only " : "", f.b,
                        f.a > f.b ? " (truncated)" : "");
      break;
    case IMAGE_RULE_NO_RECORDS:
      n = std::snprintf(buffer, capacity, "record_count is 0: the image has no records to install");
      break;
    case IMAGE_RULE_RECORD_LENGTH:
      n = std::snprintf(buffer, capacity,
                        "record %" PRIu32 " at offset %" PRIu64 " has length %" PRIu64
                        ", outside 3..252",
                        f.record, f.offset, f.a);
      if (f.more != 0 && n > 0 && static_cast<size_t>(n) < capacity) {
        n += std::snprintf(buffer + n, capacity - static_cast<size_t>(n),
                           " (and %" PRIu32 " more records)", f.more);
      }
      break;
    case IMAGE_RULE_RECORD_NO_ROOM:
      n = std::snprintf(buffer, capacity,
                        "record_count is %" PRIu64 " but record %" PRIu32 " would start at offset %"
                        PRIu64 ", with no room before the trailer",
                        f.a, f.record, f.offset);
      break;
    case IMAGE_RULE_RECORD_OVERRUN:
      n = std::snprintf(buffer, capacity,
                        "record %" PRIu32 " at offset %" PRIu64 " with length %" PRIu64
                        " runs past the trailer at offset %" PRIu64,
                        f.record, f.offset, f.a, f.b);
      break;
    case IMAGE_RULE_RECORD_FILL:
      n = std::snprintf(buffer, capacity,
                        "the %" PRIu32 " records end at offset %" PRIu64 ", %" PRIu64
                        " bytes before the trailer at offset %" PRIu64
                        " (84 + sum of lengths + 4 is not the size)",
                        f.record, f.offset, f.a, f.b);
      break;
    case IMAGE_RULE_MAX_RECORD:
      n = std::snprintf(buffer, capacity,
                        "max_record_length is %" PRIu64 " but the largest record length is %" PRIu64,
                        f.a, f.b);
      break;
    case IMAGE_RULE_TARGET_NAME:
      n = std::snprintf(buffer, capacity, "target_name has no NUL within its 33 bytes");
      break;
    case IMAGE_RULE_CRC:
      n = std::snprintf(buffer, capacity,
                        "CRC-32 trailer is 0x%08" PRIX64 " but the bytes before it give 0x%08" PRIX64,
                        f.a, f.b);
      break;
  }
  return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace korvo
