// Ports behind a network serial server, named as URLs: rfc2217://HOST:PORT (the server's
// Telnet com-port control, which carries speed changes) and tcp://HOST:PORT (raw bytes, the
// server's speed fixed in its own settings). An IPv6 host is written in brackets.
#pragma once

#include <cstdint>
#include <string>

namespace korvo {

enum class NetScheme { RFC2217 = 0, TCP = 1 };

struct NetAddress {
  NetScheme scheme = NetScheme::RFC2217;
  std::string host;   // without brackets
  uint16_t port = 0;
  std::string text;   // the word as the user gave it
};

enum class NetParse {
  NOT_NETWORK = 0,  // no URL of ours: the word keeps its usual reading
  OK = 1,
  BAD = 2,          // one of our schemes, but no host and port (why says what is wrong)
};

// Reads a port word. The scheme is matched without regard to case.
NetParse net_address_parse(const std::string& word, NetAddress& address, std::string* why = nullptr);

// Two names of one server port compare equal, whatever their scheme: the host without regard
// to case, and the port number. (Names of one host by different addresses are not found out.)
std::string net_address_identity(const NetAddress& address);

}  // namespace korvo
