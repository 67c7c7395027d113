#include "driver/json_line.h"

#include <array>
#include <charconv>
#include <cstring>

namespace korvo {

namespace {

constexpr int DEPTH_LIMIT = 32;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

int hex(char c) {
  if (digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits of a \u escape at text[at], or -1.
long hex4(std::string_view text, size_t at) {
  if (at + 4 > text.size()) return -1;
  long n = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int h = hex(text[i]);
    if (h < 0) return -1;
    n = n * 16 + h;
  }
  return n;
}

// The length of the well-formed UTF-8 character at text[at] (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
size_t utf8_length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned lead = byte(at);
  const auto tail = [&](size_t i, unsigned low, unsigned high) { return byte(i) >= low && byte(i) <= high; };
  if (lead >= 0xC2 && lead <= 0xDF) return tail(at + 1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    return tail(at + 1, low, high) && tail(at + 2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    return tail(at + 1, low, high) && tail(at + 2, 0x80, 0xBF) && tail(at + 3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// Bytes that go on a run of plain string text: printable ASCII but the quote and the backslash.
constexpr std::array<bool, 256> PLAIN = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

void put_utf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

inline void JsonLine::blanks() {
  while (at_ < text_.size() && blank(text_[at_])) ++at_;
}

bool JsonLine::parse(std::string_view text) {
  // Offsets are kept in 32 bits; the record's lines are far shorter.
  if (text.size() >= UINT32_MAX) return false;
  text_ = text;
  at_ = 0;
  values_.clear();
  blanks();
  if (!value(0)) return false;
  blanks();
  return at_ == text_.size();
}


bool JsonLine::value(int depth) {
  if (at_ >= text_.size() || depth > DEPTH_LIMIT) return false;
  const size_t index = values_.size();
  values_.emplace_back();
  const auto word = [&](const char* w, Kind kind, bool flag) {
    const size_t n = std::strlen(w);
    if (text_.compare(at_, n, w) != 0) return false;
    at_ += n;
    values_[index].kind = kind;
    values_[index].flag = flag;
    return true;
  };
  const char c = text_[at_];
  if (c == '{' || c == '[') {
    const bool object = c == '{';
    values_[index].kind = object ? Kind::OBJECT : Kind::ARRAY;
    const char close = object ? '}' : ']';
    ++at_;
    blanks();
    if (at_ < text_.size() && text_[at_] == close) {
      ++at_;
      return true;
    }
    for (;;) {
      uint32_t key_begin = 0, key_end = 0;
      bool key_escaped = false;
      if (object) {
        if (at_ >= text_.size() || text_[at_] != '"' || !string(key_begin, key_end, key_escaped)) return false;
        blanks();
        if (at_ >= text_.size() || text_[at_] != ':') return false;
        ++at_;
        blanks();
      }
      const size_t member = values_.size();
      if (!value(depth + 1)) return false;
      values_[member].key_begin = key_begin;
      values_[member].key_end = key_end;
      values_[member].key_escaped = key_escaped;
      blanks();
      if (at_ >= text_.size()) return false;
      if (text_[at_] == close) {
        ++at_;
        break;
      }
      if (text_[at_] != ',') return false;
      ++at_;
      blanks();
    }
    values_[index].span = static_cast<uint32_t>(values_.size() - index);
    return true;
  }
  if (c == '"') {
    Value& v = values_[index];
    v.kind = Kind::STRING;
    return string(v.begin, v.end, v.escaped);
  }
  if (c == 't') return word("true", Kind::BOOLEAN, true);
  if (c == 'f') return word("false", Kind::BOOLEAN, false);
  if (c == 'n') return word("null", Kind::NUL, false);
  return number(values_[index]);
}

// At the opening quote; after it, the closing one passed.
bool JsonLine::string(uint32_t& begin, uint32_t& end, bool& escaped) {
  ++at_;
  begin = static_cast<uint32_t>(at_);
  escaped = false;
  while (at_ < text_.size()) {
    // Plain ASCII, nearly every byte, in a loop of its own.
    const char* data = text_.data();
    size_t at = at_;
    const size_t size = text_.size();
    while (at < size && PLAIN[static_cast<unsigned char>(data[at])]) ++at;
    at_ = at;
    if (at_ >= size) break;
    const auto c = static_cast<unsigned char>(text_[at_]);
    if (c == '"') {
      end = static_cast<uint32_t>(at_);
      ++at_;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      escaped = true;
      if (at_ + 1 >= text_.size()) return false;
      const char e = text_[at_ + 1];
      if (e == 'u') {
        const long code = hex4(text_, at_ + 2);
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        at_ += 6;
        if (code >= 0xD800 && code <= 0xDBFF) {
          // A high surrogate stands only before a low one.
          if (at_ + 1 >= text_.size() || text_[at_] != '\\' || text_[at_ + 1] != 'u') return false;
          const long low = hex4(text_, at_ + 2);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          at_ += 6;
        }
        continue;
      }
      if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') return false;
      at_ += 2;
      continue;
    }
    const size_t n = utf8_length(text_, at_);
    if (n == 0) return false;
    at_ += n;
  }
  return false;
}

bool JsonLine::number(Value& v) {
  const size_t start = at_;
  const bool minus = text_[at_] == '-';
  if (minus) ++at_;
  if (at_ >= text_.size() || !digit(text_[at_])) return false;
  if (text_[at_] == '0') {
    ++at_;
  } else {
    while (at_ < text_.size() && digit(text_[at_])) ++at_;
  }
  bool integer = true;
  if (at_ < text_.size() && text_[at_] == '.') {
    integer = false;
    ++at_;
    if (at_ >= text_.size() || !digit(text_[at_])) return false;
    while (at_ < text_.size() && digit(text_[at_])) ++at_;
  }
  if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
    integer = false;
    ++at_;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
    if (at_ >= text_.size() || !digit(text_[at_])) return false;
    while (at_ < text_.size() && digit(text_[at_])) ++at_;
  }
  const char* first = text_.data() + start;
  const char* last = text_.data() + at_;
  // Integers of up to 18 digits fit 64 bits whatever they are: summed here, longer ones left
  // to from_chars.
  if (integer && at_ - start - (minus ? 1 : 0) <= 18) {
    uint64_t n = 0;
    for (const char* d = first + (minus ? 1 : 0); d < last; ++d) n = n * 10 + static_cast<uint64_t>(*d - '0');
    if (minus) {
      v.kind = Kind::NEGATIVE;
      v.negative = -static_cast<int64_t>(n);
      v.real = static_cast<double>(v.negative);
    } else {
      v.kind = Kind::UNSIGNED;
      v.whole = n;
      v.real = static_cast<double>(n);
    }
    return true;
  }
  if (integer && !minus && std::from_chars(first, last, v.whole).ec == std::errc()) {
    v.kind = Kind::UNSIGNED;
    v.real = static_cast<double>(v.whole);
    return true;
  }
  if (integer && minus && std::from_chars(first, last, v.negative).ec == std::errc()) {
    v.kind = Kind::NEGATIVE;
    v.real = static_cast<double>(v.negative);
    return true;
  }
  // Past 64 bits, or a fraction or an exponent. A number too large for a double is refused.
  v.kind = Kind::REAL;
  return std::from_chars(first, last, v.real).ec == std::errc();
}

const JsonLine::Value* JsonLine::member(const Value& object, std::string_view key) const {
  if (object.kind != Kind::OBJECT) return nullptr;
  const Value* found = nullptr;
  const Value* end = &object + object.span;
  for (const Value* v = &object + 1; v < end; v += v->span) {
    if (v->key_escaped) {
      if (decode(v->key_begin, v->key_end, true) == key) found = v;
    } else if (v->key_end - v->key_begin == key.size() &&
               std::memcmp(text_.data() + v->key_begin, key.data(), key.size()) == 0) {
      found = v;
    }
  }
  return found;
}

void JsonLine::members(const Value& object, const std::string_view* names, size_t count, const Value** found) const {
  for (size_t i = 0; i < count; ++i) found[i] = nullptr;
  if (object.kind != Kind::OBJECT || count == 0) return;
  const Value* end = &object + object.span;
  size_t next = 0;  // the name after the one found last: where a name written in order is
  std::string decoded;
  for (const Value* v = &object + 1; v < end; v += v->span) {
    std::string_view key(text_.data() + v->key_begin, v->key_end - v->key_begin);
    if (v->key_escaped) {
      decoded = decode(v->key_begin, v->key_end, true);
      key = decoded;
    }
    for (size_t k = 0, i = next; k < count; ++k, i = i + 1 == count ? 0 : i + 1) {
      if (names[i] == key) {
        found[i] = v;
        next = i + 1 == count ? 0 : i + 1;
        break;
      }
    }
  }
}

std::string JsonLine::text(const Value& string) const { return decode(string.begin, string.end, string.escaped); }

void JsonLine::text(const Value& string, std::string& out) const {
  if (string.escaped) {
    out = decode(string.begin, string.end, true);
  } else {
    out.assign(text_.data() + string.begin, string.end - string.begin);
  }
}

std::string JsonLine::decode(uint32_t begin, uint32_t end, bool escaped) const {
  const std::string_view raw = text_.substr(begin, end - begin);
  if (!escaped) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] != '\\') {
      out += raw[i++];
      continue;
    }
    const char e = raw[i + 1];
    i += 2;
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        auto code = static_cast<unsigned long>(hex4(raw, i));
        i += 4;
        if (code >= 0xD800 && code <= 0xDBFF) {
          const auto low = static_cast<unsigned long>(hex4(raw, i + 2));
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        put_utf8(out, code);
        break;
      }
      default: out += e; break;  // '"', '\\', '/'
    }
  }
  return out;
}

}  // namespace korvo
