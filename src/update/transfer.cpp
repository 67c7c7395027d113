#include "update/transfer.h"

#include <cstring>
#include <span>

#include "common/bytes.h"
#include "protocol/app.h"
#include "protocol/packet.h"

namespace korvo {

namespace {

constexpr uint32_t START_COMMAND_BYTES = 16;
// A record of L bytes goes out as a payload of L + 1: the longest must still be framable.
static_assert(IMAGE_RECORD_MAX + 1 <= PACKET_MAX_PAYLOAD);

void report_lost(ConsoleOut& out, const char* stage, TransactionResult result, uint8_t status) {
  if (result == TransactionResult::BAD_STATUS) {
    say(out, "\nError: Return status not successful.\nReturn Code: %04x\n", unsigned{status});
  }
  if (result == TransactionResult::MISMATCH) {
    say(out, "\nError: FLASH firmware did not match update firmware.\n");
  } else {
    say(out, "\nError: %s(%02X) communications with the bootloader, check cables and power.\n", stage,
        static_cast<unsigned>(result));
  }
}

// Tells a bootloader to start the application, which then announces itself; a missing report
// only leaves the identity reset.
void leave_bootloader(Link& link, BootBuffers& boot, ProbeState state, DeviceInfo& device) {
  if (state != ProbeState::BOOTLOADER) return;
  boot_leave(link, boot.command);
  (void)app_query_version(link, device, true);
}

// The device is left where it can be updated again: back to 19200 and nothing identified.
TransferResult give_up(Link& link, ProbeState& state) {
  (void)link_set_speed(link, BAUD_APPLICATION);
  state = ProbeState::NONE;
  return TransferResult::FAILED;
}

}  // namespace

TransferResult transfer_firmware(Link& link, BootBuffers& boot, ProbeState& state,
                                 DeviceInfo& device, const Image& image, ConsoleOut& out) {
  const std::span<const uint8_t> bytes = image_bytes(image);
  const uint32_t count = image_field(image, IMG_RECORD_COUNT);
  if (count == 0) {
    // The build refuses such an image, so this is a damaged program. A start command would
    // have the bootloader get ready (perhaps erase) for an installation that never comes.
    say(out, "\nError: The firmware image has no records.\n");
    return give_up(link, state);
  }
  if (state != ProbeState::BOOTLOADER) {
    if (!boot_enter(link, boot.info)) {
      say(out, "\nError: No response from the bootloader, check cables and power.\n");
      state = ProbeState::NONE;
      return TransferResult::FAILED;
    }
    state = ProbeState::BOOTLOADER;
  }

  CommandBuffer& command = boot.command;
  command[0] = '!';
  put_be32(command, 1, image_field(image, IMG_TARGET_START));
  put_be32(command, 5, image_field(image, IMG_TARGET_LENGTH));
  std::memcpy(&command[9], &bytes[IMG_START_BYTES], IMAGE_START_BYTES);
  uint8_t status = 0;
  TransactionResult r = boot_transaction(link, command.data(), START_COMMAND_BYTES, BOOT_WAIT_MS, status);
  if (r != TransactionResult::OK) {
    report_lost(out, "Lost1", r, status);
    return give_up(link, state);
  }

  say(out, "\n");
  size_t offset = IMAGE_HEADER_BYTES;
  for (uint32_t n = count; n != 0; --n) {
    say(out, "\rUpdating firmware: %3u%% complete.", (count - n) * 100u / count);
    ImageRecord record;
    if (image_record(bytes, offset, record) != ImageResult::OK) {
      // The build checks every image it embeds, so this is a damaged program: send none of it.
      say(out, "\nError: Firmware record %u has an invalid length (%u).\n", count - n + 1,
          record.length);
      leave_bootloader(link, boot, state, device);
      return give_up(link, state);
    }
    // "$", record bytes 2..L-2, and the three bytes earlier commands left behind: the
    // devices expect exactly this payload of L + 1 bytes.
    command[0] = '$';
    std::memcpy(&command[1], record.payload.data(), record.length - 3);
    r = boot_transaction(link, command.data(), static_cast<uint8_t>((record.length + 1) % 256),
                         BOOT_WAIT_MS, status);
    if (r != TransactionResult::OK) {
      report_lost(out, "Lost2", r, status);
      leave_bootloader(link, boot, state, device);
      return give_up(link, state);
    }
    offset += record.length;
  }
  say(out, "\rUpdating firmware: 100%% complete.\n");
  leave_bootloader(link, boot, state, device);
  return TransferResult::OK;
}

}  // namespace korvo
