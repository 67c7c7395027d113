// A strict reader of one JSON text (RFC 8259), made for reading back the update record: a
// history of a million lines is read in seconds because nothing is allocated per value. The
// values land in one flat table whose strings point into the text, and are decoded only when
// asked for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvo {

class JsonLine {
 public:
  enum class Kind : uint8_t { NUL, BOOLEAN, UNSIGNED, NEGATIVE, REAL, STRING, ARRAY, OBJECT };

  struct Value {
    Kind kind = Kind::NUL;
    bool escaped = false;      // a string with backslash escapes (decoded by text())
    bool key_escaped = false;  // the same of the member's name
    bool flag = false;         // a BOOLEAN's value
    uint32_t key_begin = 0, key_end = 0;  // a member's name as written, between its quotes
    uint32_t begin = 0, end = 0;          // a string as written, between its quotes
    uint32_t span = 1;                    // this value and everything inside it, in values
    uint64_t whole = 0;                   // UNSIGNED
    int64_t negative = 0;                 // NEGATIVE
    double real = 0;                      // REAL, and every number as a double
  };

  // False when text is not exactly one JSON value with blanks around it: a stray byte, a
  // control byte or bad UTF-8 in a string, a lone surrogate escape, nesting deeper than 32.
  // Integers that fit 64 bits are UNSIGNED or NEGATIVE, other numbers REAL.
  bool parse(std::string_view text);

  const Value& root() const { return values_[0]; }
  // The member of an object named key (the last one when the name is there twice), or null.
  const Value* member(const Value& object, std::string_view key) const;
  // The members of an object named in names, each at its index in found: null when missing,
  // the last one when a name is there twice. One walk over the object, however many names;
  // names in the order the members are written are found at once.
  void members(const Value& object, const std::string_view* names, size_t count, const Value** found) const;
  // The values of an array (or of an object), in order.
  template <typename Visit>
  void each(const Value& container, Visit visit) const {
    const Value* end = &container + container.span;
    for (const Value* v = &container + 1; v < end; v += v->span) visit(*v);
  }
  // A string's text, its escapes decoded.
  std::string text(const Value& string) const;
  void text(const Value& string, std::string& out) const;

 private:
  bool value(int depth);
  bool string(uint32_t& begin, uint32_t& end, bool& escaped);
  bool number(Value& v);
  void blanks();
  std::string decode(uint32_t begin, uint32_t end, bool escaped) const;

  std::string_view text_;
  size_t at_ = 0;
  std::vector<Value> values_;
};

}  // namespace korvo
