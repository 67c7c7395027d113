#include "images/compat.h"

#include <cstdint>

const char* compat_model_text(const DeviceInfo& device) {
  if (device.model != nullptr) return device.model;
  const char* name = device_name(device);
  if (name[0] != '\0') return name;
  const char* table_name = product_lookup(device.product, device.pcb_revision);
  return table_name != nullptr ? table_name : "";
}

CompatCode check_compatibility(const DeviceInfo& device, const Image& image) {
  if (product_lookup(device.product, device.pcb_revision) == nullptr) return COMPAT_DEVICE_UNKNOWN;
  // An empty slot names no product at all; never read its header.
  if (image_empty(image)) return COMPAT_IMAGE_UNKNOWN;
  const uint32_t product = image_field(image, IMG_PRODUCT);
  const uint32_t revision = image_field(image, IMG_PCB_REVISION);
  // The table takes signed numbers: a header value above INT32_MAX turns negative and so
  // finds no row, as it should.
  if (product_lookup(static_cast<int32_t>(product), static_cast<int32_t>(revision)) == nullptr) {
    return COMPAT_IMAGE_UNKNOWN;
  }
  // 16-bit device fields widened against the 32-bit header fields.
  if (uint32_t{device.product} != product) return COMPAT_PRODUCT_MISMATCH;
  if (uint32_t{device.pcb_revision} != revision) return COMPAT_REVISION_MISMATCH;
  return COMPAT_OK;
}

void report_incompatibility(ConsoleOut& out, CompatCode code, const DeviceInfo& device,
                            const Image& image) {
  switch (code) {
    case COMPAT_OK:
      return;
    case COMPAT_IMAGE_UNKNOWN:
      say(out, "\nThe firmware file given is for a product not recognize by this program.\n");
      break;
    case COMPAT_DEVICE_UNKNOWN:
      say(out, "\nThis program cannot update a \"%s\".", device_name(device));
      break;
    case COMPAT_PRODUCT_MISMATCH:
      say(out, "\nAttempting to update device: \"%s\".", compat_model_text(device));
      say(out, "\nNew firmware is for device:  \"%s\".\n",
          image_empty(image) ? "" : image_target_name(image));
      say(out, "\nIncompatible firmware, device not updated.\n");
      break;
    case COMPAT_REVISION_MISMATCH:
      say(out, "\nUnsupported PCB Revision: Rev %u.\n", unsigned{device.pcb_revision});
      say(out, "This firmware won't work on this version of the %s,\ndevice not updated.\n",
          compat_model_text(device));
      break;
    default:
      // Not a verdict the check gives; say nothing rather than a misleading closing.
      return;
  }
  say(out,
      "\nPlease check the Torva website for the proper firmware for your product,\n"
      "or for a more recent version of this program.\n\n");
}
