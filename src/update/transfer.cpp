#include "update/transfer.h"

#include <cstring>
#include <span>

#include "driver/run_state.h"
#include "protocol/packet.h"

namespace {

constexpr uint32_t START_COMMAND_BYTES = 16;
constexpr uint32_t START_BYTES_COUNT = 7;
constexpr int TRANSFER_FAILED = -1;

void put_be32(CommandBuffer& buffer, uint32_t offset, uint32_t value) {
  for (uint32_t i = 0; i < 4; ++i) buffer[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void report_lost(RunState& run, const char* stage, int result) {
  if (result == 4) {
    say(run.out, "\nError: FLASH firmware did not match update firmware.\n");
  } else {
    say(run.out, "\nError: %s(%02X) communications with the bootloader, check cables and power.\n", stage,
        static_cast<unsigned>(result));
  }
}

// The device is left where it can be updated again: back to 19200 and nothing identified.
int give_up(RunState& run) {
  (void)port_set_baud(run.port, BAUD_APPLICATION);
  run.current_baud = BAUD_APPLICATION;
  run.probe_state = PROBE_NONE;
  return TRANSFER_FAILED;
}

}  // namespace

int transfer_firmware(RunState& run) {
  const Image& image = *run.selected_image;
  const std::span<const uint8_t> bytes(image.data, image.size);

  if (!boot_enter(run)) return TRANSFER_FAILED;

  CommandBuffer& command = run.command;
  command[0] = '!';
  put_be32(command, 1, image_field(image, IMG_TARGET_START));
  put_be32(command, 5, image_field(image, IMG_TARGET_LENGTH));
  std::memcpy(&command[9], &image.data[IMG_START_BYTES], START_BYTES_COUNT);
  int r = boot_transaction(run, command.data(), START_COMMAND_BYTES, BOOT_WAIT_MS);
  if (r != 0) {
    report_lost(run, "Lost1", r);
    return give_up(run);
  }

  say(run.out, "\n");
  const uint32_t count = image_field(image, IMG_RECORD_COUNT);
  size_t offset = IMAGE_HEADER_BYTES;
  for (uint32_t n = count; n != 0; --n) {
    say(run.out, "\rUpdating firmware: %3u%% complete.", (count - n) * 100u / count);
    const uint32_t length = offset + 2 <= bytes.size() ? read_le16(bytes, offset) : 0;
    if (length < IMAGE_RECORD_MIN || length > IMAGE_RECORD_MAX || offset + length > bytes.size()) {
      // The build checks every image it embeds, so this is a damaged program: send none of it.
      say(run.out, "\nError: Firmware record %u has an invalid length (%u).\n", count - n + 1, length);
      boot_leave(run);
      return give_up(run);
    }
    // "$", record bytes 2..L-2, and the three bytes earlier commands left behind: the
    // devices expect exactly this payload of L + 1 bytes.
    command[0] = '$';
    std::memcpy(&command[1], &image.data[offset + 2], length - 3);
    r = boot_transaction(run, command.data(), static_cast<uint8_t>((length + 1) % 256), BOOT_WAIT_MS);
    if (r != 0) {
      report_lost(run, "Lost2", r);
      boot_leave(run);
      return give_up(run);
    }
    offset += length;
  }
  say(run.out, "\rUpdating firmware: 100%% complete.\n");
  boot_leave(run);
  return 0;
}
