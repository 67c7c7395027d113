// The simulated device on the in-memory line: the host's real protocol code talks to the
// device model on the virtual clock, and every reply is placed on the line at the time
// the model makes it due.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "devmodel.h"
#include "memline.h"

using namespace korvo;

// Unsolicited messages are placed on the line ahead of time: once the host's writes have
// reached their time, or when a reply before them is sent and they are due within this
// much after it. (The line keeps its bytes in the order they were placed.)
inline constexpr uint64_t DEVSIM_LINE_LOOKAHEAD_MS = 2000;

struct DevsimLine : LinePeer {
  DevModel model;
  std::vector<DevUnsolicited> unsolicited;  // not yet on the line

  // Sets the line's peer; the device starts at start_ms. false when the trace file
  // cannot be written.
  [[nodiscard]] bool attach(MemLine& line, const DevConfig& config, uint64_t start_ms = 0);
  void on_host_bytes(MemLine& line, std::span<const uint8_t> bytes, uint32_t baud,
                     uint64_t now_ms) override;

 private:
  uint64_t start_ms_ = 0;
  void place_unsolicited(MemLine& line, uint64_t until_ms);
};
