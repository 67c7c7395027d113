// The image layout as the program reads it: CRC-32, header fields by offset, the record walk,
// the slot selection, and the stand-in image the default build embeds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "images/image.h"
#include "images/image_build.h"
#include "images/image_check.h"
#include "update/versions.h"

using namespace korvo;

namespace {

std::span<const uint8_t> text_bytes(const char* text) {
  return {reinterpret_cast<const uint8_t*>(text), std::strlen(text)};
}

Image image_of(const std::vector<uint8_t>& bytes) { return Image{bytes.data(), bytes.size()}; }

std::vector<uint8_t> packed(uint32_t product, uint32_t revision, Version version) {
  ImagePackSpec request;
  request.product = product;
  request.pcb_revision = revision;
  request.version = version;
  request.record_count = 3;
  std::vector<uint8_t> out;
  EXPECT_EQ(image_pack(request, out), PackResult::OK);
  return out;
}

TEST(ImageCrc, CheckValueIncrementalRunAndResidue) {
  EXPECT_EQ(crc32(text_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
  // Running the register in pieces gives the same as one pass.
  const uint32_t reg = crc32_update(CRC32_INITIAL, text_bytes("1234"));
  EXPECT_EQ(~crc32_update(reg, text_bytes("56789")), 0xCBF43926u);

  // Over data and its own little-endian CRC, without the final complement: the residue.
  const std::vector<uint8_t> image = image_standin();
  ASSERT_EQ(image.size(), 135412u);
  const size_t trailer = image.size() - IMAGE_TRAILER_BYTES;
  EXPECT_EQ(crc32(std::span(image).first(trailer)), read_le32(image, trailer));
  EXPECT_EQ(crc32_update(CRC32_INITIAL, image), CRC32_RESIDUE);
}

TEST(ImageStandin, HeaderCarriesExactlyTheShippedValues) {
  const std::vector<uint8_t> bytes = image_standin();
  const Image image = image_of(bytes);
  ImageHeader h;
  ASSERT_EQ(image_header(image, h), ImageResult::OK);
  EXPECT_EQ(h.image_size, 135412u);
  EXPECT_EQ(h.word_4, 0x01000000u);
  EXPECT_EQ(h.product, 68u);
  EXPECT_EQ(h.pcb_revision, 6u);
  EXPECT_EQ(h.version, 0x010E0000u);
  EXPECT_EQ(h.max_record_length, 236u);
  EXPECT_EQ(h.record_count, 574u);
  EXPECT_EQ(h.target_length, 128436u);
  EXPECT_EQ(h.target_start, 0x2000u);
  EXPECT_EQ(h.target_end, 0x215B3u);
  EXPECT_EQ(h.word_40, 0u);
  EXPECT_STREQ(h.target_name.data(), "SlatePro");
  // The rest of target_name is 0, and the program's own readers agree with the decoder.
  for (uint32_t i = 8; i < IMAGE_TARGET_NAME_BYTES; ++i) EXPECT_EQ(bytes[IMG_TARGET_NAME + i], 0);
  EXPECT_STREQ(image_target_name(image), "SlatePro");
  EXPECT_EQ(image_version(image), 0x010E0000u);
  EXPECT_EQ(image_field(image, IMG_TARGET_START), 0x2000u);
  EXPECT_FALSE(image_empty(image));

  char text[VERSION_TEXT_BYTES];
  format_version(text, sizeof text, h.version);
  EXPECT_STREQ(text, "1.14");

  ImageCheck check;
  EXPECT_EQ(image_check(bytes, check), 0u);
}

TEST(ImageStandin, WalkOf574RecordsEndsAtTheTrailerAndCoversTheTargetInOrder) {
  const std::vector<uint8_t> bytes = image_standin();
  const Image image = image_of(bytes);
  size_t offset = IMAGE_HEADER_BYTES;
  uint32_t next_address = 0x2000;
  for (uint32_t n = 0; n < 574; ++n) {
    ImageRecord record;
    ASSERT_EQ(image_record(image, offset, record), ImageResult::OK) << "record " << n + 1;
    EXPECT_EQ(record.length, n < 573 ? 236u : 96u);
    // The payload refers into the image; nothing is copied.
    EXPECT_EQ(record.payload.data(), bytes.data() + offset + 2);
    ASSERT_EQ(record.payload.size(), record.length - 2);
    // Generated layout: address, data count, address-stamped words.
    EXPECT_EQ(read_le32(record.payload, 0), next_address);
    const uint32_t data = read_le16(record.payload, 4);
    EXPECT_EQ(data, record.length - IMAGE_RECORD_OVERHEAD);
    for (uint32_t i = 0; i < data; i += 4) {
      ASSERT_EQ(read_le32(record.payload, 6 + i), next_address + i);
    }
    next_address += data;
    offset += record.length;
  }
  EXPECT_EQ(offset, bytes.size() - IMAGE_TRAILER_BYTES);
  EXPECT_EQ(next_address, 0x215B4u);  // one past target_end

  // The trailer is not a record.
  ImageRecord record;
  EXPECT_EQ(image_record(image, offset, record), ImageResult::RECORD_OUTSIDE);
}

TEST(ImageRecordWalk, RefusesRecordsOutsideTheRecordAreaOrWithBadLengths) {
  std::vector<uint8_t> bytes = packed(68, 6, 0x010E0000u);  // 236, 236, 96
  ImageRecord record;
  EXPECT_EQ(image_record(bytes, 10, record), ImageResult::RECORD_OUTSIDE);  // inside the header
  EXPECT_EQ(image_record(bytes, bytes.size(), record), ImageResult::RECORD_OUTSIDE);
  EXPECT_EQ(image_record(bytes, SIZE_MAX, record), ImageResult::RECORD_OUTSIDE);
  EXPECT_EQ(image_record(std::span(bytes).first(50), 84, record), ImageResult::RECORD_OUTSIDE);

  // The last record made one byte longer would reach into the trailer.
  const size_t last = IMAGE_HEADER_BYTES + 236 + 236;
  bytes[last] = 97;
  EXPECT_EQ(image_record(bytes, last, record), ImageResult::RECORD_OUTSIDE);
  EXPECT_EQ(record.length, 97u);
  bytes[last] = 2;
  EXPECT_EQ(image_record(bytes, last, record), ImageResult::RECORD_LENGTH);
  EXPECT_EQ(record.length, 2u);
  bytes[IMAGE_HEADER_BYTES] = 253;
  EXPECT_EQ(image_record(bytes, IMAGE_HEADER_BYTES, record), ImageResult::RECORD_LENGTH);
  EXPECT_TRUE(record.payload.empty());
}

TEST(ImageSelect, FirstNonEmptyMatchingSlotWins) {
  const std::vector<uint8_t> slate = image_standin();
  const std::vector<uint8_t> older = packed(56, 4, 0x01000000u);
  const std::vector<uint8_t> newer = packed(56, 4, 0x02000000u);
  ImageTable table{};
  table[0] = image_of(slate);
  EXPECT_EQ(image_select(table, 68, 6), size_t{0});
  EXPECT_EQ(image_select(table, 68, 5), std::nullopt);
  EXPECT_EQ(image_select(table, 56, 4), std::nullopt);

  // Two slots for one product and revision: the lower slot, whatever the versions.
  table[2] = image_of(older);
  table[5] = image_of(newer);
  EXPECT_EQ(image_select(table, 56, 4), size_t{2});
  table[2] = Image{};
  EXPECT_EQ(image_select(table, 56, 4), size_t{5});
}

TEST(ImageSelect, EmptySlotsNeverMatchNotEvenProductZeroRevisionZero) {
  ImageTable table{};
  EXPECT_EQ(image_select(table, 0, 0), std::nullopt);
  EXPECT_EQ(image_select(table, 68, 6), std::nullopt);

  // Slots with bytes whose image_size is 0, or too few bytes for a header: empty as well.
  const std::vector<uint8_t> zeros(200, 0);
  table[0] = image_of(zeros);
  table[1] = Image{zeros.data(), 40};
  std::vector<uint8_t> short_image = packed(0, 0, 0);
  table[2] = Image{short_image.data(), 60};
  EXPECT_TRUE(image_empty(table[0]));
  EXPECT_TRUE(image_empty(table[1]));
  EXPECT_TRUE(image_empty(table[2]));
  EXPECT_EQ(image_select(table, 0, 0), std::nullopt);

  // A real image for product 0 revision 0 is another matter.
  table[3] = image_of(short_image);
  EXPECT_EQ(image_select(table, 0, 0), size_t{3});
}

TEST(ImageSelect, HeaderValuesAbove16BitsNeverMatch) {
  // 65604 would look like 68 if the header field were narrowed instead of the device widened.
  const std::vector<uint8_t> wide_product = packed(68 + 65536, 6, 0x010E0000u);
  const std::vector<uint8_t> wide_revision = packed(68, 6 + 65536, 0x010E0000u);
  ImageTable table{};
  table[0] = image_of(wide_product);
  table[1] = image_of(wide_revision);
  EXPECT_EQ(image_select(table, 68, 6), std::nullopt);
}

TEST(ImageTableEmbedded, EightSlotsOfSoundImagesReadInPlace) {
  const ImageTable& table = image_table();
  EXPECT_EQ(&table, &image_table());
  ASSERT_EQ(table.size(), 8u);
  int filled = 0;
  for (const Image& image : table) {
    if (image_empty(image)) continue;
    ++filled;
    ImageCheck check;
    EXPECT_EQ(image_check(image_bytes(image), check), 0u);
    EXPECT_EQ(image.size, image_field(image, IMG_IMAGE_SIZE));
  }
  EXPECT_GE(filled, 1);
}

TEST(ImageHeaderCodec, NameWithoutNulStillDecodesTerminated) {
  std::array<uint8_t, IMAGE_HEADER_BYTES> raw{};
  std::fill(raw.begin() + IMG_TARGET_NAME, raw.end(), 'N');
  ImageHeader h;
  ASSERT_EQ(image_header(raw, h), ImageResult::OK);
  EXPECT_EQ(std::strlen(h.target_name.data()), 33u);
  EXPECT_EQ(image_header(std::span(raw).first(83), h), ImageResult::TOO_SHORT);
}

}  // namespace
