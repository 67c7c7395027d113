#include "protocol/packet.h"

#include <array>

#include "driver/run_state.h"

namespace {

// Waits for the first non-zero byte; each zero byte starts a fresh limit. false: none came.
bool read_non_zero(RunState& run, uint8_t& byte, uint32_t timeout_ms) {
  do {
    if (port_read_timed(run.port, &byte, 1, timeout_ms) != 1) return false;
  } while (byte == 0x00);
  return true;
}

int send_byte(RunState& run, uint8_t byte) { return port_write(run.port, &byte, 1) == 1 ? 0 : 1; }

}  // namespace

uint8_t packet_checksum(const uint8_t* data, uint8_t count) {
  uint8_t sum = 0;
  for (uint8_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

int boot_send_ack(RunState& run) { return send_byte(run, PACKET_ACK); }

int boot_send_nak(RunState& run) { return send_byte(run, PACKET_NAK); }

int boot_send_packet(RunState& run, const uint8_t* payload, uint8_t count, bool want_ack,
                     uint32_t timeout_ms) {
  const uint8_t checksum = packet_checksum(payload, count);
  const auto length = static_cast<uint8_t>(count + 2);
  if (port_write(run.port, &length, 1) != 1) return 1;
  if (port_write(run.port, &checksum, 1) != 1) return 2;
  if (port_write(run.port, payload, count) < count) return 3;
  if (!want_ack) return 0;
  uint8_t answer = 0;
  if (!read_non_zero(run, answer, timeout_ms)) return 4;
  return answer == PACKET_ACK ? 0 : 5;
}

int boot_recv_packet(RunState& run, uint8_t* buffer, uint8_t& payload_length, uint32_t timeout_ms) {
  const uint8_t capacity = payload_length;
  uint8_t length = 0;
  if (!read_non_zero(run, length, timeout_ms)) return 6;
  uint8_t checksum = 0;
  if (port_read_timed(run.port, &checksum, 1, timeout_ms) != 1) return 7;
  const auto n = static_cast<uint8_t>(length - 2);

  if (n > capacity) {
    // More than the caller can hold: take the whole packet off the line so the link stays
    // in step, refuse it, and leave the caller's buffer untouched.
    std::array<uint8_t, 255> scratch{};
    const int32_t got = port_read_timed(run.port, scratch.data(), n, timeout_ms);
    payload_length = 0;
    if (got < n) return BOOT_RECV_CUT_SHORT;
    return boot_send_nak(run) == 0 ? BOOT_RECV_OVERSIZE : 1;
  }

  payload_length = n;
  if (port_read_timed(run.port, buffer, n, timeout_ms) < n) {
    payload_length = 0;
    return BOOT_RECV_CUT_SHORT;
  }
  if (packet_checksum(buffer, n) != checksum) {
    payload_length = 0;
    return boot_send_nak(run);
  }
  return boot_send_ack(run);
}

int boot_transaction(RunState& run, const uint8_t* command, uint8_t count, uint32_t timeout_ms) {
  if (boot_send_packet(run, command, count, true, timeout_ms) != 0) return 1;
  uint8_t status = BOOT_STATUS_REQUEST;
  if (boot_send_packet(run, &status, 1, true, timeout_ms) != 0) return 2;
  // An empty status payload leaves the "#" in place, which is judged like any other byte.
  uint8_t length = 1;
  if (boot_recv_packet(run, &status, length, timeout_ms) != 0) return 3;
  if (status == BOOT_STATUS_MISMATCH) return 4;
  if (status == BOOT_STATUS_OK) return 0;
  say(run.out, "\nError: Return status not successful.\nReturn Code: %04x\n", static_cast<unsigned>(status));
  return 5;
}
