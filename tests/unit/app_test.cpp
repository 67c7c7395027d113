#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bench.h"
#include "result_code.h"
#include "protocol/app.h"

using namespace korvo;

namespace {

TEST(ProductTable, FirstRowWithTheProductDecides) {
  EXPECT_STREQ(product_lookup(56, 4), "Granite");
  EXPECT_STREQ(product_lookup(68, 6), "Slate Pro");
  EXPECT_STREQ(product_lookup(68, 5), "Slate");
  EXPECT_STREQ(product_lookup(45, 2), "Marble");
  EXPECT_STREQ(product_lookup(67, 1), "Quartz");
  EXPECT_EQ(product_lookup(56, 0), nullptr);
  EXPECT_EQ(product_lookup(56, 5), nullptr);
  EXPECT_EQ(product_lookup(67, -1), nullptr);
  for (int rev = -1; rev <= 7; ++rev) EXPECT_EQ(product_lookup(99, rev), nullptr);
}

TEST(NumberReader, ThirtyTwoBitStrtoulSemantics) {
  const char* end = nullptr;
  EXPECT_EQ(parse_u32("  42x", &end, 10), 42u);
  EXPECT_EQ(*end, 'x');
  EXPECT_EQ(parse_u32("-5", nullptr, 10), 4294967291u);
  EXPECT_EQ(parse_u32("4294967295", nullptr, 10), 4294967295u);
  EXPECT_EQ(parse_u32("4294967297", nullptr, 10), 4294967295u) << "saturates, never wraps to 1";
  EXPECT_EQ(parse_u32("-4294967297", nullptr, 10), 4294967295u);
  EXPECT_EQ(parse_u32("+7", nullptr, 10), 7u);
  const char* text = "abc";
  EXPECT_EQ(parse_u32(text, &end, 10), 0u);
  EXPECT_EQ(end, text) << "nothing consumed without a digit";
  text = " -";
  EXPECT_EQ(parse_u32(text, &end, 10), 0u);
  EXPECT_EQ(end, text);
  EXPECT_EQ(parse_u32("1F$", &end, 16), 0x1Fu);
  EXPECT_EQ(*end, '$');
  EXPECT_EQ(parse_u32("0x1f", nullptr, 16), 0x1Fu);
  EXPECT_EQ(parse_u32("0xg", &end, 16), 0u);
  EXPECT_EQ(*end, 'x');
}

struct ParseCase {
  const char* text;
  int result;
  Version version;
  uint16_t product;
  uint16_t revision;
  uint32_t extra;
  const char* model;  // null: none
};

TEST(VersionReport, ParsesEveryElementOfTheGrammar) {
  const ParseCase cases[] = {
      {"=V \"\" 2.05.01b(RC),68,6,1F$", 0, 0x02050102, 68, 6, 0x1F, "Slate Pro"},
      {"=V \"\" 1.14$", 0, 0x010E0000, 56, 1, 0xFFFFFFFF, "Basalt"},
      {"=V \"Lobby\" 1.14a,68,5,0$", 0, 0x010E0001, 68, 5, 0, "Lobby"},
      {"=V \"\" 1.14,99,1,FFFF$", 0, 0x010E0000, 99, 1, 0xFFFF, nullptr},
      {"=V \"\" 1.14(note, with comma),45,2,A$", 0, 0x010E0000, 45, 2, 0xA, "Marble"},
      // Parts above 255 spill into their neighbours as 32-bit arithmetic does.
      {"=V \"\" 1.256$", 0, 0x02000000, 56, 1, 0xFFFFFFFF, "Basalt"},
      // Product and revision keep their low 16 bits.
      {"=V \"\" 1.00,65604,6,0$", 0, 0x01000000, 68, 6, 0, "Slate Pro"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    DeviceInfo info;
    ASSERT_EQ(code(app_parse_version(info, c.text)), c.result);
    EXPECT_EQ(info.version, c.version);
    EXPECT_EQ(info.product, c.product);
    EXPECT_EQ(info.pcb_revision, c.revision);
    EXPECT_EQ(info.extra, c.extra);
    if (c.model == nullptr) {
      EXPECT_EQ(info.model, nullptr);
    } else {
      ASSERT_NE(info.model, nullptr);
      EXPECT_STREQ(info.model, c.model);
    }
  }
}

TEST(VersionReport, RefusesWhatTheGrammarDoesNotConsume) {
  const std::string name31(31, 'n');
  const std::string name32(32, 'n');
  const struct {
    std::string text;
    int result;
  } cases[] = {
      {"=V " + std::string("1.14$"), 1},
      {"V \"\" 1.14$", 1},
      {"", 1},
      {"=V \"" + name31 + "\" 1.14$", 0},
      {"=V \"" + name32 + "\" 1.14$", 2},
      {"=V \"unclosed", 2},
      {"=V \"\" 1.14A$", 3},
      {"=V \"\" 1.14\xC1$", 3},
      {"=V \"\" 1.14(never closed", 3},
      {"=V \"\" 1.14(never closed$", 3},
      {"=V \"\" 1.14,68,6,1F", 3},
      {"=V \"\" 1.14 $", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DeviceInfo info;
    const char* previous = "earlier";
    info.model = previous;
    EXPECT_EQ(code(app_parse_version(info, c.text.c_str())), c.result);
    if (c.result != 0) {
      EXPECT_EQ(info.model, previous) << "model keeps its earlier value";
    }
  }
  DeviceInfo info;
  ASSERT_EQ(code(app_parse_version(info, ("=V \"" + name31 + "\" 1.14$").c_str())), 0);
  EXPECT_EQ(std::string(device_name(info)), name31);
}

TEST(AppMessages, ReadsTheTextAfterTheLastCaret) {
  Bench b;
  b.reply_text("junk^^V$");
  char buffer[100];
  ASSERT_TRUE(app_read_message(b.run.link, buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "V$");

  Bench no_caret;
  no_caret.reply_text("abc$");
  ASSERT_TRUE(app_read_message(no_caret.run.link, buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "abc$") << "bytes before a missing caret are kept";

  Bench silent;
  EXPECT_FALSE(app_read_message(silent.run.link, buffer, sizeof buffer));

  Bench long_message;
  long_message.reply_text("^" + std::string(150, 'x') + "$");
  ASSERT_TRUE(app_read_message(long_message.run.link, buffer, sizeof buffer));
  EXPECT_EQ(std::strlen(buffer), 99u);
}

TEST(AppQuery, SkipsEmptyAndPlusMessagesAndSendsTheQuery) {
  Bench b;
  b.reply_text("\x01\x02^$^+$^=V \"\" 1.14,68,6,0$");
  DeviceInfo& info = b.run.device;
  ASSERT_EQ(code(app_query_version(b.run.link, info, false)), 0);
  EXPECT_EQ(info.version, 0x010E0000u);
  EXPECT_EQ(info.pcb_revision, 6);
  EXPECT_EQ(b.line.written(), (std::vector<uint8_t>{'^', 'V', '$'}));

  Bench listen;
  listen.reply_text("^=V \"\" 1.15$", 300);
  ASSERT_EQ(code(app_query_version(listen.run.link, listen.run.device, true)), 0);
  EXPECT_TRUE(listen.line.written().empty());
}

TEST(AppQuery, FailuresResetTheIdentity) {
  Bench silent;
  DeviceInfo& info = silent.run.device;
  info.product = 68;
  info.version = 5;
  info.name[0] = 'x';
  EXPECT_EQ(code(app_query_version(silent.run.link, info, false)), 1);
  EXPECT_EQ(info.product, 0);
  EXPECT_EQ(info.version, 0u);
  EXPECT_EQ(info.extra, EXTRA_ABSENT);
  EXPECT_EQ(info.name[0], '\0');
  // Silence costs the 500 ms limit stretched by one 2000 ms read.
  EXPECT_LE(silent.clock.now, 2000u + 2000u);

  Bench other;
  other.reply_text("^=X$");
  EXPECT_EQ(code(app_query_version(other.run.link, other.run.device, false)), 1);
  Bench too_long;
  too_long.reply_text("^=V \"\" 1.14(" + std::string(120, 'c') + ")$");
  EXPECT_EQ(code(app_query_version(too_long.run.link, too_long.run.device, false)), 3);
}

}  // namespace
