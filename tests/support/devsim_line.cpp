#include "devsim_line.h"

#include <algorithm>

namespace {

uint64_t us_to_ms_up(uint64_t us) { return (us + 999) / 1000; }

}  // namespace

bool DevsimLine::attach(MemLine& line, const DevConfig& config, uint64_t start_ms) {
  if (devmodel_init(model, config) != 0) return false;
  start_ms_ = start_ms;
  unsolicited = config.faults.device_silent ? std::vector<DevUnsolicited>{} : config.faults.unsolicited;
  std::stable_sort(unsolicited.begin(), unsolicited.end(),
                   [](const DevUnsolicited& a, const DevUnsolicited& b) { return a.at_ms < b.at_ms; });
  line.set_peer(this);
  place_unsolicited(line, start_ms);
  return true;
}

void DevsimLine::place_unsolicited(MemLine& line, uint64_t until_ms) {
  while (!unsolicited.empty() && start_ms_ + unsolicited.front().at_ms <= until_ms) {
    const DevUnsolicited u = unsolicited.front();
    unsolicited.erase(unsolicited.begin());
    line.device_send(u.bytes, start_ms_ + u.at_ms);
  }
}

void DevsimLine::on_host_bytes(MemLine& line, std::span<const uint8_t> bytes, uint32_t baud,
                               uint64_t now_ms) {
  place_unsolicited(line, now_ms);
  // The model counts from the device's start, like the pty server.
  const uint64_t base_us = start_ms_ * 1000;
  devmodel_feed(model, bytes, baud, std::max(now_ms, start_ms_) * 1000 - base_us);
  const std::vector<DevOutput> outputs = devmodel_take_output(model);
  uint64_t last_ms = now_ms;
  for (const DevOutput& out : outputs) {
    const uint64_t at_ms = us_to_ms_up(out.at_us + base_us);
    place_unsolicited(line, at_ms);
    line.device_send(out.bytes, at_ms);
    last_ms = std::max(last_ms, at_ms);
  }
  if (!outputs.empty()) place_unsolicited(line, last_ms + DEVSIM_LINE_LOOKAHEAD_MS);
}
