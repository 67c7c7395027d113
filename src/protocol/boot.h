// Bringing the bootloader into contact and out again. Nothing here prints or decides what the
// device is: the steps above do, from what these operations return.
#pragma once

#include <array>
#include <cstdint>

#include "serial/link.h"

namespace korvo {

inline constexpr uint32_t BOOT_INFO_BYTES = 65;
inline constexpr uint32_t COMMAND_BUFFER_BYTES = 524;

// The bootloader's information reply, little-endian fields read by offset.
using BootInfo = std::array<uint8_t, BOOT_INFO_BYTES>;
// Commands are built in place and sent from here; never cleared between commands.
using CommandBuffer = std::array<uint8_t, COMMAND_BUFFER_BYTES>;

inline constexpr uint32_t BOOT_INFO_FORMAT = 0;
inline constexpr uint32_t BOOT_INFO_PRODUCT = 2;
inline constexpr uint32_t BOOT_INFO_REVISION = 6;
inline constexpr uint32_t BOOT_INFO_VERSION = 28;
inline constexpr uint32_t BOOT_INFO_NAME = 32;
inline constexpr uint16_t BOOT_INFO_NORMALISED = 0x0800;

enum class BootQueryResult {
  OK = 0,                // a reply with a matching checksum was taken off the line
  NOT_ACKNOWLEDGED = 1,  // the query was not sent or not acknowledged
  // No complete reply in time, its acknowledgement not written, or its checksum failed (it
  // was NAKed); info then holds nothing of it.
  NO_REPLY = 2,
};

// 256 zero bytes, each followed by draining whatever came back.
void boot_sync(Link& link);
[[nodiscard]] BootQueryResult boot_query_info(Link& link, BootInfo& info);
// Switches a running application into its bootloader: true with the port at 115200 and the
// bootloader's reply in info; false after three silent attempts, with the port back at 19200.
[[nodiscard]] bool boot_enter(Link& link, BootInfo& info);
// Tells the bootloader to start the application and returns the line to 19200, where the
// application will announce itself. False when the command did not go out whole (a stop, a
// port that failed): the bootloader then still waits.
bool boot_leave(Link& link, CommandBuffer& command);

}  // namespace korvo
