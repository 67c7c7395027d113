#include "serial/rfc2217.h"

namespace korvo {

using namespace telnet;

std::vector<uint8_t> TelnetSession::start() {
  local_[OPT_BINARY] = Option::WANT_YES;
  local_[OPT_COM_PORT] = Option::WANT_YES;
  remote_[OPT_BINARY] = Option::WANT_YES;
  return {IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, WILL, OPT_COM_PORT};
}

bool TelnetSession::we_want_local(uint8_t option) { return option == OPT_BINARY || option == OPT_COM_PORT; }
bool TelnetSession::we_want_remote(uint8_t option) { return option == OPT_BINARY || option == OPT_SGA; }

bool TelnetSession::ready() const {
  return local_[OPT_BINARY] == Option::YES && local_[OPT_COM_PORT] == Option::YES &&
         remote_[OPT_BINARY] == Option::YES;
}

bool TelnetSession::refused() const { return local_refused_ || remote_refused_; }

// Each side of each option answered once per change, as RFC 1143 has it, so that two programs
// never bounce an option back and forth.
void TelnetSession::negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply) {
  const auto answer = [&reply, option](uint8_t word) { reply.insert(reply.end(), {IAC, word, option}); };
  switch (verb) {
    case WILL:
      if (remote_[option] == Option::YES) return;
      if (!we_want_remote(option)) {
        answer(DONT);
        return;
      }
      if (remote_[option] == Option::NO) answer(DO);
      remote_[option] = Option::YES;
      return;
    case WONT:
      if (remote_[option] == Option::YES) answer(DONT);
      if (remote_[option] != Option::NO && option == OPT_BINARY) remote_refused_ = true;
      remote_[option] = Option::NO;
      return;
    case DO:
      if (local_[option] == Option::YES) return;
      if (!we_want_local(option)) {
        answer(WONT);
        return;
      }
      if (local_[option] == Option::NO) answer(WILL);
      local_[option] = Option::YES;
      return;
    case DONT:
      if (local_[option] == Option::YES) answer(WONT);
      if (local_[option] != Option::NO && we_want_local(option)) local_refused_ = true;
      local_[option] = Option::NO;
      return;
    default:
      return;
  }
}

// A com-port answer: its command number plus 100, then the value.
void TelnetSession::subnegotiation() {
  if (sb_.size() < 2 || sb_[0] != OPT_COM_PORT || sb_[1] < COM_SERVER_OFFSET) return;
  const size_t command = sb_[1] - COM_SERVER_OFFSET;
  if (command >= COMMANDS) return;  // line and modem state notices: korvo uses neither
  ++answers_[command];
  values_[command].assign(sb_.begin() + 2, sb_.end());
}

void TelnetSession::receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data,
                            std::vector<uint8_t>& reply) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    switch (state_) {
      case State::DATA:
        if (b == IAC) {
          state_ = State::IAC;
        } else {
          data.push_back(b);
        }
        break;
      case State::IAC:
        if (b == IAC) {
          data.push_back(b);
          state_ = State::DATA;
        } else if (b == WILL || b == WONT || b == DO || b == DONT) {
          verb_ = b;
          state_ = State::VERB;
        } else if (b == SB) {
          sb_.clear();
          state_ = State::SB;
        } else {
          state_ = State::DATA;  // NOP, data mark, go-ahead and the like: nothing to do
        }
        break;
      case State::VERB:
        negotiate(verb_, b, reply);
        state_ = State::DATA;
        break;
      case State::SB:
        if (b == IAC) {
          state_ = State::SB_IAC;
        } else if (sb_.size() < SB_LIMIT) {
          sb_.push_back(b);
        }
        break;
      case State::SB_IAC:
        if (b == SE) {
          subnegotiation();
          state_ = State::DATA;
        } else {
          // IAC IAC is a 0xFF of the value; anything else ends a malformed subnegotiation.
          if (b == IAC && sb_.size() < SB_LIMIT) sb_.push_back(b);
          state_ = b == IAC ? State::SB : State::DATA;
        }
        break;
    }
  }
}

void TelnetSession::escape(const uint8_t* data, size_t count, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < count; ++i) {
    out.push_back(data[i]);
    if (data[i] == IAC) out.push_back(IAC);
  }
}

std::vector<uint8_t> TelnetSession::command(ComCommand command, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> out{IAC, SB, OPT_COM_PORT, static_cast<uint8_t>(command)};
  escape(value.data(), value.size(), out);
  out.insert(out.end(), {IAC, SE});
  return out;
}

std::vector<uint8_t> TelnetSession::baud_value(uint32_t baud) {
  return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
          static_cast<uint8_t>(baud)};
}

}  // namespace korvo
