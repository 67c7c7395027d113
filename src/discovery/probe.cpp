#include "discovery/probe.h"

#include <cstring>
#include <span>

#include "common/bytes.h"
#include "protocol/app.h"

namespace korvo {

namespace {

void copy_boot_identity(const BootInfo& info, DeviceInfo& device) {
  const std::span<const uint8_t> bytes(info);
  device.version = read_le32(bytes, BOOT_INFO_VERSION);
  device.product = read_le16(bytes, BOOT_INFO_PRODUCT);
  device.pcb_revision = read_le16(bytes, BOOT_INFO_REVISION);
  // 33 bytes, with or without a NUL; the record's spare last byte keeps it terminated.
  std::memcpy(device.name.data(), &info[BOOT_INFO_NAME], DEVICE_NAME_BYTES);
  device.name[DEVICE_NAME_BYTES] = '\0';
  device_set_model(device);
}

Probe verdict(Probe probe, ProbeResult result, ProbeState state = ProbeState::NONE) {
  probe.result = result;
  probe.state = state;
  return probe;
}

}  // namespace

DeviceInfo boot_identity(const BootInfo& info) {
  DeviceInfo device;
  copy_boot_identity(info, device);
  return device;
}

Probe device_probe(Link& link, BootInfo& boot_info, const DeviceInfo& known) {
  Probe probe{ProbeResult::SILENT, ProbeState::NONE, known};
  if (link.current_baud == 0) return verdict(probe, ProbeResult::PORT_UNUSABLE);
  if (link.current_baud != BAUD_APPLICATION && !link_set_speed(link, BAUD_APPLICATION)) {
    return verdict(probe, ProbeResult::SPEED_19200_FAILED);
  }
  port_drain(link.port);
  if (app_query_version(link, probe.device, false) == AppResult::OK) {
    return verdict(probe, ProbeResult::FOUND, ProbeState::APPLICATION);
  }
  // A line whose speed is fixed (a raw network port) cannot reach a bootloader: asking would
  // only close it. Silent at 19200 is all it can tell.
  if (!port_speed_changeable(link.port)) return verdict(probe, ProbeResult::SILENT);
  if (!link_set_speed(link, BAUD_BOOTLOADER)) return verdict(probe, ProbeResult::SPEED_115200_FAILED);
  boot_sync(link);
  if (boot_query_info(link, boot_info) == BootQueryResult::OK) {
    copy_boot_identity(boot_info, probe.device);
    return verdict(probe, ProbeResult::FOUND, ProbeState::BOOTLOADER);
  }
  if (!link_set_speed(link, BAUD_APPLICATION)) return verdict(probe, ProbeResult::SPEED_BACK_FAILED);
  return verdict(probe, ProbeResult::SILENT);
}

}  // namespace korvo
