#include "devmodel.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr int TARGET_NONE = -2;  // the last command has no reply target

uint64_t ms_to_us(uint32_t ms) { return static_cast<uint64_t>(ms) * 1000; }

uint32_t side_baud(DevSide side) { return side == DEV_APP ? DEV_BAUD_APP : DEV_BAUD_BOOT; }

bool contains(const std::vector<int>& list, int value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

uint8_t sum8(std::span<const uint8_t> bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

void put_le16(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  out[offset] = static_cast<uint8_t>(value);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void put_le32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  put_le16(out, offset, value & 0xFFFF);
  put_le16(out, offset + 2, value >> 16);
}

// A packet whose checksum fails is answered with NAK (and otherwise dropped).
bool naks_bad_packets(const DevFaults& f) { return f.answer_garbage || f.ber > 0; }

// Bits left before the next one the noisy line flips.
uint64_t noise_gap(std::mt19937_64& rng, double ber) {
  return std::geometric_distribution<uint64_t>(ber)(rng);
}

// Flips the data bits the noisy line hits in bytes, for one direction; the number flipped.
uint64_t add_noise(DevModel& m, bool to_device, std::span<uint8_t> bytes) {
  const double ber = m.config.faults.ber;
  if (ber <= 0 || bytes.empty()) return 0;
  std::mt19937_64& rng = to_device ? m.noise_in_rng : m.noise_out_rng;
  uint64_t& gap = to_device ? m.noise_in_gap : m.noise_out_gap;
  const uint64_t bits = bytes.size() * 8;
  uint64_t at = 0;
  uint64_t flipped = 0;
  while (gap < bits - at) {
    at += gap;
    bytes[at / 8] ^= static_cast<uint8_t>(1u << (at % 8));
    ++flipped;
    ++at;
    gap = noise_gap(rng, ber);
  }
  gap -= bits - at;
  (to_device ? m.log.flipped_in : m.log.flipped_out) += flipped;
  return flipped;
}

void trace_line(DevModel& m, uint64_t at_us, const char* direction, const char* side,
                uint32_t baud, std::span<const uint8_t> bytes, const char* note) {
  if (!m.trace) return;
  constexpr size_t per_line = 16;
  for (size_t start = 0; start < bytes.size() || start == 0; start += per_line) {
    const size_t end = std::min(bytes.size(), start + per_line);
    std::fprintf(m.trace.get(), "%12.3f ms  %s  %-4s %6u ", static_cast<double>(at_us) / 1000.0,
                 direction, side, baud);
    for (size_t i = start; i < start + per_line; ++i) {
      if (i < end) std::fprintf(m.trace.get(), " %02X", bytes[i]);
      else std::fputs("   ", m.trace.get());
    }
    std::fputs("  |", m.trace.get());
    for (size_t i = start; i < end; ++i)
      std::fputc(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.', m.trace.get());
    std::fprintf(m.trace.get(), "|%s%s\n", note[0] ? "  " : "", note);
    if (bytes.empty()) break;
  }
  std::fflush(m.trace.get());
}

void violation(DevModel& m, uint64_t at_us, std::string what) {
  m.log.violations.push_back({at_us, std::move(what)});
}

// Identity as the firmware reports it at the given query number.
DevIdentity identity_at(const DevModel& m, uint32_t query) {
  DevIdentity id = m.identity;
  const DevFaults& f = m.config.faults;
  if (f.change_from_query > 0 && query >= static_cast<uint32_t>(f.change_from_query)) {
    if (f.change_product) id.product = *f.change_product;
    if (f.change_revision) id.pcb_revision = *f.change_revision;
    if (f.change_version) id.version = *f.change_version;
    if (f.change_name) id.name = *f.change_name;
  }
  return id;
}

// The device unplugged for good when the next identity query is the chosen one.
bool pulled_at_query(DevModel& m) {
  const int at = m.config.faults.pull_at_query;
  if (at > 0 && m.log.queries + 1 >= static_cast<uint32_t>(at)) {
    m.pulled = true;
    m.back_at_us = 0;
  }
  return m.pulled;
}

// A stretch of wire time; a host byte that follows its burst without a gap extends it.
void busy(DevLineLog& line, uint64_t from_us, uint64_t to_us, bool host) {
  if (host && line.last_host < line.busy.size() && from_us <= line.busy[line.last_host].to_us) {
    line.busy[line.last_host].to_us = std::max(line.busy[line.last_host].to_us, to_us);
    return;
  }
  if (host) line.last_host = line.busy.size();
  line.busy.push_back({from_us, to_us, host});
}

void sent(DevLineLog& line, uint64_t at_us, size_t count, uint32_t baud) {
  const uint64_t wire_us = count * devmodel_byte_us(baud);
  line.sent_bytes += count;
  line.sent_us += wire_us;
  busy(line, at_us, at_us + wire_us, false);
}

// Queues bytes for the line, never before earlier output. Paced, a chunk is due once its
// last stop bit has passed, and the line is the device's until then. Nothing leaves a
// silent device or a pulled cable.
void emit(DevModel& m, uint64_t at_us, std::vector<uint8_t> bytes, uint32_t baud) {
  if (m.config.faults.device_silent || m.pulled || bytes.empty()) return;
  at_us = std::max(at_us, m.out_done_us);
  // The trace shows what reaches the host.
  const bool noisy = add_noise(m, false, bytes) > 0;
  trace_line(m, at_us, "dev>host", baud == DEV_BAUD_APP ? "app" : "boot", baud, bytes,
             noisy ? "(bits flipped on the way)" : "");
  sent(m.log.line, at_us, bytes.size(), baud);
  if (m.config.timing.pacing) at_us += bytes.size() * devmodel_byte_us(baud);
  m.out_done_us = at_us;
  m.out.push_back({at_us, baud, std::move(bytes), m.log.line.busy.size() - 1});
}

void send_report(DevModel& m, uint64_t at_us, const DevIdentity& id) {
  const DevFaults& f = m.config.faults;
  std::string text = f.stray;
  for (int i = 0; i < f.empty_before; ++i) text += "^$";
  for (int i = 0; i < f.plus_before; ++i) text += "^+$";
  text += devmodel_report(id, f.long_report);
  text += f.after_report;
  emit(m, at_us, std::vector<uint8_t>(text.begin(), text.end()), DEV_BAUD_APP);
}

void reset_receivers(DevModel& m) {
  m.app_in_message = false;
  m.app_message.clear();
  m.rx = DevModel::RX_IDLE;
  m.rx_payload.clear();
  m.in_zero_run = false;
  m.zero_run_flagged = false;
  m.expect_host_ack = false;
}

void start_side(DevModel& m, DevSide side) {
  m.side = side;
  reset_receivers(m);
  if (side == DEV_BOOT) {
    m.info_queries = 0;
    m.boot_awake = m.config.faults.boot_answers_from <= 1;
  }
}

// Side changes and the cable coming back happen at their time, seen from the next byte.
void advance(DevModel& m, uint64_t now_us) {
  if (m.switching && now_us >= m.switch_at_us) {
    m.switching = false;
    start_side(m, m.switch_to);
  }
  if (m.pulled && m.back_at_us != 0 && now_us >= m.back_at_us) {
    m.pulled = false;
    m.pull_spent = true;
    m.back_at_us = 0;
  }
}

// ---- application ---------------------------------------------------------------------

void app_message_done(DevModel& m, uint64_t now_us, uint32_t host_baud) {
  const std::string text = m.app_message;
  if (m.app_message_wrong) {
    // Garbage to a real UART. Only the version query is flagged: the host sends it at a
    // settled speed and waits at least 500 ms before it changes speed again.
    if (text == "V" && !m.config.faults.app_silent)
      violation(m, now_us, "version query at " + std::to_string(host_baud) + " baud");
    return;
  }
  m.log.commands.push_back(text);
  if (text == "V") {
    if (m.config.faults.app_silent || pulled_at_query(m)) return;
    const DevIdentity id = identity_at(m, ++m.log.queries);
    send_report(m, now_us + ms_to_us(m.config.timing.report_delay_ms), id);
  } else if (text == "BOOTL") {
    // The rest of the entry text reaches a device that is already restarting.
    m.log.bootl = true;
    m.switching = true;
    m.switch_to = DEV_BOOT;
    m.switch_at_us = now_us + ms_to_us(m.config.timing.boot_ready_ms);
  }
}

void app_byte(DevModel& m, uint8_t b, bool wrong, uint32_t host_baud, uint64_t now_us) {
  if (b == '^') {
    m.app_in_message = true;
    m.app_message_wrong = wrong;
    m.app_message.clear();
    return;
  }
  if (!m.app_in_message) {
    ++m.log.stray_bytes;
    return;
  }
  m.app_message_wrong = m.app_message_wrong || wrong;
  if (b == '$') {
    m.app_in_message = false;
    app_message_done(m, now_us, host_baud);
    return;
  }
  m.app_message.push_back(static_cast<char>(b));
  if (m.app_message.size() >= DEV_MESSAGE_MAX) m.app_in_message = false;
}

// ---- bootloader ----------------------------------------------------------------------

std::string command_name(std::span<const uint8_t> payload) {
  if (payload.size() >= 1) {
    const char c = static_cast<char>(payload[0]);
    if (c == '&' || c == '!' || c == '$' || c == '#' || c == '%') return std::string(1, c);
  }
  char text[8];
  std::snprintf(text, sizeof text, "?%02X", payload.empty() ? 0u : payload[0]);
  return payload.empty() ? "?" : text;
}

void send_ack(DevModel& m, uint64_t at_us) {
  const DevFaults& f = m.config.faults;
  if (f.zero_flood > 0 &&
      (f.zero_flood_packet == 0 || static_cast<uint32_t>(f.zero_flood_packet) == m.good_packets)) {
    for (uint32_t i = 0; i < f.zero_flood; ++i) {
      emit(m, at_us, {0x00}, DEV_BAUD_BOOT);
      at_us += ms_to_us(f.zero_flood_gap_ms);
    }
  }
  emit(m, at_us, {DEV_ACK}, DEV_BAUD_BOOT);
}

void send_reply(DevModel& m, uint64_t at_us, int target, std::vector<uint8_t> payload) {
  const DevFaults& f = m.config.faults;
  std::vector<uint8_t> packet;
  if (contains(f.huge_reply, target)) {
    // Length byte 1: 255 payload bytes, more than any packet may carry.
    payload.resize(255, 0);
    packet = devmodel_packet(payload);
  } else if (target != DEV_TARGET_INFO && contains(f.empty_status, target)) {
    packet = {0x02, 0x00};
  } else {
    packet = devmodel_packet(payload);
  }
  if (contains(f.bad_checksum, target)) packet[1] = static_cast<uint8_t>(packet[1] + 1);
  for (const DevFlip& flip : f.flips) {
    if (flip.target == target && flip.offset + 2 < packet.size()) packet[flip.offset + 2] ^= flip.mask;
  }
  emit(m, at_us, std::move(packet), DEV_BAUD_BOOT);
  m.expect_host_ack = true;
}

uint8_t status_for(const DevModel& m, int target) {
  const auto it = m.config.faults.status.find(target);
  return it == m.config.faults.status.end() ? DEV_STATUS_OK : it->second;
}

void leave_bootloader(DevModel& m, uint64_t now_us) {
  // A complete, matching flash is what the restarted application runs.
  if (m.config.image && !m.log.start_command.empty()) {
    const DevFlashVerdict verdict =
        devimage_verify(*m.config.image, m.log.start_command, m.log.records, "image");
    if (verdict.verified) m.identity.version = m.config.image->version;
  }
  m.switching = true;
  m.switch_to = DEV_APP;
  m.switch_at_us = now_us + ms_to_us(m.config.timing.app_start_ms);
  if (!m.config.faults.app_silent) send_report(m, m.switch_at_us, identity_at(m, m.log.queries));
}

void run_command(DevModel& m, std::span<const uint8_t> payload, uint64_t reply_us,
                 uint64_t now_us) {
  const char c = static_cast<char>(payload[0]);
  if (c == '&' && payload.size() == 1) {
    if (pulled_at_query(m)) return;
    const DevIdentity id = identity_at(m, ++m.log.queries);
    send_reply(m, reply_us, DEV_TARGET_INFO, devmodel_boot_info(m.config, id));
  } else if (c == '#' && payload.size() == 1) {
    send_reply(m, reply_us, m.last_target, {m.last_status});
    if (m.last_target != TARGET_NONE && m.last_target == m.config.faults.pull_after_record && !m.pull_spent) {
      m.pulled = true;
      m.back_at_us = m.config.faults.back_after_ms == 0
                         ? 0
                         : m.out_done_us + ms_to_us(m.config.faults.back_after_ms);
    }
  } else if (c == '!') {
    m.last_target = DEV_TARGET_START;
    m.last_status = payload.size() == DEV_START_COMMAND_BYTES ? status_for(m, DEV_TARGET_START)
                                                               : DEV_STATUS_REFUSED;
    m.flash_open = m.last_status == DEV_STATUS_OK;
    if (m.flash_open) {
      // A new start command begins a new flash.
      ++m.log.starts;
      m.log.start_command.assign(payload.begin(), payload.end());
      m.log.records.clear();
      m.record_number = 0;
    }
  } else if (c == '$') {
    ++m.log.record_packets;
    if (!m.flash_open) {
      m.last_target = TARGET_NONE;
      m.last_status = DEV_STATUS_REFUSED;
      return;
    }
    m.last_target = ++m.record_number;
    m.last_status = status_for(m, m.last_target);
    if (m.last_status != DEV_STATUS_OK) return;
    if (!m.log.records.empty() && std::equal(payload.begin(), payload.end(),
                                             m.log.records.back().begin(),
                                             m.log.records.back().end()))
      ++m.log.repeats;
    m.log.records.emplace_back(payload.begin(), payload.end());
  } else if (c == '%' && payload.size() == 1) {
    leave_bootloader(m, now_us);
  } else {
    m.last_target = TARGET_NONE;
    m.last_status = DEV_STATUS_REFUSED;
  }
}

void packet_done(DevModel& m, uint64_t now_us, uint32_t host_baud) {
  m.rx = DevModel::RX_IDLE;
  const DevFaults& f = m.config.faults;
  const std::span<const uint8_t> payload = m.rx_payload;
  if (sum8(payload) != m.rx_checksum) {
    // Mostly noise (an entry text at 115200, a query at the wrong speed); a NAK to it
    // could arrive after the host's drain and be taken for the answer to its next packet.
    ++m.log.garbage;
    if (naks_bad_packets(f)) emit(m, now_us + ms_to_us(m.config.timing.ack_delay_ms), {DEV_NAK}, DEV_BAUD_BOOT);
    return;
  }
  const bool leave = payload.size() == 1 && payload[0] == '%';
  if (m.rx_wrong && !f.answer_garbage && !leave) {
    // The leave command is exempt: the host changes speed 10 ms after it, so its bytes
    // may be read after the change.
    violation(m, now_us, "packet \"" + command_name(payload) + "\" at " +
                             std::to_string(host_baud) + " baud");
    return;
  }
  ++m.good_packets;
  if (payload.size() == 1 && payload[0] == '&' && ++m.info_queries >= f.boot_answers_from)
    m.boot_awake = true;
  m.log.commands.push_back(command_name(payload));
  if (!m.boot_awake) return;
  const uint64_t ack_us = now_us + ms_to_us(m.config.timing.ack_delay_ms);
  if (f.nak_packet > 0 && static_cast<uint32_t>(f.nak_packet) == m.good_packets) {
    emit(m, ack_us, {DEV_NAK}, DEV_BAUD_BOOT);
    return;
  }
  send_ack(m, ack_us);
  if (payload.empty()) {
    m.last_target = TARGET_NONE;
    m.last_status = DEV_STATUS_REFUSED;
    return;
  }
  run_command(m, payload, m.out_done_us + ms_to_us(m.config.timing.reply_delay_ms), now_us);
}

void boot_byte(DevModel& m, uint8_t b, bool wrong, uint32_t host_baud, uint64_t now_us) {
  if (m.rx != DevModel::RX_IDLE && now_us - m.rx_last_us > ms_to_us(DEV_PACKET_IDLE_MS)) {
    m.rx = DevModel::RX_IDLE;
    ++m.log.garbage;
  }
  m.rx_last_us = now_us;
  switch (m.rx) {
    case DevModel::RX_IDLE:
      if (m.expect_host_ack && (b == DEV_ACK || b == DEV_NAK)) {
        // The host acknowledges a reply; it may change speed right after, so the
        // speed this byte was read at proves nothing.
        ++(b == DEV_ACK ? m.log.host_acks : m.log.host_naks);
        m.expect_host_ack = false;
        return;
      }
      if (b == 0x00) {
        if (wrong) {
          if (!m.zero_run_flagged)
            violation(m, now_us, "zero bytes at " + std::to_string(host_baud) + " baud");
          m.zero_run_flagged = true;
        } else if (!m.in_zero_run) {
          m.log.commands.push_back("sync");
          m.in_zero_run = true;
        }
        return;
      }
      m.in_zero_run = false;
      m.zero_run_flagged = false;
      m.expect_host_ack = false;
      if (!m.config.faults.answer_garbage) {
        // A length byte of 1 announces 255 bytes, more than a packet can carry; at the
        // wrong speed only the leave command (length 3) is taken, see packet_done.
        if (b == 0x01 || (wrong && b != 0x03)) return;
      }
      m.rx_length = b;
      m.rx_wrong = wrong;
      m.rx_payload.clear();
      m.rx = DevModel::RX_CHECKSUM;
      return;
    case DevModel::RX_CHECKSUM:
      m.rx_checksum = b;
      m.rx_wrong = m.rx_wrong || wrong;
      if (static_cast<uint8_t>(m.rx_length - 2) == 0) packet_done(m, now_us, host_baud);
      else m.rx = DevModel::RX_PAYLOAD;
      return;
    case DevModel::RX_PAYLOAD:
      m.rx_payload.push_back(b);
      m.rx_wrong = m.rx_wrong || wrong;
      if (m.rx_payload.size() == static_cast<uint8_t>(m.rx_length - 2))
        packet_done(m, now_us, host_baud);
      return;
  }
}

}  // namespace

uint64_t devmodel_byte_us(uint32_t baud) {
  return baud == 0 ? 0 : (10'000'000 + baud - 1) / baud;
}

int devmodel_init(DevModel& model, const DevConfig& config) {
  model.config = config;
  model.log = DevLog{};
  model.identity = config.identity;
  model.out.clear();
  model.trace.reset();
  if (!config.trace_path.empty()) {
    model.trace.reset(std::fopen(config.trace_path.c_str(), "w"));
    if (!model.trace) return 1;
    std::fputs("# time from start, direction, side, speed, bytes in hex, |bytes as text|\n",
               model.trace.get());
  }
  if (config.faults.ber > 0) {
    // Each direction its own stream, so that one side's flips do not move the other's.
    std::seed_seq in{config.faults.seed, uint64_t{0}}, out{config.faults.seed, uint64_t{1}};
    model.noise_in_rng.seed(in);
    model.noise_out_rng.seed(out);
    model.noise_in_gap = noise_gap(model.noise_in_rng, config.faults.ber);
    model.noise_out_gap = noise_gap(model.noise_out_rng, config.faults.ber);
  }
  start_side(model, config.start_side);
  return 0;
}

void devmodel_feed(DevModel& model, std::span<const uint8_t> sent_bytes, uint32_t host_baud,
                   uint64_t now_us) {
  advance(model, now_us);
  // What the device hears, after the noisy line; the trace shows that.
  std::vector<uint8_t> bytes(sent_bytes.begin(), sent_bytes.end());
  const bool noisy = add_noise(model, true, bytes) > 0;
  trace_line(model, now_us, "host>dev", model.side == DEV_APP ? "app" : "boot", host_baud, bytes,
             model.pulled                                  ? "(lost: cable pulled)"
             : model.switching                             ? "(device restarting)"
             : host_baud != side_baud(model.side)          ? "(wrong speed)"
             : noisy                                       ? "(bits flipped on the way)"
                                                           : "");
  const uint64_t wire_us = devmodel_byte_us(host_baud);
  const uint64_t byte_us = model.config.timing.pacing ? wire_us : 0;
  DevLineLog& line = model.log.line;
  for (uint8_t b : bytes) {
    uint64_t at_us = now_us;
    if (byte_us != 0) {
      // A byte is in once its stop bit has passed.
      at_us = std::max(now_us, model.in_done_us) + byte_us;
      model.in_done_us = at_us;
    }
    ++line.received_bytes;
    line.received_us += wire_us;
    busy(line, at_us - byte_us, at_us - byte_us + wire_us, true);
    advance(model, at_us);
    if (model.pulled) {
      ++model.log.lost_bytes;
      continue;
    }
    ++model.log.bytes_heard;
    if (model.switching) continue;
    const bool wrong = host_baud != side_baud(model.side);
    if (model.side == DEV_APP) app_byte(model, b, wrong, host_baud, at_us);
    else boot_byte(model, b, wrong, host_baud, at_us);
  }
}

std::vector<DevOutput> devmodel_take_output(DevModel& model) {
  std::vector<DevOutput> taken;
  taken.swap(model.out);
  return taken;
}

void devmodel_runner_out(DevModel& model, const DevOutput& output, const char* note) {
  trace_line(model, output.at_us, "dev>host", "", output.baud, output.bytes, note);
  sent(model.log.line, output.at_us, output.bytes.size(), output.baud);
}

void devmodel_handed_over(DevModel& model, size_t span, uint64_t due_us, uint64_t at_us,
                          uint64_t released_us) {
  DevLineLog& line = model.log.line;
  if (span >= line.busy.size()) return;
  const uint64_t from_us = std::max(due_us, released_us);
  line.late_us.push_back(at_us > from_us ? at_us - from_us : 0);
  line.busy[span].handed_us = at_us;
}

DevLineReport devmodel_line_report(const DevLineLog& line) {
  std::vector<DevBusy> spans = line.busy;
  std::stable_sort(spans.begin(), spans.end(),
                   [](const DevBusy& a, const DevBusy& b) { return a.from_us < b.from_us; });
  DevLineReport report;
  uint64_t free_us = spans.empty() ? 0 : spans.front().from_us;  // the wire is silent from here
  uint64_t ready_us = 0;  // the host has had everything the device sent so far
  const DevBusy* before = nullptr;
  for (const DevBusy& span : spans) {
    if (span.from_us > free_us) {
      const uint64_t idle = span.from_us - free_us;
      // Silence while the device's bytes had not reached the host yet is the device's.
      const uint64_t device =
          span.host ? std::min(idle, ready_us > free_us ? ready_us - free_us : 0) : idle;
      report.device_wait_us += device;
      report.host_wait_us += idle - device;
    }
    // The host answering the device; not when it spoke up while the device still sent.
    if (span.host && before != nullptr && !before->host && span.from_us >= before->to_us)
      report.turns.push_back(
          {std::min(span.from_us, std::max(before->to_us, before->handed_us)), span.from_us});
    free_us = std::max(free_us, span.to_us);
    if (!span.host) ready_us = std::max({ready_us, span.to_us, span.handed_us});
    before = &span;
  }
  return report;
}

uint64_t devmodel_percentile(std::vector<uint64_t> values, unsigned percent) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = (values.size() * percent + 99) / 100;  // ceil(n * p / 100), 1-based
  return values[std::max<size_t>(rank, 1) - 1];
}

std::string devmodel_version_text(uint32_t version) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%u.%02u", version >> 24, (version >> 16) & 0xFF);
  const uint32_t third = (version >> 8) & 0xFF;
  const uint32_t letter = version & 0xFF;
  if (third != 0) n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%02u", third);
  // Letter values past "z" have no character; such a version is reported without one.
  if (letter >= 1 && letter <= 26) text[n++] = static_cast<char>('a' + letter - 1);
  text[n] = '\0';
  return text;
}

std::string devmodel_report(const DevIdentity& id, bool long_report) {
  std::string text = "=V \"" + id.name + "\" " + devmodel_version_text(id.version);
  std::string comment = id.comment;
  if (long_report) {
    // Well past the 99 characters a host reads of one message.
    const size_t want = 120;
    if (text.size() + comment.size() + 2 < want) comment.append(want - text.size() - 2, 'x');
  }
  if (!comment.empty()) text += "(" + comment + ")";
  if (id.identity_group) {
    char group[48];
    std::snprintf(group, sizeof group, ",%u,%u,%X", id.product, id.pcb_revision, id.extra);
    text += group;
  }
  return "^" + text + "$";
}

std::vector<uint8_t> devmodel_boot_info(const DevConfig& config, const DevIdentity& id) {
  std::vector<uint8_t> info;
  if (config.legacy_info) {
    // Old layout: format word 0, version at 8, a 33-byte name at 12; no product.
    info.assign(45, 0);
    put_le32(info, 8, id.version);
    std::copy_n(id.name.begin(), std::min<size_t>(id.name.size(), 33), info.begin() + 12);
  } else {
    info.assign(64, 0);
    put_le16(info, 0, config.format_word);
    put_le16(info, 2, id.product);
    put_le16(info, 6, id.pcb_revision);
    // Bytes a host does not read carry a pattern, so that reading the wrong field shows.
    std::fill(info.begin() + 8, info.begin() + 28, 0xA5);
    put_le32(info, 28, id.version);
    std::copy_n(id.name.begin(), std::min<size_t>(id.name.size(), 32), info.begin() + 32);
  }
  if (config.faults.info_bytes != 0) info.resize(config.faults.info_bytes, 0);
  return info;
}

std::vector<uint8_t> devmodel_packet(std::span<const uint8_t> payload) {
  std::vector<uint8_t> packet(payload.size() + 2);
  packet[0] = static_cast<uint8_t>(payload.size() + 2);
  packet[1] = sum8(payload);
  std::copy(payload.begin(), payload.end(), packet.begin() + 2);
  return packet;
}
