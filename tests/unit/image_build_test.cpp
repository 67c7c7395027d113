// Images built for tests and maintainers: every one they can make passes the build's checks
// and carries exactly the header asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/image.h"
#include "images/image_build.h"
#include "images/image_check.h"
#include "update/versions.h"

using namespace korvo;

namespace {

size_t broken_rules(const std::vector<uint8_t>& bytes) {
  ImageCheck check;
  return image_check(bytes, check);
}

std::vector<uint32_t> lengths_of(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> lengths;
  size_t offset = IMAGE_HEADER_BYTES;
  for (uint32_t n = read_le32(bytes, IMG_RECORD_COUNT); n > 0; --n) {
    ImageRecord record;
    if (image_record(bytes, offset, record) != ImageResult::OK) break;
    lengths.push_back(record.length);
    offset += record.length;
  }
  return lengths;
}

TEST(ImagePack, OtherProductRevisionVersionAndRecordSizes) {
  ImagePackSpec request;
  request.product = 56;
  request.pcb_revision = 4;
  ASSERT_TRUE(image_parse_version("1.15", request.version));
  request.record_count = 4;
  request.record_length = 100;
  request.last_length = 13;
  request.target_start = 0x8001;  // unaligned start: stamping still follows the addresses
  std::vector<uint8_t> out;
  ASSERT_EQ(image_pack(request, out), PackResult::OK);
  EXPECT_EQ(broken_rules(out), 0u);
  EXPECT_EQ(lengths_of(out), (std::vector<uint32_t>{100, 100, 100, 13}));

  ImageHeader h;
  ASSERT_EQ(image_header(out, h), ImageResult::OK);
  EXPECT_EQ(h.product, 56u);
  EXPECT_EQ(h.pcb_revision, 4u);
  EXPECT_EQ(h.version, 0x010F0000u);
  EXPECT_EQ(h.max_record_length, 100u);
  EXPECT_EQ(h.target_length, 3u * 88u + 1u);
  EXPECT_EQ(h.target_end, 0x8001u + h.target_length - 1);
  // The second record's data starts where the first one's ended.
  EXPECT_EQ(read_le32(out, IMAGE_HEADER_BYTES + 100 + 2), 0x8001u + 88u);

  // Records too short for the generated layout carry no data but stay valid.
  request.record_count = 5;
  request.record_length = 3;
  request.last_length = 11;
  ASSERT_EQ(image_pack(request, out), PackResult::OK);
  EXPECT_EQ(broken_rules(out), 0u);
  EXPECT_EQ(out.size(), 84u + 4 * 3 + 11 + 4);
}

TEST(ImagePack, PayloadAndRawRecordInputs) {
  std::vector<uint8_t> payload(500);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  ImagePackSpec request;
  request.source = ImagePackSpec::PAYLOAD;
  request.record_length = 202;
  request.input = payload;
  std::vector<uint8_t> out;
  ASSERT_EQ(image_pack(request, out), PackResult::OK);
  EXPECT_EQ(broken_rules(out), 0u);
  EXPECT_EQ(lengths_of(out), (std::vector<uint32_t>{202, 202, 102}));
  EXPECT_EQ(read_le32(out, IMG_TARGET_LENGTH), 500u);
  // The payload comes back in order from the record payloads.
  std::vector<uint8_t> back;
  size_t offset = IMAGE_HEADER_BYTES;
  for (int n = 0; n < 3; ++n) {
    ImageRecord record;
    ASSERT_EQ(image_record(out, offset, record), ImageResult::OK);
    back.insert(back.end(), record.payload.begin(), record.payload.end());
    offset += record.length;
  }
  EXPECT_EQ(back, payload);

  // Those records fed back as raw records make the same image.
  const std::vector<uint8_t> records(out.begin() + IMAGE_HEADER_BYTES, out.end() - 4);
  request.source = ImagePackSpec::RAW;
  request.input = records;
  std::vector<uint8_t> again;
  ASSERT_EQ(image_pack(request, again), PackResult::OK);
  EXPECT_EQ(again, out);
}

TEST(ImagePack, RefusesWhatWouldMakeABrokenImage) {
  std::vector<uint8_t> out;
  ImagePackSpec request;
  request.record_length = 253;
  EXPECT_EQ(image_pack(request, out), PackResult::RECORD_LENGTH);
  request.record_length = 236;
  request.last_length = 2;
  EXPECT_EQ(image_pack(request, out), PackResult::RECORD_LENGTH);
  request = ImagePackSpec{};
  request.target_name.fill('N');
  EXPECT_EQ(image_pack(request, out), PackResult::NAME);
  request = ImagePackSpec{};
  request.record_count = 0xFFFFFFFFu;
  EXPECT_EQ(image_pack(request, out), PackResult::TOO_BIG);
  request.record_count = 0;  // (the sanitizer build watches for a copy from no records)
  EXPECT_EQ(image_pack(request, out), PackResult::NO_RECORDS);

  request = ImagePackSpec{};
  request.source = ImagePackSpec::RAW;
  const std::vector<uint8_t> cut{10, 0, 1, 2, 3};  // says 10 bytes, holds 5
  request.input = cut;
  EXPECT_EQ(image_pack(request, out), PackResult::RAW_RECORDS);
  EXPECT_TRUE(out.empty());
}

TEST(ImagePack, DefaultsAreTheStandin) {
  std::vector<uint8_t> out;
  ASSERT_EQ(image_pack(ImagePackSpec{}, out), PackResult::OK);
  EXPECT_EQ(out, image_standin());
}

TEST(ImageVersionText, ParsesWhatTheUtilityPrints) {
  struct Case {
    const char* text;
    Version version;
  };
  for (const Case c : {Case{"1.14", 0x010E0000u}, Case{"1.14a", 0x010E0001u},
                       Case{"1.14.02", 0x010E0200u}, Case{"2.05.01b", 0x02050102u},
                       Case{"10.00", 0x0A000000u}, Case{"255.255.255z", 0xFFFFFF1Au},
                       Case{"0x010E0000", 0x010E0000u}, Case{"None", 0u}}) {
    Version v = 0xDEADBEEFu;
    ASSERT_TRUE(image_parse_version(c.text, v)) << c.text;
    EXPECT_EQ(v, c.version) << c.text;
    // Whatever prints without "(Beta)" reads back as the same number.
    char printed[VERSION_TEXT_BYTES];
    format_version(printed, sizeof printed, v);
    if ((v & 0xFF00u) == 0 && std::string(c.text).rfind("0x", 0) != 0) {
      EXPECT_STREQ(printed, c.text);
    }
  }
  Version v = 0;
  for (const char* bad : {"", "1.", "1.256", "1.14A", "1.14.", "0x1FFFFFFFF", "1.14 "}) {
    EXPECT_FALSE(image_parse_version(bad, v)) << bad;
  }
}

}  // namespace
