#include "images/image_build.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace korvo {

namespace {

uint8_t stamp_byte(uint32_t address) {
  return static_cast<uint8_t>((address & ~3u) >> (8 * (address & 3u)));
}

bool length_ok(uint32_t length) {
  return length >= IMAGE_RECORD_MIN && length <= IMAGE_RECORD_MAX;
}

// Appends one record with its length word and the given payload.
void append_record(std::vector<uint8_t>& records, std::span<const uint8_t> payload) {
  const size_t at = records.size();
  records.resize(at + 2 + payload.size());
  put_le16(records, at, static_cast<uint16_t>(payload.size() + 2));
  std::copy(payload.begin(), payload.end(), records.begin() + static_cast<std::ptrdiff_t>(at + 2));
}

struct Records {
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  uint32_t largest = 0;
  uint32_t data_bytes = 0;  // what the target_length default is made of
};

PackResult generated_records(const ImagePackSpec& request, Records& records) {
  if (request.record_count == 0) return PackResult::NO_RECORDS;
  if (!length_ok(request.record_length) || !length_ok(request.last_length)) {
    return PackResult::RECORD_LENGTH;
  }
  const uint64_t total = uint64_t{request.record_count - 1} * request.record_length + request.last_length;
  if (total > IMAGE_BUILD_MAX_BYTES) return PackResult::TOO_BIG;
  records.bytes.resize(static_cast<size_t>(total));
  uint32_t address = request.target_start;
  size_t offset = 0;
  for (uint32_t n = 0; n < request.record_count; ++n) {
    const uint32_t length = n + 1 == request.record_count ? request.last_length : request.record_length;
    const uint32_t data = image_generate_record(std::span(records.bytes).subspan(offset, length),
                                                address);
    address += data;
    records.data_bytes += data;
    if (length > records.largest) records.largest = length;
    offset += length;
  }
  records.count = request.record_count;
  return PackResult::OK;
}

PackResult payload_records(const ImagePackSpec& request, Records& records) {
  if (request.input.empty()) return PackResult::EMPTY_INPUT;
  if (!length_ok(request.record_length)) return PackResult::RECORD_LENGTH;
  if (request.input.size() > IMAGE_BUILD_MAX_BYTES) return PackResult::TOO_BIG;
  const size_t chunk = request.record_length - 2;
  for (size_t at = 0; at < request.input.size(); at += chunk) {
    const size_t take = std::min(chunk, request.input.size() - at);
    append_record(records.bytes, request.input.subspan(at, take));
    ++records.count;
    if (take + 2 > records.largest) records.largest = static_cast<uint32_t>(take + 2);
  }
  records.data_bytes = static_cast<uint32_t>(request.input.size());
  return records.bytes.size() > IMAGE_BUILD_MAX_BYTES ? PackResult::TOO_BIG : PackResult::OK;
}

PackResult raw_records(const ImagePackSpec& request, Records& records) {
  if (request.input.empty()) return PackResult::EMPTY_INPUT;
  if (request.input.size() > IMAGE_BUILD_MAX_BYTES) return PackResult::TOO_BIG;
  size_t at = 0;
  while (at < request.input.size()) {
    if (request.input.size() - at < 2) return PackResult::RAW_RECORDS;
    const uint32_t length = read_le16(request.input, at);
    if (!length_ok(length)) return PackResult::RECORD_LENGTH;
    if (request.input.size() - at < length) return PackResult::RAW_RECORDS;
    ++records.count;
    if (length > records.largest) records.largest = length;
    records.data_bytes += length - 2;
    at += length;
  }
  records.bytes.assign(request.input.begin(), request.input.end());
  return PackResult::OK;
}

}  // namespace

uint32_t image_generate_record(std::span<uint8_t> out, uint32_t address) {
  const uint32_t length = static_cast<uint32_t>(out.size());
  const uint32_t data = length >= IMAGE_RECORD_OVERHEAD ? length - IMAGE_RECORD_OVERHEAD : 0;
  // The full layout first, then cut to the record's length.
  std::array<uint8_t, IMAGE_RECORD_MAX + IMAGE_RECORD_OVERHEAD> full{};
  put_le16(full, 0, static_cast<uint16_t>(length));
  put_le32(full, 2, address);
  put_le16(full, 6, static_cast<uint16_t>(data));
  for (uint32_t i = 0; i < data; ++i) full[8 + i] = stamp_byte(address + i);
  uint32_t sum = 0;
  for (uint32_t i = 2; i < 8 + data; ++i) sum += full[i];
  put_le16(full, 8 + data, static_cast<uint16_t>(sum & 0xFFFFu));
  full[10 + data] = 0xFF;
  full[11 + data] = 0xFF;
  std::memcpy(out.data(), full.data(), std::min<size_t>(out.size(), full.size()));
  return data;
}

PackResult image_pack(const ImagePackSpec& request, std::vector<uint8_t>& out) {
  out.clear();
  if (std::memchr(request.target_name.data(), 0, IMAGE_TARGET_NAME_BYTES) == nullptr) {
    return PackResult::NAME;
  }
  Records records;
  PackResult r = PackResult::OK;
  switch (request.source) {
    case ImagePackSpec::GENERATED: r = generated_records(request, records); break;
    case ImagePackSpec::PAYLOAD: r = payload_records(request, records); break;
    case ImagePackSpec::RAW: r = raw_records(request, records); break;
  }
  if (r != PackResult::OK) return r;
  if (records.count == 0) return PackResult::NO_RECORDS;
  const size_t size = IMAGE_HEADER_BYTES + records.bytes.size() + IMAGE_TRAILER_BYTES;
  if (size > IMAGE_BUILD_MAX_BYTES) return PackResult::TOO_BIG;

  ImageHeader header;
  header.image_size = static_cast<uint32_t>(size);
  header.word_4 = request.word_4;
  header.product = request.product;
  header.pcb_revision = request.pcb_revision;
  header.version = request.version;
  header.max_record_length = records.largest;
  header.record_count = records.count;
  header.target_length = request.target_length_given ? request.target_length : records.data_bytes;
  header.target_start = request.target_start;
  header.target_end = request.target_end_given ? request.target_end
                                            : request.target_start + header.target_length - 1;
  header.word_40 = request.word_40;
  header.start_bytes = request.start_bytes;
  // The name and nothing after it: the rest of the field stays 0 (its NUL was checked above).
  std::memcpy(header.target_name.data(), request.target_name.data(),
              std::strlen(request.target_name.data()));

  out.resize(size);
  image_header_encode(header, std::span(out).first<IMAGE_HEADER_BYTES>());
  std::copy(records.bytes.begin(), records.bytes.end(), out.begin() + IMAGE_HEADER_BYTES);
  const size_t trailer = size - IMAGE_TRAILER_BYTES;
  put_le32(out, trailer, crc32(std::span(out).first(trailer)));
  return PackResult::OK;
}

std::vector<uint8_t> image_standin() {
  std::vector<uint8_t> out;
  (void)image_pack(ImagePackSpec{}, out);  // the defaults are valid by construction
  return out;
}

namespace {

// Decimal digits into value; false when there are none or the number exceeds 255.
bool parse_part(const char*& p, uint32_t& value) {
  if (*p < '0' || *p > '9') return false;
  value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > 255) return false;
    ++p;
  }
  return true;
}

}  // namespace

bool image_parse_version(const char* text, Version& version) {
  if (text == nullptr) return false;
  if (std::strcmp(text, "None") == 0) {
    version = 0;
    return true;
  }
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const char* p = text + 2;
    uint64_t value = 0;
    int digits = 0;
    for (; *p != 0; ++p, ++digits) {
      const char c = *p;
      uint32_t d = 0;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      value = value * 16 + d;
      if (value > 0xFFFFFFFFu) return false;
    }
    if (digits == 0) return false;
    version = static_cast<Version>(value);
    return true;
  }
  const char* p = text;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t third = 0;
  uint32_t letter = 0;
  if (!parse_part(p, major) || *p++ != '.' || !parse_part(p, minor)) return false;
  if (*p == '.') {
    ++p;
    if (!parse_part(p, third)) return false;
  }
  if (*p >= 'a' && *p <= 'z') letter = static_cast<uint32_t>(*p++ - 'a' + 1);
  if (*p != 0) return false;
  version = (major << 24) | (minor << 16) | (third << 8) | letter;
  return true;
}

}  // namespace korvo
