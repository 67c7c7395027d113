#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "driver/json_line.h"

using namespace korvo;

namespace {

// The record's reader takes exactly what a full JSON parser takes: the same texts pass, the
// same are refused.
TEST(JsonLine, AcceptsAndRefusesWhatAFullParserDoes) {
  const std::string texts[] = {
      // Values and blanks around them.
      "{}", "[]", " \t\r\n{ } ", "null", "true", "false", "0", "-0", "12", "-12", "1.5", "-1.5e-3", "1E+2",
      "\"\"", "[1,[2,[3]],{\"a\":{}}]", "{\"a\":1,\"a\":2}",
      // Numbers a loose reader would take.
      "01", "-", "+1", "1.", ".5", "1e", "1e+", "0x10", "- 1", "Infinity", "NaN",
      // Words cut short or run on.
      "tru", "nul", "falsey", "nulll",
      // Structure.
      "", "{", "[1,]", "[,1]", "{\"a\":1,}", "{\"a\" 1}", "{a:1}", "{\"a\":1}}", "{\"a\":1} x", "[1 2]", "{1:2}",
      // Strings: escapes, controls, UTF-8.
      "\"\\u00e9\\n\\t\\\"\\\\\\/\\b\\f\\r\"", "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"", "\"a\tb\"", "\"a\nb\"",
      std::string("\"a\0b\"", 5), "\"\x7f\"", "\"\xc2\x85\"", "\"\xc3\xa9\"", "\"\xe2\x82\xac\"", "\"\xf0\x9f\x98\x80\"",
      "\"\xc3\"", "\"\xc0\xaf\"", "\"\xe0\x80\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xff\"", "\"\x80\"",
      // Surrogate escapes: pairs only.
      "\"\\ud83d\\ude00\"", "\"\\ud83d\"", "\"\\ude00\"", "\"\\ud83d\\u0041\"", "\"\\ud83dx\"",
      // Integers at and past 64 bits.
      "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    JsonLine json;
    EXPECT_EQ(json.parse(text), nlohmann::json::accept(text));
  }
}

// What it reads is what the full parser reads: kinds, numbers and decoded texts.
TEST(JsonLine, ReadsValuesAsAFullParserDoes) {
  const std::string text =
      "{\"s\":\"caf\\u00e9 \\ud83d\\ude00 \\\"q\\\" a\\\\b\\n\",\"raw\":\"B\xc3\xbchne\",\"u\":18446744073709551615,"
      "\"n\":-42,\"r\":2.5e-1,\"big\":18446744073709551616,\"t\":true,\"f\":false,\"z\":null,"
      "\"a\":[1,{\"k\":[2,3]},\"x\"],\"d\":1,\"d\":2,\"k\\u0065y\":7}";
  JsonLine json;
  ASSERT_TRUE(json.parse(text));
  const auto full = nlohmann::json::parse(text);
  const auto& root = json.root();
  EXPECT_EQ(json.text(*json.member(root, "s")), full["s"].get<std::string>());
  EXPECT_EQ(json.text(*json.member(root, "raw")), full["raw"].get<std::string>());
  EXPECT_EQ(json.member(root, "u")->kind, JsonLine::Kind::UNSIGNED);
  EXPECT_EQ(json.member(root, "u")->whole, full["u"].get<uint64_t>());
  EXPECT_EQ(json.member(root, "n")->kind, JsonLine::Kind::NEGATIVE);
  EXPECT_EQ(json.member(root, "n")->negative, -42);
  EXPECT_EQ(json.member(root, "r")->kind, JsonLine::Kind::REAL);
  EXPECT_EQ(json.member(root, "r")->real, 0.25);
  EXPECT_EQ(json.member(root, "big")->kind, JsonLine::Kind::REAL);
  EXPECT_TRUE(json.member(root, "t")->flag);
  EXPECT_EQ(json.member(root, "f")->kind, JsonLine::Kind::BOOLEAN);
  EXPECT_FALSE(json.member(root, "f")->flag);
  EXPECT_EQ(json.member(root, "z")->kind, JsonLine::Kind::NUL);
  EXPECT_EQ(json.member(root, "missing"), nullptr);
  EXPECT_EQ(json.member(root, "d")->whole, full["d"].get<uint64_t>()) << "the last of a name given twice";
  ASSERT_NE(json.member(root, "key"), nullptr) << "a name written with escapes";
  EXPECT_EQ(json.member(root, "key")->whole, 7u);

  // An array's values in order, nested ones skipped over whole.
  std::vector<JsonLine::Kind> kinds;
  json.each(*json.member(root, "a"), [&](const JsonLine::Value& v) { kinds.push_back(v.kind); });
  EXPECT_EQ(kinds, (std::vector<JsonLine::Kind>{JsonLine::Kind::UNSIGNED, JsonLine::Kind::OBJECT, JsonLine::Kind::STRING}));
  EXPECT_EQ(json.member(*json.member(root, "a"), "k"), nullptr) << "an array has no members";

  // A second line on the same reader leaves nothing of the first.
  ASSERT_TRUE(json.parse("{\"s\":1}"));
  EXPECT_EQ(json.member(json.root(), "raw"), nullptr);
  EXPECT_EQ(json.member(json.root(), "s")->whole, 1u);
}

}  // namespace
