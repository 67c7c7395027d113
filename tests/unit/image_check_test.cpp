// What the build refuses to embed: each broken rule found on its own, with its own message,
// and nothing read outside the file whatever it holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/image.h"
#include "images/image_build.h"
#include "images/image_check.h"

using namespace korvo;

namespace {

void put_le32(std::vector<uint8_t>& b, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Puts a correct CRC-32 trailer on the bytes, so that a test breaks exactly one rule.
void reseal(std::vector<uint8_t>& b) {
  const size_t trailer = b.size() - IMAGE_TRAILER_BYTES;
  put_le32(b, trailer, crc32(std::span(b).first(trailer)));
}

// An image with the given record lengths and everything else consistent with them, L
// outside 3..252 included (which image_pack refuses to make).
std::vector<uint8_t> image_with_lengths(const std::vector<uint32_t>& lengths) {
  ImageHeader h;
  std::vector<uint8_t> records;
  for (const uint32_t length : lengths) {
    EXPECT_GE(length, 2u);  // room for the length word itself
    const size_t at = records.size();
    records.resize(at + length, 0x5A);
    records[at] = static_cast<uint8_t>(length);
    records[at + 1] = static_cast<uint8_t>(length >> 8);
    h.max_record_length = std::max(h.max_record_length, length);
  }
  h.image_size = static_cast<uint32_t>(IMAGE_HEADER_BYTES + records.size() + IMAGE_TRAILER_BYTES);
  h.record_count = static_cast<uint32_t>(lengths.size());
  h.product = 68;
  h.pcb_revision = 6;
  std::vector<uint8_t> b(h.image_size);
  image_header_encode(h, std::span(b).first<IMAGE_HEADER_BYTES>());
  std::copy(records.begin(), records.end(), b.begin() + IMAGE_HEADER_BYTES);
  reseal(b);
  return b;
}

// The rules found, and their texts.
struct Found {
  std::vector<ImageRule> rules;
  std::vector<std::string> texts;
};

Found check_of(std::span<const uint8_t> bytes) {
  ImageCheck check;
  const size_t n = image_check(bytes, check);
  Found found;
  for (size_t i = 0; i < n; ++i) {
    char text[IMAGE_FINDING_TEXT_BYTES];
    image_finding_text(check.findings[i], text, sizeof text);
    found.rules.push_back(check.findings[i].rule);
    found.texts.emplace_back(text);
  }
  return found;
}

using Rules = std::vector<ImageRule>;

TEST(ImageCheck, SoundImagesPass) {
  EXPECT_EQ(check_of(image_standin()).rules, Rules{});
  EXPECT_EQ(check_of(image_with_lengths({3, 252, 100})).rules, Rules{});
}

TEST(ImageCheck, NoRecordsAtAllIsNothingToInstall) {
  // Consistent in every other way: 88 bytes, max_record_length 0, a good trailer.
  const Found f = check_of(image_with_lengths({}));
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_NO_RECORDS});
  EXPECT_EQ(f.texts[0], "record_count is 0: the image has no records to install");
}

TEST(ImageCheck, CorruptedCrcAndWrongImageSize) {
  std::vector<uint8_t> b = image_standin();
  b[5000] ^= 0x01;
  Found f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_CRC});
  EXPECT_NE(f.texts[0].find("CRC-32 trailer is 0x0D544A32 but the bytes before it give"),
            std::string::npos)
      << f.texts[0];

  b = image_standin();
  put_le32(b, IMG_IMAGE_SIZE, 135413);
  reseal(b);
  f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_SIZE});
  EXPECT_EQ(f.texts[0], "image_size is 135413 but the file holds only 135412 bytes (truncated)");
  put_le32(b, IMG_IMAGE_SIZE, 0);
  reseal(b);
  EXPECT_EQ(check_of(b).texts, std::vector<std::string>{"image_size is 0 but the file holds 135412 bytes"});
}

TEST(ImageCheck, RecordLengthsOutside3To252) {
  Found f = check_of(image_with_lengths({100, 2, 50}));
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_LENGTH});
  EXPECT_EQ(f.texts[0], "record 2 at offset 184 has length 2, outside 3..252");

  f = check_of(image_with_lengths({253, 10, 253, 253}));
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_LENGTH});
  EXPECT_EQ(f.texts[0], "record 1 at offset 84 has length 253, outside 3..252 (and 2 more records)");

  // A length of 0 or 1 cannot be stepped over: the walk stops there, and nothing is
  // concluded from the records it could not reach.
  for (const uint8_t length : {0, 1}) {
    std::vector<uint8_t> b = image_with_lengths({100, 2, 50});
    b[184] = length;
    reseal(b);
    f = check_of(b);
    ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_LENGTH});
    EXPECT_EQ(f.texts[0], "record 2 at offset 184 has length " + std::to_string(length) +
                              ", outside 3..252");
  }
}

TEST(ImageCheck, RecordsThatDoNotFillTheSpaceExactly) {
  std::vector<uint8_t> b = image_standin();
  put_le32(b, IMG_RECORD_COUNT, 573);
  reseal(b);
  Found f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_FILL});
  EXPECT_EQ(f.texts[0],
            "the 573 records end at offset 135312, 96 bytes before the trailer at offset 135408 "
            "(84 + sum of lengths + 4 is not the size)");

  put_le32(b, IMG_RECORD_COUNT, 575);
  reseal(b);
  f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_NO_ROOM});
  EXPECT_EQ(f.texts[0],
            "record_count is 575 but record 575 would start at offset 135408, with no room "
            "before the trailer");

  // The last record claims more bytes than are left before the trailer.
  b = image_standin();
  b[135312] = 100;
  reseal(b);
  f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_RECORD_OVERRUN});
  EXPECT_EQ(f.texts[0], "record 574 at offset 135312 with length 100 runs past the trailer at offset 135408");
}

TEST(ImageCheck, MaxRecordLengthAndTargetName) {
  std::vector<uint8_t> b = image_standin();
  put_le32(b, IMG_MAX_RECORD_LENGTH, 252);
  reseal(b);
  Found f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_MAX_RECORD});
  EXPECT_EQ(f.texts[0], "max_record_length is 252 but the largest record length is 236");

  b = image_standin();
  std::fill(b.begin() + IMG_TARGET_NAME, b.begin() + IMG_TARGET_NAME + 33, 'A');
  reseal(b);
  f = check_of(b);
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_TARGET_NAME});
  EXPECT_EQ(f.texts[0], "target_name has no NUL within its 33 bytes");
  // The NUL in the very last byte of the field is enough.
  b[IMG_TARGET_NAME + 32] = 0;
  reseal(b);
  EXPECT_EQ(check_of(b).rules, Rules{});
}

TEST(ImageCheck, EmptyShortAndTruncatedFiles) {
  EXPECT_EQ(check_of({}).texts, std::vector<std::string>{"the file is empty"});

  const std::vector<uint8_t> b = image_standin();
  Found f = check_of(std::span(b).first(87));
  ASSERT_EQ(f.rules, Rules{IMAGE_RULE_SHORT});
  EXPECT_EQ(f.texts[0],
            "the file holds 87 bytes, fewer than an 84-byte header and a 4-byte trailer (truncated)");

  f = check_of(std::span(b).first(1000));
  ASSERT_GE(f.rules.size(), 2u);
  EXPECT_EQ(f.rules[0], IMAGE_RULE_SIZE);
  EXPECT_EQ(f.texts[0], "image_size is 135412 but the file holds only 1000 bytes (truncated)");
  EXPECT_EQ(f.rules.back(), IMAGE_RULE_CRC);
}

TEST(ImageCheck, GarbageIsReadOnlyWithinItsBytes) {
  // Huge record_count and lengths: each kind of garbage ends in findings, never a stray read
  // (the sanitizer build watches the heap buffers).
  for (const uint8_t fill : {0x00, 0x01, 0x02, 0x03, 0xFF}) {
    for (const size_t size : {88u, 89u, 300u, 4096u}) {
      const std::vector<uint8_t> b(size, fill);
      ImageCheck check;
      EXPECT_GT(image_check(b, check), 0u) << int{fill} << " x " << size;
    }
  }
}

}  // namespace
