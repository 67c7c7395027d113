#include "protocol/packet.h"

#include <algorithm>
#include <array>

namespace korvo {

namespace {

// Waits for the first non-zero byte; each zero byte starts a fresh limit, until
// BOOT_ZERO_WAIT_MS have passed since the wait began. false: none came.
bool read_non_zero(Link& link, uint8_t& byte, uint32_t timeout_ms) {
  const uint32_t began = link.clock->now_ms();
  do {
    if (clock_expired(*link.clock, began, BOOT_ZERO_WAIT_MS)) return false;
    if (link_read_timed(link, &byte, 1, timeout_ms) != 1) return false;
  } while (byte == 0x00);
  return true;
}

void mark_written(Link& link) {
  if (link.round_trips != nullptr) link.round_trips->written_us = link.clock->now_us();
}

// An answer's first byte is in: its round trip counts from the last packet written.
void note_answer(Link& link) {
  if (link.round_trips == nullptr || link.round_trips->written_us == 0) return;
  const uint64_t elapsed = link.clock->now_us() - link.round_trips->written_us;
  link.round_trips->samples_us.push_back(static_cast<uint32_t>(std::min<uint64_t>(elapsed, UINT32_MAX)));
}

bool send_byte(Link& link, uint8_t byte) { return port_write(link.port, &byte, 1) == 1; }

RecvResult answered(bool written, RecvResult result) {
  return written ? result : RecvResult::ANSWER_FAILED;
}

}  // namespace

uint8_t packet_checksum(const uint8_t* data, uint8_t count) {
  uint8_t sum = 0;
  for (uint8_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

bool boot_send_ack(Link& link) { return send_byte(link, PACKET_ACK); }

bool boot_send_nak(Link& link) { return send_byte(link, PACKET_NAK); }

SendResult boot_send_packet(Link& link, const uint8_t* payload, uint8_t count, bool want_ack,
                            uint32_t timeout_ms) {
  const uint8_t checksum = packet_checksum(payload, count);
  const auto length = static_cast<uint8_t>(count + 2);
  if (port_write(link.port, &length, 1) != 1) return SendResult::NO_LENGTH;
  if (port_write(link.port, &checksum, 1) != 1) return SendResult::NO_CHECKSUM;
  if (port_write(link.port, payload, count) < count) return SendResult::PAYLOAD_SHORT;
  mark_written(link);
  if (!want_ack) return SendResult::OK;
  uint8_t answer = 0;
  if (!read_non_zero(link, answer, timeout_ms)) return SendResult::NO_ANSWER;
  note_answer(link);
  return answer == PACKET_ACK ? SendResult::OK : SendResult::NOT_ACK;
}

RecvResult boot_recv_packet(Link& link, uint8_t* buffer, uint8_t& payload_length,
                            uint32_t timeout_ms) {
  const uint8_t capacity = payload_length;
  uint8_t length = 0;
  if (!read_non_zero(link, length, timeout_ms)) return RecvResult::NO_LENGTH;
  note_answer(link);  // a reply answers the request written before it
  uint8_t checksum = 0;
  if (link_read_timed(link, &checksum, 1, timeout_ms) != 1) return RecvResult::NO_CHECKSUM;
  const auto n = static_cast<uint8_t>(length - 2);

  if (n > capacity) {
    // More than the caller can hold: take the whole packet off the line so the link stays
    // in step, refuse it, and leave the caller's buffer untouched.
    std::array<uint8_t, 255> scratch{};
    const int32_t got = link_read_timed(link, scratch.data(), n, timeout_ms);
    payload_length = 0;
    if (got < n) return RecvResult::CUT_SHORT;
    return boot_send_nak(link) ? RecvResult::OVERSIZE : RecvResult::ANSWER_FAILED;
  }

  payload_length = n;
  if (link_read_timed(link, buffer, n, timeout_ms) < n) {
    payload_length = 0;
    return RecvResult::CUT_SHORT;
  }
  if (packet_checksum(buffer, n) != checksum) {
    payload_length = 0;
    return answered(boot_send_nak(link), RecvResult::CHECKSUM_FAILED);
  }
  return answered(boot_send_ack(link), RecvResult::OK);
}

TransactionResult boot_transaction(Link& link, const uint8_t* command, uint8_t count,
                                   uint32_t timeout_ms, uint8_t& status) {
  status = BOOT_STATUS_REQUEST;
  if (boot_send_packet(link, command, count, true, timeout_ms) != SendResult::OK) {
    return TransactionResult::COMMAND_FAILED;
  }
  if (boot_send_packet(link, &status, 1, true, timeout_ms) != SendResult::OK) {
    return TransactionResult::REQUEST_FAILED;
  }
  // An empty status payload leaves the "#" in place, which is judged like any other byte.
  // A NAKed reply is no verdict: "D" and "@" are one bit apart.
  uint8_t length = 1;
  const RecvResult received = boot_recv_packet(link, &status, length, timeout_ms);
  if (received == RecvResult::CHECKSUM_FAILED) return TransactionResult::CORRUPT_STATUS;
  if (received != RecvResult::OK) return TransactionResult::NO_STATUS;
  if (status == BOOT_STATUS_MISMATCH) return TransactionResult::MISMATCH;
  if (status == BOOT_STATUS_OK) return TransactionResult::OK;
  return TransactionResult::BAD_STATUS;
}

}  // namespace korvo
