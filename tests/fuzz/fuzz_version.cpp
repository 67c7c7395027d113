// The application's version report. The input is one message text for the parser and, cut at
// "~~", the line: the first piece is already waiting when the scan drains the port, the rest
// answer the host's waits, first of a query and then of a listen that meets what it left.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_line.h"
#include "protocol/app.h"

namespace {

// parse_u32 is strtoul with a 32-bit unsigned long: the 64-bit one, folded to 32 bits.
void check_parse_u32(const char* text, int base) {
  const char* end = nullptr;
  const uint32_t got = parse_u32(text, &end, base);
  char* wide_end = nullptr;
  errno = 0;
  const unsigned long long wide = std::strtoull(text, &wide_end, base);
  const bool range = errno == ERANGE;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  const unsigned long long magnitude = negative ? 0 - wide : wide;
  const uint32_t want = range || magnitude > 0xFFFFFFFFu ? 0xFFFFFFFFu
                        : negative                      ? static_cast<uint32_t>(0 - magnitude)
                                                        : static_cast<uint32_t>(magnitude);
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(end == wide_end);
}

void check_report(const DeviceInfo& info, AppResult result) {
  FUZZ_CHECK(static_cast<int>(result) >= 0 && static_cast<int>(result) <= 3);
  FUZZ_CHECK(std::memchr(info.name.data(), 0, 32) != nullptr);  // at most 31 characters
  if (result != AppResult::OK) return;
  if (info.name[0] != '\0') {
    FUZZ_CHECK(info.model == info.name.data());
  } else {
    FUZZ_CHECK(info.model == product_lookup(info.product, info.pcb_revision));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_parse_u32(text.c_str(), 10);
  check_parse_u32(text.c_str(), 16);
  DeviceInfo parsed;
  const AppResult parse = app_parse_version(parsed, text.c_str());
  check_report(parsed, parse);
  FUZZ_CHECK(parse != AppResult::OK || std::strchr(text.c_str(), '$') != nullptr);

  std::vector<Piece> pieces = fuzz_split(Piece(data, size));
  const Piece stray = pieces.front();
  pieces.erase(pieces.begin());
  VirtualClock clock;
  FuzzLine line(clock, pieces);
  Link link{SerialPort{&line}, BAUD_APPLICATION, &clock};
  FUZZ_CHECK(port_open(link.port, 1, BAUD_APPLICATION));
  line.device_send(stray, 0);
  port_drain(link.port);
  FUZZ_CHECK(line.pending() == 0);
  DeviceInfo asked;
  check_report(asked, app_query_version(link, asked, false));
  DeviceInfo heard;
  check_report(heard, app_query_version(link, heard, true));
  // Each query gives up at its first unanswered wait.
  FUZZ_CHECK(clock.now <= line.wait_budget(2));
  return 0;
}
