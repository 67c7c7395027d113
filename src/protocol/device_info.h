// The device's identity and the table of known products that names it.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/version.h"

namespace korvo {

inline constexpr uint32_t DEVICE_NAME_BYTES = 33;
inline constexpr uint32_t EXTRA_ABSENT = 0xFFFFFFFFu;

struct DeviceInfo {
  uint16_t product = 0;
  uint16_t pcb_revision = 0;
  uint32_t extra = EXTRA_ABSENT;
  Version version = 0;
  // The name shown to the user: points at `name` or at a product-table text; null for none.
  const char* model = nullptr;
  // The device's own name. A legacy bootloader reply may fill all 33 bytes without a NUL:
  // read it only through device_name().
  std::array<char, DEVICE_NAME_BYTES + 1> name{};

  DeviceInfo() = default;
  // A copy's model that showed the original's own name shows the copy's.
  DeviceInfo(const DeviceInfo& other) { *this = other; }
  DeviceInfo& operator=(const DeviceInfo& other) {
    product = other.product;
    pcb_revision = other.pcb_revision;
    extra = other.extra;
    version = other.version;
    name = other.name;
    model = other.model == other.name.data() ? name.data() : other.model;
    return *this;
  }
};

// The device's own name, always terminated (the spare 34th byte stays 0).
inline const char* device_name(const DeviceInfo& info) { return info.name.data(); }

// Model name for a product and PCB revision, or null.
const char* product_lookup(int32_t product, int32_t revision);

// Sets `model` as a fresh identity has it: the device's own name when it has one, otherwise
// the product table's name, which may be none.
void device_set_model(DeviceInfo& info);

// The model text for the user, never null: `model` as the identity set it; for a record whose
// `model` was never set, what device_set_model would give; an empty text when neither exists.
const char* device_model_text(const DeviceInfo& info);

}  // namespace korvo
