#include "update/compat_report.h"

#include "update/device_text.h"

namespace korvo {

void report_incompatibility(ConsoleOut& out, CompatCode code, const DeviceInfo& device,
                            const Image& image) {
  switch (code) {
    case CompatCode::OK:
      return;
    case CompatCode::IMAGE_UNKNOWN:
      say(out, "\nThe firmware file given is for a product not recognize by this program.\n");
      break;
    case CompatCode::DEVICE_UNKNOWN:
      say(out, "\nThis program cannot update a \"%s\".", device_text(device_name(device)).c_str());
      break;
    case CompatCode::PRODUCT_MISMATCH:
      say(out, "\nAttempting to update device: \"%s\".", device_text(device_model_text(device)).c_str());
      say(out, "\nNew firmware is for device:  \"%s\".\n",
          image_empty(image) ? "" : shown_line(image_target_name(image)).c_str());
      say(out, "\nIncompatible firmware, device not updated.\n");
      break;
    case CompatCode::REVISION_MISMATCH:
      say(out, "\nUnsupported PCB Revision: Rev %u.\n", unsigned{device.pcb_revision});
      say(out, "This firmware won't work on this version of the %s,\ndevice not updated.\n",
          device_text(device_model_text(device)).c_str());
      break;
    default:
      // Not a verdict the check gives; say nothing rather than a misleading closing.
      return;
  }
  say(out,
      "\nPlease check the Torva website for the proper firmware for your product,\n"
      "or for a more recent version of this program.\n\n");
}

}  // namespace korvo
