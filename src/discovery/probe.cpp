#include "discovery/probe.h"

#include <cstring>

#include "driver/run_state.h"
#include "protocol/app.h"

namespace {

// A speed change for the probe: on failure the port is closed and marked unusable.
bool change_speed(RunState& run, uint32_t baud) {
  if (port_set_baud(run.port, baud) == 0) {
    run.current_baud = 0;
    return false;
  }
  run.current_baud = baud;
  return true;
}

void copy_boot_identity(RunState& run) {
  DeviceInfo& device = run.device;
  const BootInfo& info = run.boot_info;
  device.version = read_le32(info, BOOT_INFO_VERSION);
  device.product = read_le16(info, BOOT_INFO_PRODUCT);
  device.pcb_revision = read_le16(info, BOOT_INFO_REVISION);
  // 33 bytes, with or without a NUL; the record's spare last byte keeps it terminated.
  std::memcpy(device.name.data(), &info[BOOT_INFO_NAME], DEVICE_NAME_BYTES);
  device.name[DEVICE_NAME_BYTES] = '\0';
  device.model = device.name[0] != '\0' ? device.name.data()
                                        : product_lookup(device.product, device.pcb_revision);
}

}  // namespace

int device_probe(RunState& run) {
  run.probe_state = PROBE_NONE;
  if (run.current_baud == 0) return 1;
  if (run.current_baud != BAUD_APPLICATION && !change_speed(run, BAUD_APPLICATION)) return 3;
  port_drain(run.port);
  if (app_query_version(run.port, run.device, false) == 0) {
    run.probe_state = PROBE_APPLICATION;
    return 0;
  }
  if (!change_speed(run, BAUD_BOOTLOADER)) return 4;
  boot_sync(run);
  if (boot_query_info(run, run.boot_info) == 0) {
    run.probe_state = PROBE_BOOTLOADER;
    copy_boot_identity(run);
    return 0;
  }
  if (!change_speed(run, BAUD_APPLICATION)) return 5;
  run.probe_state = PROBE_NONE;
  return 6;
}
