#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/history.h"
#include "driver/update_record.h"
#include "fake_console.h"
#include "update_sample.h"

using namespace korvo;

namespace {

UpdateRecord sample() {
  UpdateRecord r = verified_update("2026-12-08T07:40:12Z", "COM3", "\\\\.\\COM3", "Zone 4");
  r.host = "bench-laptop";
  r.extra = 0x12345678;
  r.image_sha256 = std::string(64, 'a');
  r.image_records = 512;
  return r;
}

void expect_same(const UpdateRecord& a, const UpdateRecord& b) {
  EXPECT_EQ(update_record_json(a), update_record_json(b));
}

TEST(UpdateRecord, RoundTripsOnOneLineWhateverBytesTheDeviceSent) {
  UpdateRecord r = sample();
  // Escapes, quotes, a line break and a NUL come back as they were; bytes that are no UTF-8
  // become U+FFFD instead of stopping the record.
  r.device_name = std::string("\x1b]0;pwn\x07\"q\\\n", 13) + std::string(1, '\0') + "x";
  r.device_model = "ok\xff\xc3";
  const std::string line = update_record_json(r);
  EXPECT_EQ(line.find('\n'), std::string::npos);

  const auto json = nlohmann::json::parse(line);
  EXPECT_EQ(json["device"]["name"], r.device_name);
  EXPECT_EQ(json["device"]["model"], "ok\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(json["device"]["extra"], 0x12345678u);
  EXPECT_EQ(json["image"]["sha256"], r.image_sha256);
  EXPECT_EQ(json["outcome"], "updated");
  EXPECT_TRUE(json["failed_stage"].is_null());
  EXPECT_TRUE(json["failed_code"].is_null());
  EXPECT_TRUE(json["round_trip_ms"].is_null());
  EXPECT_TRUE(json["adapter"].is_string());

  UpdateRecord back;
  ASSERT_TRUE(update_record_parse(line, back));
  EXPECT_EQ(back.device_name, r.device_name);
  r.device_model = "ok\xef\xbf\xbd\xef\xbf\xbd";
  expect_same(back, r);

  // A failure without a restarted device: where it stopped, its code, no version after.
  UpdateRecord failed = failed_in_records(sample());
  failed.adapter = "";
  failed.attempts = 2;
  failed.failures = {{"entering", 0}, {"records", 3}};
  const auto f = nlohmann::json::parse(update_record_json(failed));
  EXPECT_EQ(f["attempts"], 2);
  EXPECT_EQ(f["failures"][0]["stage"], "entering");
  EXPECT_TRUE(f["failures"][0]["code"].is_null());
  EXPECT_EQ(f["failures"][1]["code"], 3);
  EXPECT_EQ(f["outcome"], "failed");
  EXPECT_EQ(f["failed_stage"], "records");
  EXPECT_EQ(f["failed_code"], 3);
  EXPECT_TRUE(f["version_after"].is_null());
  EXPECT_TRUE(f["adapter"].is_null());
  ASSERT_TRUE(update_record_parse(update_record_json(failed), back));
  expect_same(back, failed);

  // A line written before updates were tried again had one attempt.
  auto old = nlohmann::json::parse(update_record_json(failed));
  old.erase("attempts");
  old.erase("failures");
  ASSERT_TRUE(update_record_parse(old.dump(), back));
  EXPECT_EQ(back.attempts, 1u);
  EXPECT_TRUE(back.failures.empty());
}

TEST(UpdateRecord, DamagedLinesAreRefused) {
  const std::string good = update_record_json(sample());
  UpdateRecord r;
  ASSERT_TRUE(update_record_parse(good, r));
  const auto with = [&](const char* key, const nlohmann::json& value) {
    auto json = nlohmann::json::parse(good);
    json[key] = value;
    return json.dump();
  };
  const auto without = [&](const char* key) {
    auto json = nlohmann::json::parse(good);
    json.erase(key);
    return json.dump();
  };
  for (const std::string& line :
       {std::string(), good.substr(0, good.size() / 2), std::string("[1,2]"), std::string("\"text\""),
        with("outcome", "maybe"), with("port", 5), with("device", "Slate"), with("verified", "yes"),
        with("failed_code", "3"), with("duration_ms", -1), with("image", 7), without("time"),
        with("attempts", "2"), with("failures", 3), with("failures", nlohmann::json::array({{{"code", 1}}})),
        without("device"), std::string(70000, ' ') + good}) {
    SCOPED_TRACE(line.substr(0, 60));
    EXPECT_FALSE(update_record_parse(line, r));
  }
}

struct History {
  CapturedText text;
  CapturedText diagnostics;
  bool ok = false;

  History(const std::string& path, bool json) : History(path, json ? HistoryFormat::JSON : HistoryFormat::TABLE) {}
  History(const std::string& path, HistoryFormat format, const std::string& since = "", const std::string& port = "") {
    ConsoleOut out = text.out();
    out.err = diagnostics.out().file;
    HistoryQuery query;
    query.record = path;
    query.format = format;
    query.since = since;
    query.port = port;
    ok = update_record_history(out, query);
  }
};

std::string temp_path(const char* name) { return testing::TempDir() + "korvo-history-" + name; }

TEST(UpdateRecord, HistoryIsATableOldestFirstAndSkipsDamagedLinesByNumber) {
  UpdateRecord failed = failed_in_records(sample());
  failed.time = "2026-12-09T10:00:00Z";
  failed.port = "/dev/ttyUSB0";
  failed.device_name = "Bar\x1b[2J\nBack";  // shown, but never as an escape or a line break
  failed.device_model = "Basalt";
  UpdateRecord unverified = sample();
  unverified.time = "2026-12-10T11:00:00Z";
  unverified.device_name = "B\xc3\xbchne";  // five columns wide in seven bytes
  unverified.device_model = unverified.device_name;
  unverified.version_after = "1.13";
  unverified.verified = false;

  const std::string path = temp_path("table.jsonl");
  const std::string first = update_record_json(sample());
  const std::string second = update_record_json(failed);
  const std::string third = update_record_json(unverified);
  std::ofstream(path, std::ios::binary) << first << "\n{\"time\": torn\n" << second << "\n\n"
                                        << "[]\r\n" << third;  // the last line lost its newline

  History table(path, false);
  EXPECT_TRUE(table.ok);
  EXPECT_EQ(table.text.text(),
            "time                  port          device                 version       outcome\n"
            "2026-12-08T07:40:12Z  COM3          Zone 4 (Slate 8)       1.13 -> 1.14  updated, verified\n"
            "2026-12-09T10:00:00Z  /dev/ttyUSB0  Bar?[2J?Back (Basalt)  1.13 -> ?     failed at records (code 3), 3 attempts\n"
            "2026-12-10T11:00:00Z  COM3          B\xc3\xbchne                  1.13 -> 1.13  updated, not verified\n");
  const std::string warnings = "korvo: " + path + ": line 2 is damaged; skipped\nkorvo: " + path +
                               ": line 5 is damaged; skipped\nkorvo: " + path + ": 2 damaged lines skipped\n";
  EXPECT_EQ(table.diagnostics.text(), warnings);

  History json(path, true);
  EXPECT_TRUE(json.ok);
  EXPECT_EQ(json.text.text(), first + "\n" + second + "\n" + third + "\n");
  EXPECT_EQ(json.diagnostics.text(), warnings);
  std::remove(path.c_str());
}

TEST(UpdateRecord, HistoryOfAMissingOrUnreadableFile) {
  const std::string missing = temp_path("missing.jsonl");
  std::remove(missing.c_str());
  History none(missing, false);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.text.text(), "");
  EXPECT_EQ(none.diagnostics.text(), "korvo: no updates recorded yet: " + missing + " does not exist\n");

  // A folder where the file should be cannot be read as one.
  History folder(testing::TempDir(), false);
  EXPECT_FALSE(folder.ok);
  EXPECT_EQ(folder.text.text(), "");
  EXPECT_EQ(folder.diagnostics.text().rfind("korvo: cannot read the update record ", 0), 0u)
      << folder.diagnostics.text();
  EXPECT_NE(folder.diagnostics.text().find("not a regular file (a folder)"), std::string::npos)
      << folder.diagnostics.text();

  // Nor is a folder written to: the update's own outcome stands, the reason names the path.
  std::string why;
  EXPECT_FALSE(update_record_append(sample(), testing::TempDir(), why));
  EXPECT_NE(why.find("is not a regular file (a folder)"), std::string::npos) << why;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every field of a planted line, and the failed stage above all, reaches the terminal without
// a byte that could drive it: C0 controls, DEL, and C1 controls raw or written as UTF-8.
TEST(UpdateRecord, HistoryShowsNoControlOfAPlantedLine) {
  const std::string attack = "\x1b]0;PWNED\x07\x1b[2J\r\b" "\xc2\x85" "\xc2\x9b" "31m\x7f";
  UpdateRecord planted = sample();
  planted.updated = false;
  planted.verified = false;
  planted.failed_stage = attack;
  planted.time = "T" + attack;
  planted.port = "P" + attack;
  planted.device_name = "N" + attack;
  planted.device_model = "M" + attack;
  planted.version_before = "B" + attack;
  planted.version_after = "A" + attack;
  const std::string path = temp_path("planted.jsonl");
  std::ofstream(path, std::ios::binary) << update_record_json(planted) << "\n";

  const std::string shown = "?]0;PWNED??[2J????31m?";
  History table(path, false);
  EXPECT_TRUE(table.ok);
  const std::string text = table.text.text();
  const std::string row = text.substr(text.find('\n') + 1);
  EXPECT_EQ(row, "T" + shown + "  P" + shown + "  N" + shown + " (M" + shown + ")  B" + shown + " -> A" + shown +
                     "  failed at " + shown + "\n");
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F)) << "byte " << i << ": " << int(byte);
  }

  // The lines as stored stay the same JSON, their controls escaped.
  History json(path, true);
  EXPECT_TRUE(json.ok);
  const std::string line = json.text.text();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(nlohmann::json::parse(line), nlohmann::json::parse(update_record_json(planted)));
  EXPECT_NE(line.find("\\u0085\\u009b31m\\u007f"), std::string::npos) << line;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << "byte " << i << ": " << int(byte);
  }
  EXPECT_EQ(json.diagnostics.text(), "");

  // A CR or a TAB between the values is JSON too; it reaches the terminal as a space.
  std::string spaced = update_record_json(sample());
  spaced.insert(1, "\r\t");
  std::ofstream(path, std::ios::binary) << spaced << "\n";
  History blanks(path, true);
  EXPECT_EQ(blanks.text.text(), "{  " + update_record_json(sample()).substr(1) + "\n");
  std::remove(path.c_str());
}

// Warnings with each '#' standing for "korvo: " and the file's path.
std::string naming(const std::string& warnings, const std::string& path) {
  std::string out;
  for (char c : warnings) out += c == '#' ? "korvo: " + path : std::string(1, c);
  return out;
}

// A line torn by a full disk or a crash (its newline lost, or NUL bytes where it was): the next
// update starts a line of its own and is shown; lines that older versions glued to a torn one
// are found inside it.
TEST(UpdateRecord, ATornLineNeverTakesTheNextUpdateWithIt) {
  const std::string good = update_record_json(sample());
  UpdateRecord next = sample();
  next.time = "2026-12-11T12:00:00Z";
  next.port = "COM9";
  const std::string torn = good.substr(0, good.size() / 3);
  const struct {
    const char* what;
    std::string before;      // the file's bytes before the append
    std::string appended;    // what the append is to add
    size_t rows;             // updates shown
    std::string warnings;    // after the path
  } cases[] = {
      {"a torn last line", good + "\n" + torn, "\n" + update_record_json(next) + "\n", 2,
       "#: line 2 is damaged; skipped\n#: 1 damaged line skipped\n"},
      {"a file of NUL bytes", std::string(4096, '\0'), "\n" + update_record_json(next) + "\n", 1,
       "#: line 1 is damaged; skipped\n#: 1 damaged line skipped\n"},
      {"a whole last line", good + "\n", update_record_json(next) + "\n", 2, ""},
      {"an empty file", "", update_record_json(next) + "\n", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = temp_path("torn.jsonl");
    std::ofstream(path, std::ios::binary) << c.before;
    std::string why;
    ASSERT_TRUE(update_record_append(next, path, why)) << why;
    EXPECT_EQ(read_all(path), c.before + c.appended);

    History table(path, false);
    EXPECT_TRUE(table.ok);
    const std::string text = table.text.text();
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.rows + 1) << text;
    EXPECT_NE(text.find("COM9"), std::string::npos) << text;
    EXPECT_EQ(table.diagnostics.text(), naming(c.warnings, path));
    std::remove(path.c_str());
  }

  // Written by a version that glued the next line on: what follows the torn part is kept, and
  // two whole lines glued together are both shown.
  const std::string path = temp_path("glued.jsonl");
  std::ofstream(path, std::ios::binary) << torn << update_record_json(next) << "\n"
                                        << std::string(300000, '\0') << good << "\n"
                                        << good << update_record_json(next) << "\n";
  History json(path, true);
  EXPECT_TRUE(json.ok);
  EXPECT_EQ(json.text.text(), update_record_json(next) + "\n" + good + "\n" + good + "\n" + update_record_json(next) + "\n");
  EXPECT_EQ(json.diagnostics.text(), naming("#: line 1 is damaged; skipped but for 1 update run on after it\n"
                                            "#: line 2 is damaged; skipped but for 1 update run on after it\n"
                                            "#: line 3 is damaged; skipped but for 2 updates run on after it\n"
                                            "#: 3 damaged lines skipped\n",
                                            path));
  std::remove(path.c_str());
}

// Damaged lines beyond the first few are counted, not each named.
TEST(UpdateRecord, ManyDamagedLinesAreCountedNotEachNamed) {
  const std::string path = temp_path("many.jsonl");
  {
    std::ofstream file(path, std::ios::binary);
    for (int i = 0; i < 25; ++i) file << "not json " << i << "\n" << update_record_json(sample()) << "\n";
  }
  History table(path, false);
  EXPECT_TRUE(table.ok);
  const std::string said = table.diagnostics.text();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 11) << said;
  EXPECT_NE(said.find(": line 19 is damaged; skipped\n"), std::string::npos) << said;
  EXPECT_EQ(said.find(": line 21 is damaged"), std::string::npos) << said;
  EXPECT_NE(said.find(": 25 damaged lines skipped (the first 10 named)\n"), std::string::npos) << said;
  const std::string text = table.text.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 26);
  std::remove(path.c_str());
}

}  // namespace

TEST(UpdateRecord, SinceTakesIsoDatesAndTimesAsUtc) {
  const struct {
    const char* text;
    const char* utc;  // null: refused
  } cases[] = {
      {"2026-12-08", "2026-12-08T00:00:00Z"},
      {"2026-12-08T07:40", "2026-12-08T07:40:00Z"},
      {"2026-12-08 07:40:12Z", "2026-12-08T07:40:12Z"},
      {"2026-12-08T08:40+01:00", "2026-12-08T07:40:00Z"},
      {"2026-01-01T00:30+01:00", "2025-12-31T23:30:00Z"},  // back over a year's end
      {"2024-02-28T23:00-02:00", "2024-02-29T01:00:00Z"},  // into a leap day
      {"2024-02-29", "2024-02-29T00:00:00Z"},
      {"2025-02-29", nullptr}, {"2026-13-01", nullptr}, {"2026-12-8", nullptr}, {"2026-12-08T24:00", nullptr},
      {"2026-12-08T07:60", nullptr}, {"2026-12-08T07", nullptr}, {"2026-12-08T07:40+1", nullptr},
      {"2026-12-08T07:40:12.5Z", nullptr}, {"2026-12-08Z", nullptr}, {"", nullptr}, {"yesterday", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<std::string> utc = history_time_of(c.text);
    if (c.utc == nullptr) {
      EXPECT_FALSE(utc.has_value()) << *utc;
    } else {
      EXPECT_EQ(utc.value_or("refused"), c.utc);
    }
  }
  EXPECT_TRUE(history_port_matches("com3", "COM3", ""));
  EXPECT_TRUE(history_port_matches("/dev/ttyUSB0", "3", "/dev/ttyUSB0"));
  EXPECT_FALSE(history_port_matches("COM3", "COM33", ""));
  EXPECT_FALSE(history_port_matches("/dev/ttyusb0", "/dev/ttyUSB0", ""));
}

TEST(UpdateRecord, HistorySelectsByTimeAndPort) {
  const std::string path = temp_path("select.jsonl");
  {
    std::ofstream file(path, std::ios::binary);
    for (const auto& [time, port] : {std::pair{"2026-12-07T23:59:59Z", "COM3"}, {"2026-12-08T00:00:00Z", "COM4"},
                                     {"2026-12-08T10:00:00Z", "COM3"}}) {
      UpdateRecord r = sample();
      r.time = time;
      r.port = port;
      file << update_record_json(r) << "\n";
    }
  }
  const struct {
    std::string since, port;
    size_t rows;  // of the JSON lines
  } cases[] = {{"", "", 3}, {"2026-12-08T00:00:00Z", "", 2}, {"2026-12-08T00:00:01Z", "", 1}, {"", "com3", 2},
               {"2026-12-08T00:00:00Z", "COM3", 1}, {"2026-12-09T00:00:00Z", "", 0}, {"", "COM5", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.since + " " + c.port);
    History json(path, HistoryFormat::JSON, c.since, c.port);
    EXPECT_TRUE(json.ok);
    const std::string out = json.text.text();
    EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), c.rows);
    History table(path, HistoryFormat::TABLE, c.since, c.port);
    const std::string rows = table.text.text();
    EXPECT_EQ(static_cast<size_t>(std::count(rows.begin(), rows.end(), '\n')), c.rows == 0 ? 0 : c.rows + 1);
    if (c.rows == 0) {
      EXPECT_EQ(json.diagnostics.text(), "korvo: no updates selected from " + path + "\n");
    }
  }
  std::remove(path.c_str());
}
