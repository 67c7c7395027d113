#include "memline.h"

#include <algorithm>

using namespace korvo;

void MemLine::device_send(std::span<const uint8_t> bytes, uint64_t at_ms) {
  // Keep arrival order: a byte never overtakes one sent before it.
  if (!input_.empty()) at_ms = std::max(at_ms, input_.back().at_ms);
  for (uint8_t b : bytes) input_.push_back({at_ms, b});
}

void MemLine::device_send(const std::string& text, uint64_t at_ms) {
  device_send(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), at_ms);
}

std::vector<uint8_t> MemLine::written() const {
  std::vector<uint8_t> all;
  for (const auto& w : writes_) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

bool MemLine::open(const PortName& name, uint32_t baud, OpenFailure& failure) {
  ++platform_calls;
  failure.path = name.by_path() ? name.path : "COM" + std::to_string(name.number);
  failure.warning = warning;
  if (!exists) {
    failure.error = OpenError::MISSING;
    failure.reason = "No such file or directory";
    return false;
  }
  if (refusal != OpenError::NONE) {
    failure.error = refusal;
    failure.reason = "Device or resource busy";
    return false;
  }
  opened = name;
  ++opens;
  open_ = true;
  baud_ = baud;
  return true;
}

bool MemLine::set_baud(uint32_t baud) {
  ++platform_calls;
  if (baud_changes_left == 0) refuse_baud = true;
  if (baud_changes_left > 0) --baud_changes_left;
  if (refuse_baud) {
    close();
    return false;
  }
  baud_ = baud;
  return true;
}

void MemLine::close() {
  ++platform_calls;
  ++closes;
  open_ = false;
}

int32_t MemLine::write(const uint8_t* data, int32_t count) {
  ++platform_calls;
  if (unplugged) return 0;
  if (write_limit >= 0) count = std::min(count, write_limit);
  if (count <= 0) return 0;
  LineWrite w{clock_.now, baud_, std::vector<uint8_t>(data, data + count)};
  writes_.push_back(w);
  if (peer_ != nullptr) peer_->on_host_bytes(*this, w.bytes, baud_, clock_.now);
  return count;
}

int32_t MemLine::read(uint8_t* buffer, int32_t count) {
  ++platform_calls;
  if (unplugged || input_.empty() || input_.front().at_ms > clock_.now + PORT_IO_WAIT_MS) {
    clock_.now += PORT_IO_WAIT_MS;
    return 0;
  }
  int32_t got = 0;
  clock_.now = std::max(clock_.now, input_.front().at_ms);
  while (got < count) {
    if (input_.empty() || input_.front().at_ms > clock_.now + PORT_READ_INTERVAL_MS) {
      // The interval time-out ends the read once no byte follows the last one.
      clock_.now += PORT_READ_INTERVAL_MS;
      break;
    }
    clock_.now = std::max(clock_.now, input_.front().at_ms);
    buffer[got++] = input_.front().byte;
    input_.pop_front();
  }
  return got;
}

int32_t MemLine::available() {
  ++platform_calls;
  return static_cast<int32_t>(
      std::count_if(input_.begin(), input_.end(), [&](const Timed& t) { return t.at_ms <= clock_.now; }));
}
