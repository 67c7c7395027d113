// The bootloader's checksummed packets at 115200: length, checksum, payload.
#pragma once

#include <cstdint>

struct RunState;

inline constexpr uint8_t PACKET_ACK = 0xCC;
inline constexpr uint8_t PACKET_NAK = 0x33;
inline constexpr uint32_t PACKET_MAX_PAYLOAD = 253;   // 254 and 255 cannot be framed
inline constexpr uint8_t BOOT_STATUS_REQUEST = 0x23;  // "#"
inline constexpr uint8_t BOOT_STATUS_OK = 0x40;       // "@"
inline constexpr uint8_t BOOT_STATUS_MISMATCH = 0x44; // "D"
inline constexpr uint32_t BOOT_WAIT_MS = 2000;

uint8_t packet_checksum(const uint8_t* data, uint8_t count);
[[nodiscard]] int boot_send_ack(RunState& run);
[[nodiscard]] int boot_send_nak(RunState& run);
// 0 sent (and acknowledged when want_ack); 1-3 a write failed; 4 no acknowledgement; 5 not ACK.
[[nodiscard]] int boot_send_packet(RunState& run, const uint8_t* payload, uint8_t count,
                                   bool want_ack, uint32_t timeout_ms);
// Results of boot_recv_packet beyond 0 (taken and answered) and 1 (answer not written).
inline constexpr int BOOT_RECV_NO_LENGTH = 6;
inline constexpr int BOOT_RECV_NO_CHECKSUM = 7;
inline constexpr int BOOT_RECV_CUT_SHORT = 8;
// The packet announced more payload than the buffer holds: it was taken off the line and
// answered with NAK, and the buffer was left alone.
inline constexpr int BOOT_RECV_OVERSIZE = 9;

// payload_length: the buffer's capacity on entry, the payload length on return (0 unless
// a packet with a matching checksum was taken).
[[nodiscard]] int boot_recv_packet(RunState& run, uint8_t* buffer, uint8_t& payload_length,
                                   uint32_t timeout_ms);
// 0 "@"; 1 command not sent; 2 status request not sent; 3 no status reply; 4 "D"; 5 other.
[[nodiscard]] int boot_transaction(RunState& run, const uint8_t* command, uint8_t count,
                                   uint32_t timeout_ms);
