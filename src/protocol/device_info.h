// The device's identity and the packed firmware version that devices and images share.
#pragma once

#include <array>
#include <cstdint>

// Major in bits 24-31, minor 16-23, a third number (non-zero marks a beta) 8-15,
// letter 0-7 (1 = a). Compared as an unsigned number; 0 means none.
using Version = uint32_t;

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
};

// The device's own name, always terminated (the spare 34th byte stays 0).
inline const char* device_name(const DeviceInfo& info) { return info.name.data(); }

// Model name for a product and PCB revision, or null.
const char* product_lookup(int32_t product, int32_t revision);
