// Bringing the bootloader into contact and out again.
#pragma once

#include <array>
#include <cstdint>

struct RunState;

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

void boot_sync(RunState& run);
// 0 a reply was taken off the line; 1 query not sent or not acknowledged; 2 no reply.
[[nodiscard]] int boot_query_info(RunState& run, BootInfo& info);
// true when the bootloader answers (ProbeState is then PROBE_BOOTLOADER, port at 115200).
[[nodiscard]] bool boot_enter(RunState& run);
void boot_leave(RunState& run);
