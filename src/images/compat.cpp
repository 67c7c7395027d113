#include "images/compat.h"

#include <cstdint>

namespace korvo {

CompatCode check_compatibility(const DeviceInfo& device, const Image& image) {
  if (product_lookup(device.product, device.pcb_revision) == nullptr) {
    return CompatCode::DEVICE_UNKNOWN;
  }
  // An empty slot names no product at all; never read its header.
  if (image_empty(image)) return CompatCode::IMAGE_UNKNOWN;
  const uint32_t product = image_field(image, IMG_PRODUCT);
  const uint32_t revision = image_field(image, IMG_PCB_REVISION);
  // The table takes signed numbers: a header value above INT32_MAX turns negative and so
  // finds no row, as it should.
  if (product_lookup(static_cast<int32_t>(product), static_cast<int32_t>(revision)) == nullptr) {
    return CompatCode::IMAGE_UNKNOWN;
  }
  // 16-bit device fields widened against the 32-bit header fields.
  if (uint32_t{device.product} != product) return CompatCode::PRODUCT_MISMATCH;
  if (uint32_t{device.pcb_revision} != revision) return CompatCode::REVISION_MISMATCH;
  return CompatCode::OK;
}

}  // namespace korvo
