#include "serial/net_address.h"

#include <algorithm>

namespace korvo {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

bool starts_with_lower(const std::string& word, const std::string& prefix) {
  return word.size() >= prefix.size() && lower(word.substr(0, prefix.size())) == prefix;
}

// 1..65535, digits only.
bool port_number(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// A host name or address as the resolver takes it: no spaces, slashes or other separators
// that would mean the user wrote a path or a second field.
bool plain_host(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
  });
}

bool ipv6_text(const std::string& host) {
  return !host.empty() && host.find(':') != std::string::npos && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
  });
}

NetParse bad(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return NetParse::BAD;
}

}  // namespace

NetParse net_address_parse(const std::string& word, NetAddress& address, std::string* why) {
  NetScheme scheme = NetScheme::RFC2217;
  size_t rest_at = 0;
  if (starts_with_lower(word, "rfc2217://")) {
    rest_at = 10;
  } else if (starts_with_lower(word, "tcp://")) {
    scheme = NetScheme::TCP;
    rest_at = 6;
  } else {
    return NetParse::NOT_NETWORK;
  }
  std::string rest = word.substr(rest_at);
  // A trailing slash is what a browser-style URL often has; nothing may follow it.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host;
  std::string port_text;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return bad(why, "an IPv6 address needs its closing bracket");
    host = rest.substr(1, close - 1);
    if (!ipv6_text(host)) return bad(why, "not an IPv6 address between the brackets");
    if (close + 1 >= rest.size() || rest[close + 1] != ':') return bad(why, "no :PORT after the host");
    port_text = rest.substr(close + 2);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return bad(why, "no :PORT after the host");
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    if (host.find(':') != std::string::npos) return bad(why, "an IPv6 address goes in brackets: [addr]:port");
    if (!plain_host(host)) return bad(why, "no host name or address before :PORT");
  }
  uint16_t port = 0;
  if (!port_number(port_text, port)) return bad(why, "the port is no number 1 to 65535");
  address.scheme = scheme;
  address.host = host;
  address.port = port;
  address.text = word;
  return NetParse::OK;
}

std::string net_address_identity(const NetAddress& address) {
  std::string identity(1, '[');
  identity += lower(address.host);
  identity += "]:";
  identity += std::to_string(address.port);
  return identity;
}

}  // namespace korvo
