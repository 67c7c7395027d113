// A simulated device for the far end of the serial line: its application (ASCII messages
// at 19200) and its bootloader (checksummed packets at 115200), with a flash model, faults
// to switch on, optional line-rate pacing and a byte trace.
//
// The model is a state machine: it is fed the bytes the host wrote (with the time and the
// speed the host's end was set to) and schedules the bytes it sends back, each chunk with
// the time it is due. It never waits and never reads a clock; the runners (the in-memory
// line of the unit tests, the pty server) own time.
//
// It is written from the device's side on purpose and shares no code with the host's
// protocol layers: a bug shared by both would pass every test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "devimage.h"

inline constexpr uint32_t DEV_BAUD_APP = 19200;
inline constexpr uint32_t DEV_BAUD_BOOT = 115200;
inline constexpr uint8_t DEV_ACK = 0xCC;
inline constexpr uint8_t DEV_NAK = 0x33;
inline constexpr uint8_t DEV_STATUS_OK = '@';
inline constexpr uint8_t DEV_STATUS_MISMATCH = 'D';
// Any other status byte means "failed"; the model uses this one for commands it refuses.
inline constexpr uint8_t DEV_STATUS_REFUSED = 'E';
inline constexpr uint32_t DEV_MAX_PAYLOAD = 253;
inline constexpr uint32_t DEV_START_COMMAND_BYTES = 16;
// A half-received packet is forgotten after this much silence, as a UART receiver would.
inline constexpr uint32_t DEV_PACKET_IDLE_MS = 1000;
// An application message longer than this is noise, not a message.
inline constexpr size_t DEV_MESSAGE_MAX = 100;

enum DevSide { DEV_APP, DEV_BOOT };

// Which reply a per-reply fault applies to.
inline constexpr int DEV_TARGET_INFO = -1;  // the reply to "&"
inline constexpr int DEV_TARGET_START = 0;  // the status of the start command
// N >= 1: the status of record N (counted from the last start command).

struct DevIdentity {
  std::string name;             // the device's own name; may be empty
  uint16_t product = 68;
  uint16_t pcb_revision = 6;
  uint32_t extra = 0;           // third number of the report's comma group, sent in hex
  bool identity_group = true;   // the report carries ",product,revision,extra"
  uint32_t version = 0x010D0000;
  std::string comment;          // "(comment)" after the version; none when empty
};

struct DevUnsolicited {
  uint32_t at_ms = 0;           // after the device started
  std::string bytes;            // sent raw, framing included
};

// A reply altered on the way: payload byte `offset` XORed with `mask`, while the checksum
// byte stays the one the device computed (a line that flipped bits).
struct DevFlip {
  int target = DEV_TARGET_INFO;
  uint32_t offset = 0;
  uint8_t mask = 0;
};

struct DevFaults {
  bool app_silent = false;      // the application hears but never sends
  bool device_silent = false;   // nothing is ever sent
  int boot_answers_from = 1;    // the bootloader ignores everything until the K-th "&"
  int nak_packet = 0;           // answer the N-th good packet (1-based) with NAK; 0 none
  std::map<int, uint8_t> status;  // reply target -> status byte
  std::vector<int> empty_status;  // targets answered by a status packet with no payload
  std::vector<int> bad_checksum;  // targets whose reply carries a wrong checksum
  std::vector<int> huge_reply;    // targets answered with length byte 1 (255 bytes)
  std::vector<DevFlip> flips;     // replies whose payload changes on the way
  uint32_t info_bytes = 0;      // BootInfo payload size; 0 = the layout's own
  int pull_after_record = -1;   // cable pulled once this target's status is sent; -1 never
  uint32_t back_after_ms = 0;   // cable back this long after the pull; 0 never (a cable
                                // that came back is not pulled again)
  int pull_at_query = 0;        // cable pulled for good at this identity query; 0 never
  std::string stray;            // raw bytes before every version report
  std::string after_report;     // raw bytes right after every version report
  int empty_before = 0;         // "^$" messages before every version report
  int plus_before = 0;          // "^+$" messages before every version report
  std::vector<DevUnsolicited> unsolicited;
  uint32_t zero_flood = 0;      // zero bytes sent before an acknowledgement
  uint32_t zero_flood_gap_ms = 0;
  int zero_flood_packet = 0;    // only before the ACK of this good packet; 0 every ACK
  bool long_report = false;     // the report runs past 99 characters
  // From this identity query on ("^V$" or "&", counted together, 1-based) the device
  // answers with the changed fields; 0 never.
  int change_from_query = 0;
  std::optional<uint16_t> change_product;
  std::optional<uint16_t> change_revision;
  std::optional<uint32_t> change_version;
  std::optional<std::string> change_name;
  // Answer noise: NAK packets with a bad checksum, take packets whatever speed they came
  // at. Off by default: on a pty such answers can outlive the host's drain.
  bool answer_garbage = false;
  // A noisy line: every data bit of every byte, both ways, flips with this probability
  // (0: a clean line), reproducibly for a seed. The device then NAKs and drops a packet
  // whose checksum fails, as a real one would.
  double ber = 0;
  uint64_t seed = 1;
};

struct DevTiming {
  uint32_t ack_delay_ms = 0;     // packet -> ACK
  uint32_t reply_delay_ms = 0;   // ACK -> reply packet
  uint32_t report_delay_ms = 0;  // "^V$" -> version report
  uint32_t boot_ready_ms = 100;  // "^BOOTL$" -> bootloader listening at 115200
  uint32_t app_start_ms = 100;   // "%" -> application running and sending its report
  bool pacing = false;           // every byte costs 10 bits at the line's speed
  // The pty server only: a USB adapter that holds device-to-host bytes until a packet's
  // worth has gathered or this many ms have passed since they were ready; 0 none.
  uint32_t latency_timer_ms = 0;
  uint32_t read_delay_ms = 0;    // the pty server takes the host's bytes off the line this late
};

struct DevConfig {
  DevIdentity identity;
  DevSide start_side = DEV_APP;
  bool legacy_info = false;      // BootInfo in the old layout (format word 0)
  uint16_t format_word = 0x0800;
  DevFaults faults;
  DevTiming timing;
  std::string trace_path;        // empty: no trace
  // When set, a flash that matches this image makes the restarted application report
  // the image's version.
  std::shared_ptr<const DevImage> image;
};

// Bytes the device sends, due at at_us (microseconds on the runner's clock).
struct DevOutput {
  uint64_t at_us = 0;
  uint32_t baud = 0;             // the speed the device sends them at
  std::vector<uint8_t> bytes;
  size_t span = SIZE_MAX;        // its stretch in the line's log; SIZE_MAX: none
};

// A stretch of time the wire carried bytes, and who sent them.
struct DevBusy {
  uint64_t from_us = 0;
  uint64_t to_us = 0;
  bool host = false;
  uint64_t handed_us = 0;        // the device's bytes reached the host; 0: at to_us
};

// The wire as the model times it (10 bits a byte; with pacing the times are the real ones).
struct DevLineLog {
  uint64_t sent_bytes = 0;
  uint64_t received_bytes = 0;
  uint64_t sent_us = 0;          // wire time of the device's bytes
  uint64_t received_us = 0;      // wire time of the host's bytes
  std::vector<DevBusy> busy;     // in the order scheduled, a host burst as one stretch
  size_t last_host = SIZE_MAX;   // the host's latest stretch in busy, to extend
  // How late each chunk reached the host after it was due: the runner's own lag (its
  // wake-ups, an adapter's timer). The host cannot answer bytes it does not have yet.
  std::vector<uint64_t> late_us;
};

struct DevViolation {
  uint64_t at_us = 0;
  std::string what;
};

// What the device heard and did, for the tests that drive a host against it.
struct DevLog {
  // Commands in the order heard: application messages by their text ("V", "BOOTL"),
  // "sync" for each run of zero bytes at the bootloader, bootloader packets by their
  // command character ("&", "!", "$", "#", "%"), others as "?" and hex.
  std::vector<std::string> commands;
  std::vector<uint8_t> start_command;            // payload of the last "!"
  std::vector<std::vector<uint8_t>> records;     // accepted record packets since it
  uint32_t record_packets = 0;   // "$" packets heard, all flashes together
  uint32_t starts = 0;           // "!" packets accepted
  uint32_t repeats = 0;          // record packets identical to the one accepted before
  uint32_t queries = 0;          // identity queries answered
  uint32_t host_acks = 0;        // ACK/NAK bytes the host sent after the device's replies
  uint32_t host_naks = 0;
  uint32_t garbage = 0;          // packets dropped for a bad checksum or noise
  uint64_t flipped_in = 0;       // bits the noisy line flipped on the way to the device
  uint64_t flipped_out = 0;      // and on the way to the host
  uint32_t lost_bytes = 0;       // bytes that reached a pulled cable
  uint64_t bytes_heard = 0;      // host bytes that reached the device (cable in)
  uint32_t stray_bytes = 0;      // bytes the application heard outside any message
  bool bootl = false;            // "^BOOTL$" was heard
  std::vector<DevViolation> violations;  // bytes the host sent at the wrong speed
  DevLineLog line;
};

// One exchange: the device's last byte was out at device_done_us, the host's next byte
// began at host_from_us.
struct DevTurn {
  uint64_t device_done_us = 0;
  uint64_t host_from_us = 0;
};

// Where the time between the first and the last byte on the line went. A silent stretch
// counts as waiting for whoever sent next.
struct DevLineReport {
  uint64_t host_wait_us = 0;
  uint64_t device_wait_us = 0;
  std::vector<DevTurn> turns;    // every time the host spoke after the device
};

struct DevModel {
  DevConfig config;
  DevLog log;
  DevSide side = DEV_APP;
  DevIdentity identity;          // what the firmware reports now (flash may change it)

  // Side changes that take time: entering the bootloader, restarting the application.
  bool switching = false;
  DevSide switch_to = DEV_APP;
  uint64_t switch_at_us = 0;

  // Application receiver.
  bool app_in_message = false;
  bool app_message_wrong = false;
  std::string app_message;

  // Bootloader receiver.
  enum RxState { RX_IDLE, RX_CHECKSUM, RX_PAYLOAD } rx = RX_IDLE;
  uint8_t rx_length = 0;
  uint8_t rx_checksum = 0;
  bool rx_wrong = false;
  std::vector<uint8_t> rx_payload;
  uint64_t rx_last_us = 0;
  bool in_zero_run = false;
  bool zero_run_flagged = false;
  bool expect_host_ack = false;
  int info_queries = 0;          // "&" heard since the bootloader started
  bool boot_awake = true;        // answering (see DevFaults::boot_answers_from)
  uint32_t good_packets = 0;
  uint8_t last_status = DEV_STATUS_OK;
  int last_target = DEV_TARGET_START;
  bool flash_open = false;       // a start command was accepted
  int record_number = 0;

  // Cable.
  bool pulled = false;
  bool pull_spent = false;       // the cable came back: that fault has had its turn
  uint64_t back_at_us = 0;       // 0: not coming back

  // Time bookkeeping.
  uint64_t in_done_us = 0;       // pacing: when the last host byte finished arriving
  uint64_t out_done_us = 0;      // when the last device chunk is due (paced: its stop bits passed)

  // The noisy line, one generator each way: bits left until the next flip.
  std::mt19937_64 noise_in_rng, noise_out_rng;
  uint64_t noise_in_gap = 0, noise_out_gap = 0;

  std::vector<DevOutput> out;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace{nullptr, &std::fclose};
};

// 0 ready; 1 the trace file cannot be written.
[[nodiscard]] int devmodel_init(DevModel& model, const DevConfig& config);
// Bytes the host wrote at now_us with its end of the line at host_baud.
void devmodel_feed(DevModel& model, std::span<const uint8_t> bytes, uint32_t host_baud,
                   uint64_t now_us);
// Everything scheduled since the last call, in the order it goes on the line.
std::vector<DevOutput> devmodel_take_output(DevModel& model);
// Bytes the runner sends on the device's behalf (unsolicited ones): traced and timed.
void devmodel_runner_out(DevModel& model, const DevOutput& output, const char* note);
// The runner handed an output (its span and due time) to the host at at_us: a late one
// holds the line, as the device's, until then. An adapter that held it until released_us
// (--latency-timer) is part of the modelled line: the runner's own lag counts from then.
void devmodel_handed_over(DevModel& model, size_t span, uint64_t due_us, uint64_t at_us,
                          uint64_t released_us = 0);
DevLineReport devmodel_line_report(const DevLineLog& line);
// The nearest-rank percentile (1..100) of the values; 0 when there are none.
uint64_t devmodel_percentile(std::vector<uint64_t> values, unsigned percent);

// The version report as the application sends it, "^" and "$" included.
std::string devmodel_report(const DevIdentity& identity, bool long_report);
// "1.14", "2.05.01b": the version as a report writes it.
std::string devmodel_version_text(uint32_t version);
// The payload of the reply to "&".
std::vector<uint8_t> devmodel_boot_info(const DevConfig& config, const DevIdentity& identity);
// A packet on the wire: length, checksum, payload.
std::vector<uint8_t> devmodel_packet(std::span<const uint8_t> payload);
// Wire time of one byte (start, 8 data, stop bits) at baud, in microseconds.
uint64_t devmodel_byte_us(uint32_t baud);
