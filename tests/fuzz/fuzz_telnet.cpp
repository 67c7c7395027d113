// What a network serial server sends: Telnet negotiation, com-port answers and the device's
// data, from a server that may be broken or hostile. The session must give the same data,
// replies and state however the bytes are cut, never more data than it was sent, a reply no
// longer than the commands that asked for it, and the data it escaped back unchanged.
#include <algorithm>
#include <string>

#include "fuzz_line.h"
#include "serial/rfc2217.h"

namespace {

struct Heard {
  Bytes data;
  Bytes reply;
  bool ready = false;
  bool refused = false;
  std::vector<std::pair<uint32_t, Bytes>> answers;

  bool operator==(const Heard&) const = default;
};

constexpr ComCommand COMMANDS[] = {ComCommand::SET_BAUDRATE, ComCommand::SET_DATASIZE, ComCommand::SET_PARITY,
                                   ComCommand::SET_STOPSIZE, ComCommand::PURGE_DATA};

// The stream fed in pieces ending at the given offsets.
Heard hear(Piece stream, std::vector<size_t> cuts) {
  TelnetSession session;
  Heard heard;
  cuts.push_back(stream.size());
  size_t from = 0;
  for (size_t cut : cuts) {
    cut = std::clamp(cut, from, stream.size());
    session.receive(stream.data() + from, cut - from, heard.data, heard.reply);
    from = cut;
  }
  heard.ready = session.ready();
  heard.refused = session.refused();
  for (const ComCommand command : COMMANDS) heard.answers.emplace_back(session.answers(command), session.answer(command));
  return heard;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Piece stream(data, size);
  const Heard whole = hear(stream, {});
  // Cut anywhere, once or twice: a command split across reads is the same command.
  const size_t a = size > 0 ? data[0] % (size + 1) : 0;
  const size_t b = size > 1 ? std::max<size_t>(a, data[1] % (size + 1)) : a;
  FUZZ_CHECK(hear(stream, {a}) == whole);
  FUZZ_CHECK(hear(stream, {a, b}) == whole);
  Heard bytewise = hear(stream, [size] {
    std::vector<size_t> every(size);
    for (size_t i = 0; i < size; ++i) every[i] = i;
    return every;
  }());
  FUZZ_CHECK(bytewise == whole);

  FUZZ_CHECK(whole.data.size() <= size);
  // Each answer is three bytes, to a command of at least three.
  FUZZ_CHECK(whole.reply.size() <= size);
  FUZZ_CHECK(whole.reply.size() % 3 == 0);
  for (size_t i = 0; i < whole.reply.size(); i += 3) {
    FUZZ_CHECK(whole.reply[i] == telnet::IAC);
    FUZZ_CHECK(whole.reply[i + 1] >= telnet::WILL);
  }
  const size_t ends = static_cast<size_t>(std::count(data, data + size, telnet::SE));
  for (const auto& [count, value] : whole.answers) {
    FUZZ_CHECK(count <= ends);
    FUZZ_CHECK(value.size() <= size);
  }

  // The device's bytes, escaped as the client sends its own, come through unchanged and ask
  // for nothing; so does a com-port answer carrying them as its value.
  Bytes escaped;
  TelnetSession::escape(data, size, escaped);
  const Heard echoed = hear(escaped, {a});
  FUZZ_CHECK(echoed.data == Bytes(data, data + size));
  FUZZ_CHECK(echoed.reply.empty());
  const Bytes value(data, data + std::min<size_t>(size, 8));
  Bytes answer = TelnetSession::command(ComCommand::SET_BAUDRATE, value);
  answer[3] = static_cast<uint8_t>(answer[3] + COM_SERVER_OFFSET);
  const Heard answered = hear(answer, {a});
  FUZZ_CHECK(answered.data.empty());
  FUZZ_CHECK(answered.answers[0].first == 1);
  FUZZ_CHECK(answered.answers[0].second == value);
  return 0;
}
