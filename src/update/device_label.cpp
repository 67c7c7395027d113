#include "update/device_label.h"

#include "update/device_text.h"

namespace korvo {

std::string version_text(Version v) { return shown_line(version_string(v)); }

std::string device_label(const DeviceInfo& device) {
  const char* table = product_lookup(device.product, device.pcb_revision);
  std::string model = table != nullptr ? table : device_text(device_model_text(device));
  if (model.empty()) model = "product " + std::to_string(device.product);
  const std::string name = device_text(device_name(device));
  return name.empty() ? model : name + " (" + model + ")";
}

}  // namespace korvo
