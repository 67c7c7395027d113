// The bootloader's checksummed packets at 115200: length, checksum, payload.
#pragma once

#include <cstdint>

#include "serial/link.h"

namespace korvo {

inline constexpr uint8_t PACKET_ACK = 0xCC;
inline constexpr uint8_t PACKET_NAK = 0x33;
inline constexpr uint32_t PACKET_MAX_PAYLOAD = 253;   // 254 and 255 cannot be framed
inline constexpr uint8_t BOOT_STATUS_REQUEST = 0x23;  // "#"
inline constexpr uint8_t BOOT_STATUS_OK = 0x40;       // "@"
inline constexpr uint8_t BOOT_STATUS_MISMATCH = 0x44; // "D"
inline constexpr uint32_t BOOT_WAIT_MS = 2000;
// Zero bytes restart a wait for an acknowledgement or a length byte, but a line that sends
// nothing else (a broken adapter, a stuck device) ends that wait as a time-out this long after
// it began.
inline constexpr uint32_t BOOT_ZERO_WAIT_MS = 10000;

enum class SendResult {
  OK = 0,               // written; with want_ack, the ACK came
  NO_LENGTH = 1,        // the length byte was not written
  NO_CHECKSUM = 2,      // the checksum byte was not written
  PAYLOAD_SHORT = 3,    // the payload was not written in full
  NO_ANSWER = 4,        // no non-zero byte came within the limit
  NOT_ACK = 5,          // the first non-zero byte was not ACK (it has been consumed)
};

enum class RecvResult {
  OK = 0,               // a packet was taken off the line and answered (ACK or NAK)
  ANSWER_FAILED = 1,    // taken off the line, but its ACK or NAK was not written
  NO_LENGTH = 6,        // no non-zero length byte within the limit
  NO_CHECKSUM = 7,      // no checksum byte within the limit
  CUT_SHORT = 8,        // fewer payload bytes than announced; nothing was sent
  // More payload than the buffer holds: taken off the line and answered with NAK, the buffer
  // left alone.
  OVERSIZE = 9,
  // The checksum did not match: answered with NAK, the bytes left in the buffer as they came.
  // Nothing in such a packet may be used.
  CHECKSUM_FAILED = 10,
};

enum class TransactionResult {
  OK = 0,               // status "@"
  COMMAND_FAILED = 1,   // sending the command failed
  REQUEST_FAILED = 2,   // sending the status request failed
  NO_STATUS = 3,        // receiving the status reply failed
  MISMATCH = 4,         // status "D": the flash does not match what was sent
  BAD_STATUS = 5,       // any other status byte
  CORRUPT_STATUS = 6,   // the status reply's checksum failed (it was NAKed): no verdict
};

uint8_t packet_checksum(const uint8_t* data, uint8_t count);
// true when the byte was written.
[[nodiscard]] bool boot_send_ack(Link& link);
[[nodiscard]] bool boot_send_nak(Link& link);
[[nodiscard]] SendResult boot_send_packet(Link& link, const uint8_t* payload, uint8_t count,
                                          bool want_ack, uint32_t timeout_ms);
// payload_length: the buffer's capacity on entry, the payload length on return (0 unless
// a packet with a matching checksum was taken; left as it was when no length or checksum came).
// OK only for a packet whose checksum matched.
[[nodiscard]] RecvResult boot_recv_packet(Link& link, uint8_t* buffer, uint8_t& payload_length,
                                          uint32_t timeout_ms);
// The command, the status request and its reply. status is the status byte judged, which the
// caller shows for BAD_STATUS.
[[nodiscard]] TransactionResult boot_transaction(Link& link, const uint8_t* command, uint8_t count,
                                                 uint32_t timeout_ms, uint8_t& status);

}  // namespace korvo
