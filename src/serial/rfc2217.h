// The Telnet side of a network serial server: option negotiation (8-bit binary both ways and
// the com-port control option), IAC doubling, and the com-port commands with the server's
// confirmations. Bytes in, bytes out: no sockets and no clock, so it runs on any byte stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvo {

namespace telnet {
inline constexpr uint8_t IAC = 255;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t SE = 240;
inline constexpr uint8_t OPT_BINARY = 0;
inline constexpr uint8_t OPT_SGA = 3;  // suppress go-ahead: harmless, accepted
inline constexpr uint8_t OPT_COM_PORT = 44;
}  // namespace telnet

// The client's com-port commands; the server answers each with its number plus 100.
enum class ComCommand : uint8_t {
  SET_BAUDRATE = 1,
  SET_DATASIZE = 2,
  SET_PARITY = 3,
  SET_STOPSIZE = 4,
  PURGE_DATA = 12,
};
inline constexpr uint8_t COM_SERVER_OFFSET = 100;
inline constexpr uint8_t COM_PARITY_NONE = 1;
inline constexpr uint8_t COM_STOPSIZE_ONE = 1;
inline constexpr uint8_t COM_PURGE_RECEIVED = 1;  // the server's buffer of bytes from the device

class TelnetSession {
 public:
  // What the client says first: it will send binary and wants binary back, and it will use
  // the com-port option.
  std::vector<uint8_t> start();
  // Takes received bytes: the device's data is appended to `data` (IAC IAC as one 0xFF), the
  // answers negotiation calls for to `reply`, which the caller sends. Commands may be split
  // anywhere between calls.
  void receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data, std::vector<uint8_t>& reply);
  // Data for the server, every 0xFF doubled.
  static void escape(const uint8_t* data, size_t count, std::vector<uint8_t>& out);
  // A com-port command with its value (escaped).
  static std::vector<uint8_t> command(ComCommand command, const std::vector<uint8_t>& value);
  static std::vector<uint8_t> baud_value(uint32_t baud);

  // Both directions binary and the com-port option taken: the line can be configured.
  bool ready() const;
  // The server refused something ready() needs: waiting longer is pointless.
  bool refused() const;
  // How many answers to this command came so far, and the value of the last.
  uint32_t answers(ComCommand command) const { return answers_[index(command)]; }
  const std::vector<uint8_t>& answer(ComCommand command) const { return values_[index(command)]; }

 private:
  enum class Option : uint8_t { NO = 0, YES = 1, WANT_YES = 2 };
  enum class State : uint8_t { DATA, IAC, VERB, SB, SB_IAC };
  static constexpr size_t COMMANDS = 13;
  static constexpr size_t SB_LIMIT = 64;  // longer subnegotiations are none we use: cut
  static size_t index(ComCommand command) { return static_cast<size_t>(command); }
  static bool we_want_local(uint8_t option);
  static bool we_want_remote(uint8_t option);
  void negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply);
  void subnegotiation();

  std::array<Option, 256> local_{};   // what we do (WILL)
  std::array<Option, 256> remote_{};  // what the server does
  bool local_refused_ = false;
  bool remote_refused_ = false;
  State state_ = State::DATA;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sb_;
  std::array<uint32_t, COMMANDS> answers_{};
  std::array<std::vector<uint8_t>, COMMANDS> values_{};
};

}  // namespace korvo
