#include "images/compat.h"
#include "update/compat_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_console.h"
#include "image_bytes.h"

using namespace korvo;

namespace {

constexpr Version V1_14 = 0x010E0000u;

const std::string CLOSING =
    "\nPlease check the Torva website for the proper firmware for your product,\n"
    "or for a more recent version of this program.\n\n";

// A device as the probe leaves it: model is its own name, else the table's name, else none.
DeviceInfo device_of(uint16_t product, uint16_t pcb_revision, const char* own_name = "") {
  DeviceInfo info;
  info.product = product;
  info.pcb_revision = pcb_revision;
  info.version = V1_14;
  std::strncpy(info.name.data(), own_name, DEVICE_NAME_BYTES - 1);
  info.model = own_name[0] != '\0' ? device_name(info) : product_lookup(product, pcb_revision);
  return info;
}

struct Verdict {
  CompatCode code;
  std::string text;
};

Verdict judge(const DeviceInfo& device, const ImageBytes& image) {
  CapturedText capture;
  ConsoleOut out = capture.out();
  const CompatCode code = check_compatibility(device, image.image());
  report_incompatibility(out, code, device, image.image());
  return {code, capture.text()};
}

const ImageBytes SHIPPED_LIKE = image_bytes_make(68, 6, V1_14, "SlatePro");

TEST(Compat, MatchingDeviceFitsAndNothingIsPrinted) {
  const Verdict v = judge(device_of(68, 6), SHIPPED_LIKE);
  EXPECT_EQ(v.code, CompatCode::OK);
  EXPECT_EQ(v.text, "");
}

TEST(Compat, OtherRevisionOfSameProductNamesRevisionAndTableModel) {
  const Verdict v = judge(device_of(68, 5), SHIPPED_LIKE);
  EXPECT_EQ(v.code, CompatCode::REVISION_MISMATCH);
  EXPECT_EQ(v.text,
            "\nUnsupported PCB Revision: Rev 5.\n"
            "This firmware won't work on this version of the Slate,\ndevice not updated.\n" +
                CLOSING);

  // The device's own name wins over the table's.
  const Verdict named = judge(device_of(68, 1, "Hall East"), SHIPPED_LIKE);
  EXPECT_EQ(named.code, CompatCode::REVISION_MISMATCH);
  EXPECT_EQ(named.text,
            "\nUnsupported PCB Revision: Rev 1.\n"
            "This firmware won't work on this version of the Hall East,\ndevice not updated.\n" +
                CLOSING);
}

TEST(Compat, OtherProductNamesDeviceAndImageTarget) {
  const Verdict v = judge(device_of(56, 1), SHIPPED_LIKE);
  EXPECT_EQ(v.code, CompatCode::PRODUCT_MISMATCH);
  EXPECT_EQ(v.text,
            "\nAttempting to update device: \"Basalt\"."
            "\nNew firmware is for device:  \"SlatePro\".\n"
            "\nIncompatible firmware, device not updated.\n" +
                CLOSING);

  // Product and revision both differ: the product is reported.
  EXPECT_EQ(check_compatibility(device_of(56, 4), SHIPPED_LIKE.image()), CompatCode::PRODUCT_MISMATCH);
}

TEST(Compat, UnknownDeviceComesFirstAndQuotesItsOwnName) {
  const ImageBytes unknown_image = image_bytes_make(70, 1, V1_14, "Future");

  const Verdict named = judge(device_of(45, 3, "Lobby"), unknown_image);
  EXPECT_EQ(named.code, CompatCode::DEVICE_UNKNOWN);
  EXPECT_EQ(named.text, "\nThis program cannot update a \"Lobby\"." + CLOSING);

  // Its own text, but never a terminal control sequence.
  EXPECT_EQ(judge(device_of(45, 3, "\x1b[2J\x9b" "0m"), unknown_image).text,
            "\nThis program cannot update a \"?[2J?0m\"." + CLOSING);

  const Verdict nameless = judge(device_of(45, 3), unknown_image);
  EXPECT_EQ(nameless.code, CompatCode::DEVICE_UNKNOWN);
  EXPECT_EQ(nameless.text, "\nThis program cannot update a \"\"." + CLOSING);

  // Revision 0 is below every row's range.
  EXPECT_EQ(check_compatibility(device_of(68, 0), SHIPPED_LIKE.image()), CompatCode::DEVICE_UNKNOWN);
}

TEST(Compat, UnknownImageProductForKnownDevice) {
  const Verdict v = judge(device_of(68, 6), image_bytes_make(70, 1, V1_14, "Future"));
  EXPECT_EQ(v.code, CompatCode::IMAGE_UNKNOWN);
  EXPECT_EQ(v.text,
            "\nThe firmware file given is for a product not recognize by this program.\n" + CLOSING);

  // A header product that only equals the device's in its low 16 bits is not that product.
  EXPECT_EQ(check_compatibility(device_of(68, 6),
                                image_bytes_make(0x10044u, 6, V1_14, "Wide").image()),
            CompatCode::IMAGE_UNKNOWN);
  // A revision past the row's names, and one that is negative as a signed number.
  EXPECT_EQ(check_compatibility(device_of(68, 6), image_bytes_make(68, 7, V1_14, "X").image()),
            CompatCode::IMAGE_UNKNOWN);
  EXPECT_EQ(check_compatibility(device_of(68, 6),
                                image_bytes_make(68, 0xFFFFFFFFu, V1_14, "X").image()),
            CompatCode::IMAGE_UNKNOWN);
}

TEST(Compat, RecordWithoutModelStillNamesTheDevice) {
  // Reached only outside the update sequence, but must never print a null text.
  DeviceInfo info = device_of(68, 5);
  info.model = nullptr;
  const Verdict v = judge(info, SHIPPED_LIKE);
  EXPECT_EQ(v.code, CompatCode::REVISION_MISMATCH);
  EXPECT_NE(v.text.find("version of the Slate,\n"), std::string::npos) << v.text;
}

TEST(Compat, EmptySlotIsNeverAFit) {
  const Image empty{};
  EXPECT_EQ(check_compatibility(device_of(68, 6), empty), CompatCode::IMAGE_UNKNOWN);
  EXPECT_EQ(check_compatibility(device_of(45, 3), empty), CompatCode::DEVICE_UNKNOWN);
}

}  // namespace
