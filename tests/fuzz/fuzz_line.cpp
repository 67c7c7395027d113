#include "fuzz_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/packet.h"

void fuzz_fail(const char* rule, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, rule);
  std::abort();
}

std::vector<Piece> fuzz_split(Piece data) {
  std::vector<Piece> pieces;
  size_t start = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] != '~' || data[i + 1] != '~') continue;
    pieces.push_back(data.subspan(start, i - start));
    start = i + 2;
    ++i;
  }
  pieces.push_back(data.subspan(start));
  return pieces;
}

int32_t FuzzLine::read(uint8_t* buffer, int32_t count) {
  // The queue is empty at a wait: a reply sent "at 0" has arrived by now.
  if (pending() == 0 && replies_used < replies_.size()) device_send(replies_[replies_used++], 0);
  const int32_t got = MemLine::read(buffer, count);
  if (got <= 0) return got;
  if (!events.empty() && events.back().kind == LineEvent::READ && events.back().baud == baud()) {
    events.back().bytes.insert(events.back().bytes.end(), buffer, buffer + got);
  } else {
    events.push_back({LineEvent::READ, baud(), Bytes(buffer, buffer + got)});
  }
  return got;
}

int32_t FuzzLine::write(const uint8_t* data, int32_t count) {
  // Logged here only; a run of synchronising zero bytes is one event.
  const bool zeros = std::all_of(data, data + count, [](uint8_t b) { return b == 0; });
  if (zeros && !events.empty() && zero_run_ == events.size() - 1 && events.back().baud == baud()) {
    events.back().bytes.insert(events.back().bytes.end(), data, data + count);
    return count;
  }
  events.push_back({LineEvent::WRITE, baud(), Bytes(data, data + count)});
  if (zeros) zero_run_ = events.size() - 1;
  return count;
}

Bytes FuzzLine::bytes_written() const {
  Bytes all;
  for (const LineEvent& e : events) {
    if (e.kind == LineEvent::WRITE) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

Bytes FuzzLine::bytes_read(size_t from, size_t to) const {
  Bytes all;
  for (size_t i = from; i < std::min(to, events.size()); ++i) {
    const LineEvent& e = events[i];
    if (e.kind == LineEvent::READ) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
  }
  return all;
}

namespace {

size_t past_zeros(const Bytes& read, size_t at) {
  while (at < read.size() && read[at] == 0) ++at;
  return at;
}

}  // namespace

size_t past_ack(const Bytes& read, size_t at) {
  at = past_zeros(read, at);
  return at < read.size() && read[at] == PACKET_ACK ? at + 1 : SIZE_MAX;
}

bool whole_packet(const Bytes& read, size_t at, uint8_t& checksum, Bytes& payload) {
  at = past_zeros(read, at);
  if (at >= read.size() || read.size() - at < 2) return false;
  const auto announced = static_cast<uint8_t>(read[at] - 2);
  if (read.size() - at - 2 != announced) return false;
  checksum = read[at + 1];
  payload.assign(read.begin() + static_cast<std::ptrdiff_t>(at) + 2, read.end());
  return true;
}

bool status_exchange_ok(const Bytes& read) {
  const size_t at = past_ack(read, past_ack(read, 0));
  uint8_t checksum = 0;
  Bytes payload;
  return whole_packet(read, at, checksum, payload) && payload == Bytes{BOOT_STATUS_OK} &&
         checksum == BOOT_STATUS_OK;
}
