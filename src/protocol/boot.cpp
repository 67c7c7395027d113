#include "protocol/boot.h"

#include <cstring>
#include <span>

#include "common/bytes.h"
#include "protocol/packet.h"

namespace korvo {

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

void write_entry_text(Link& link) {
  // A lost entry text shows up as a bootloader that does not answer.
  (void)port_write(link.port, reinterpret_cast<const uint8_t*>(ENTRY_TEXT), ENTRY_TEXT_BYTES);
}

}  // namespace

void boot_sync(Link& link) {
  const uint8_t zero = 0x00;
  uint8_t scratch = 0;
  for (uint32_t i = 0; i < SYNC_ZERO_BYTES; ++i) {
    (void)port_write(link.port, &zero, 1);
    for (int32_t waiting = port_available(link.port); waiting > 0;
         waiting = port_available(link.port)) {
      for (int32_t k = 0; k < waiting; ++k) (void)port_read(link.port, &scratch, 1);
    }
  }
}

BootQueryResult boot_query_info(Link& link, BootInfo& info) {
  const std::span<uint8_t> bytes(info);
  put_le16(bytes, BOOT_INFO_PRODUCT, 0);
  put_le16(bytes, BOOT_INFO_REVISION, 0);
  put_le32(bytes, BOOT_INFO_VERSION, 0);
  std::memset(&info[8], 0, 20);
  info[BOOT_INFO_NAME] = 0;

  const uint8_t query = '&';
  if (boot_send_packet(link, &query, 1, true, BOOT_WAIT_MS) != SendResult::OK) {
    return BootQueryResult::NOT_ACKNOWLEDGED;
  }
  // A shorter reply leaves the rest as it was. The reply lands in a copy first: a corrupted
  // or cut-short one must leave no byte behind that a later short reply could pass off as
  // the device's identity.
  BootInfo received = info;
  uint8_t length = BOOT_INFO_BYTES;
  if (boot_recv_packet(link, received.data(), length, BOOT_WAIT_MS) != RecvResult::OK) {
    return BootQueryResult::NO_REPLY;
  }
  info = received;
  info[BOOT_INFO_BYTES - 1] = 0;

  if (read_le16(bytes, BOOT_INFO_FORMAT) == 0) {
    put_le16(bytes, BOOT_INFO_FORMAT, BOOT_INFO_NORMALISED);
    put_le16(bytes, BOOT_INFO_PRODUCT, LEGACY_PRODUCT);
    put_le16(bytes, BOOT_INFO_REVISION, LEGACY_REVISION);
    // The ranges overlap: memmove copies as if from the last byte down.
    std::memmove(&info[BOOT_INFO_VERSION], &info[LEGACY_MOVE_FROM], LEGACY_MOVE_BYTES);
    std::memset(&info[LEGACY_MOVE_FROM], 0, BOOT_INFO_VERSION - LEGACY_MOVE_FROM);
  }
  return BootQueryResult::OK;
}

bool boot_enter(Link& link, BootInfo& info) {
  write_entry_text(link);
  link.clock->sleep_ms(BOOT_ENTRY_SETTLE_MS);
  // A failed change closes the port, which then shows as a bootloader that does not answer.
  (void)link_set_speed(link, BAUD_BOOTLOADER);
  for (int attempt = 0; attempt < BOOT_ENTRY_ATTEMPTS; ++attempt) {
    boot_sync(link);
    if (boot_query_info(link, info) == BootQueryResult::OK) return true;
    write_entry_text(link);
  }
  (void)link_set_speed(link, BAUD_APPLICATION);
  return false;
}

bool boot_leave(Link& link, CommandBuffer& command) {
  command[0] = '%';
  const bool sent = boot_send_packet(link, command.data(), 1, false, BOOT_LEAVE_SEND_MS) == SendResult::OK;
  link.clock->sleep_ms(BOOT_LEAVE_SETTLE_MS);
  (void)link_set_speed(link, BAUD_APPLICATION);
  return sent;
}

}  // namespace korvo
