// The bootloader's information reply and the probe. Byte 0 picks the speed the probe starts
// at (odd: 115200); the rest, cut at "~~", answers the host's waits: first of one information
// query, then of the probe.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "discovery/probe.h"
#include "fuzz_line.h"
#include "protocol/packet.h"

namespace {

// The two layouts of a reply, on a record that was all zero: the normal one is kept as it
// came, bar the last byte; the legacy one (format word 0, version at 8, a 33-byte name at 12)
// is moved to the normal offsets.
void check_layout(const BootInfo& info, const Bytes& payload) {
  const bool legacy =
      (payload.size() < 1 || payload[0] == 0) && (payload.size() < 2 || payload[1] == 0);
  FUZZ_CHECK(info[BOOT_INFO_BYTES - 1] == 0 || (legacy && payload.size() >= 45));
  if (!legacy) {
    const size_t kept = std::min<size_t>(payload.size(), BOOT_INFO_BYTES - 1);
    FUZZ_CHECK(std::equal(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(kept), payload.begin()));
    return;
  }
  FUZZ_CHECK(read_le16(info, BOOT_INFO_FORMAT) == BOOT_INFO_NORMALISED);
  FUZZ_CHECK(read_le16(info, BOOT_INFO_PRODUCT) == 56 && read_le16(info, BOOT_INFO_REVISION) == 1);
  FUZZ_CHECK(std::all_of(&info[8], &info[BOOT_INFO_VERSION], [](uint8_t b) { return b == 0; }));
  if (payload.size() >= 45) {
    FUZZ_CHECK(std::equal(&info[BOOT_INFO_VERSION], info.end(), payload.begin() + 8));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t start_baud = (data[0] & 1) != 0 ? BAUD_BOOTLOADER : BAUD_APPLICATION;
  VirtualClock clock;
  FuzzLine line(clock, fuzz_split(Piece(data + 1, size - 1)));
  Link link{SerialPort{&line}, BAUD_BOOTLOADER, &clock};
  FUZZ_CHECK(port_open(link.port, 1, BAUD_BOOTLOADER));

  BootInfo info{};
  const BootQueryResult q = boot_query_info(link, info);
  uint8_t checksum = 0;
  Bytes payload;
  if (q == BootQueryResult::OK) {
    // The query's ACK and one whole reply with a matching checksum.
    const Bytes read = line.bytes_read();
    FUZZ_CHECK(whole_packet(read, past_ack(read, 0), checksum, payload));
    FUZZ_CHECK(packet_checksum(payload.data(), static_cast<uint8_t>(payload.size())) == checksum);
    check_layout(info, payload);
  } else {
    // Nothing of a failed reply stays: the record is as the query's clearing left it.
    BootInfo cleared{};
    FUZZ_CHECK(info == cleared);
  }

  FUZZ_CHECK(link_set_speed(link, start_baud));
  DeviceInfo known;
  const Probe probe = device_probe(link, info, known);
  FUZZ_CHECK(probe.result == ProbeResult::FOUND || probe.result == ProbeResult::SILENT);
  const uint32_t speed = probe.state == ProbeState::BOOTLOADER ? BAUD_BOOTLOADER : BAUD_APPLICATION;
  FUZZ_CHECK((probe.result == ProbeResult::FOUND) == (probe.state != ProbeState::NONE));
  FUZZ_CHECK(link.current_baud == speed && line.baud() == speed);
  FUZZ_CHECK(probe.device.name[DEVICE_NAME_BYTES] == '\0');
  FUZZ_CHECK(std::strlen(device_model_text(probe.device)) <= DEVICE_NAME_BYTES);
  // The text goes at 19200 and the bootloader's bytes at 115200.
  for (const LineEvent& e : line.events) {
    if (e.kind != LineEvent::WRITE) continue;
    if (e.bytes[0] == '^') FUZZ_CHECK(e.baud == BAUD_APPLICATION);
    if (e.bytes.size() > 1 && e.bytes[0] == 0x00) FUZZ_CHECK(e.baud == BAUD_BOOTLOADER);
  }
  // Each step gives up after one unanswered wait: the query's 2000 ms (two reads, as a wait of
  // exactly the limit has not passed it), the report's 500 ms, the probe's query.
  FUZZ_CHECK(clock.now <= line.wait_budget(5));
  return 0;
}
