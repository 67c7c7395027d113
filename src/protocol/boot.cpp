#include "protocol/boot.h"

#include <cstring>

#include "driver/run_state.h"
#include "protocol/app.h"
#include "protocol/packet.h"

namespace {

constexpr char ENTRY_TEXT[] = "^BOOTL$^BOOTL$^BOOTL$";
constexpr int32_t ENTRY_TEXT_BYTES = sizeof ENTRY_TEXT - 1;
constexpr uint32_t SYNC_ZERO_BYTES = 256;
constexpr int BOOT_ENTRY_ATTEMPTS = 3;
// The application needs this long to hand over to its bootloader.
constexpr uint32_t BOOT_ENTRY_SETTLE_MS = 1000;
// After the leave command the bootloader has restarted the application, which listens at 19200.
constexpr uint32_t BOOT_LEAVE_SETTLE_MS = 10;
constexpr uint32_t BOOT_LEAVE_SEND_MS = 500;

// Legacy replies: version at 8, a 33-byte name at 12; moved up to the normal offsets.
constexpr uint32_t LEGACY_MOVE_FROM = 8;
constexpr uint32_t LEGACY_MOVE_BYTES = 37;
constexpr uint16_t LEGACY_PRODUCT = 56;
constexpr uint16_t LEGACY_REVISION = 1;

void put_le16(BootInfo& info, uint32_t offset, uint16_t value) {
  info[offset] = static_cast<uint8_t>(value & 0xFFu);
  info[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void write_entry_text(RunState& run) {
  // A lost entry text shows up as a bootloader that does not answer.
  (void)port_write(run.port, reinterpret_cast<const uint8_t*>(ENTRY_TEXT), ENTRY_TEXT_BYTES);
}

// Speed changes whose failure surfaces later, as silence on a closed port.
void set_speed(RunState& run, uint32_t baud) {
  (void)port_set_baud(run.port, baud);
  run.current_baud = baud;
}

}  // namespace

void boot_sync(RunState& run) {
  const uint8_t zero = 0x00;
  uint8_t scratch = 0;
  for (uint32_t i = 0; i < SYNC_ZERO_BYTES; ++i) {
    (void)port_write(run.port, &zero, 1);
    for (int32_t waiting = port_available(run.port); waiting > 0; waiting = port_available(run.port)) {
      for (int32_t k = 0; k < waiting; ++k) (void)port_read(run.port, &scratch, 1);
    }
  }
}

int boot_query_info(RunState& run, BootInfo& info) {
  put_le16(info, BOOT_INFO_PRODUCT, 0);
  put_le16(info, BOOT_INFO_REVISION, 0);
  std::memset(&info[BOOT_INFO_VERSION], 0, 4);
  std::memset(&info[8], 0, 20);
  info[BOOT_INFO_NAME] = 0;

  const uint8_t query = '&';
  if (boot_send_packet(run, &query, 1, true, BOOT_WAIT_MS) != 0) return 1;
  // The payload length is not looked at: a shorter reply leaves the rest as it was.
  uint8_t length = BOOT_INFO_BYTES;
  if (boot_recv_packet(run, info.data(), length, BOOT_WAIT_MS) != 0) return 2;
  info[BOOT_INFO_BYTES - 1] = 0;

  if (info[BOOT_INFO_FORMAT] == 0 && info[BOOT_INFO_FORMAT + 1] == 0) {
    put_le16(info, BOOT_INFO_FORMAT, BOOT_INFO_NORMALISED);
    put_le16(info, BOOT_INFO_PRODUCT, LEGACY_PRODUCT);
    put_le16(info, BOOT_INFO_REVISION, LEGACY_REVISION);
    // The ranges overlap: memmove copies as if from the last byte down.
    std::memmove(&info[BOOT_INFO_VERSION], &info[LEGACY_MOVE_FROM], LEGACY_MOVE_BYTES);
    std::memset(&info[LEGACY_MOVE_FROM], 0, BOOT_INFO_VERSION - LEGACY_MOVE_FROM);
  }
  return 0;
}

bool boot_enter(RunState& run) {
  if (run.probe_state == PROBE_BOOTLOADER) return true;
  write_entry_text(run);
  run.clock->sleep_ms(BOOT_ENTRY_SETTLE_MS);
  set_speed(run, BAUD_BOOTLOADER);
  for (int attempt = 0; attempt < BOOT_ENTRY_ATTEMPTS; ++attempt) {
    boot_sync(run);
    if (boot_query_info(run, run.boot_info) == 0) {
      run.probe_state = PROBE_BOOTLOADER;
      return true;
    }
    write_entry_text(run);
  }
  say(run.out, "\nError: No response from the bootloader, check cables and power.\n");
  set_speed(run, BAUD_APPLICATION);
  run.probe_state = PROBE_NONE;
  return false;
}

void boot_leave(RunState& run) {
  if (run.probe_state != PROBE_BOOTLOADER) return;
  run.command[0] = '%';
  (void)boot_send_packet(run, run.command.data(), 1, false, BOOT_LEAVE_SEND_MS);
  run.clock->sleep_ms(BOOT_LEAVE_SETTLE_MS);
  set_speed(run, BAUD_APPLICATION);
  // The restarted application announces itself; a missing report only leaves DeviceInfo reset.
  (void)app_query_version(run.port, run.device, true);
}
