// The fuzzer as the device: its input cut into replies on the in-memory line and the virtual
// clock, a log of what crossed the line, and the check that stops a run which breaks a rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "memline.h"

using namespace korvo;

// Prints the broken rule and aborts: libFuzzer keeps the input, the replay test fails.
[[noreturn]] void fuzz_fail(const char* rule, const char* file, int line);
#define FUZZ_CHECK(rule) ((rule) ? (void)0 : fuzz_fail(#rule, __FILE__, __LINE__))

using Bytes = std::vector<uint8_t>;
using Piece = std::span<const uint8_t>;

// The pieces between the separators "~~", in order, empty ones included.
std::vector<Piece> fuzz_split(Piece data);

struct LineEvent {
  enum Kind { WRITE, READ, KEY } kind;
  uint32_t baud;  // the host's speed; 0 for a key
  Bytes bytes;    // written, read, or the key; reads in a row, and zero bytes written in a
                  // row, are one event
};

// Each wait of the host, a read that finds nothing on the line, is answered with the next
// reply at once; an empty reply, and every wait after the last one, is silence.
class FuzzLine : public MemLine {
 public:
  FuzzLine(VirtualClock& clock, std::vector<Piece> replies)
      : MemLine(clock), replies_(std::move(replies)) {}
  int32_t read(uint8_t* buffer, int32_t count) override;
  int32_t write(const uint8_t* data, int32_t count) override;

  // One wait costs at most the port's wait and a read interval: the most virtual time that
  // this many replies and `silent` unanswered waits may take.
  uint64_t wait_budget(size_t silent) const {
    return (replies_used + silent) * uint64_t{PORT_IO_WAIT_MS + PORT_READ_INTERVAL_MS};
  }
  // Everything the host read in events [from, to), and everything it wrote, as one string.
  Bytes bytes_read(size_t from = 0, size_t to = SIZE_MAX) const;
  Bytes bytes_written() const;

  size_t replies_used = 0;
  std::vector<LineEvent> events;

 private:
  std::vector<Piece> replies_;
  size_t zero_run_ = SIZE_MAX;  // the event of the zero bytes written last
};

// Reading what the host read as the wire frames it; zero bytes may come before each piece.
// Past one ACK from `at`: the offset after it, or SIZE_MAX when something else came.
size_t past_ack(const Bytes& read, size_t at);
// From `at` on, one whole packet and nothing after it: its checksum and payload.
bool whole_packet(const Bytes& read, size_t at, uint8_t& checksum, Bytes& payload);
// A status transaction that succeeded: the ACKs of the command and of the request, then a
// status packet of "@" whose checksum matches.
bool status_exchange_ok(const Bytes& read);
