#include "driver/update_record.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "console/state.h"
#include "driver/json_line.h"
#include "update/device_text.h"

namespace korvo {

namespace {

// Fields in the order written, so that a person reading the file finds them where expected.
using Json = nlohmann::ordered_json;

// Our own lines are well under a kilobyte; anything far longer is not one of them.
constexpr size_t LINE_LIMIT = 64 * 1024;
constexpr const char* NO_DEFAULT = "this system gives the update record no default place";

Json text_or_null(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// Readers for one field: false when it is there with the wrong type, or missing though required.
using Value = JsonLine::Value;
using Kind = JsonLine::Kind;

// out null: the field checked, its text not wanted.
bool read_text(const JsonLine& json, const Value* value, std::string* out, bool required) {
  if (value == nullptr || value->kind == Kind::NUL) return !required;
  if (value->kind != Kind::STRING) return false;
  if (out != nullptr) json.text(*value, *out);
  return true;
}

template <typename Number>
bool read_number(const Value* value, Number& out) {
  if (value == nullptr || value->kind == Kind::NUL) return true;
  if (value->kind == Kind::UNSIGNED) {
    if (value->whole > static_cast<uint64_t>(std::numeric_limits<Number>::max())) return false;
    out = static_cast<Number>(value->whole);
    return true;
  }
  if (value->kind == Kind::NEGATIVE && std::numeric_limits<Number>::is_signed) {
    if (value->negative < static_cast<int64_t>(std::numeric_limits<Number>::min())) return false;
    out = static_cast<Number>(value->negative);
    return true;
  }
  return false;
}

bool read_flag(const Value* value, bool& out) {
  if (value == nullptr || value->kind == Kind::NUL) return true;
  if (value->kind != Kind::BOOLEAN) return false;
  out = value->flag;
  return true;
}

bool is_number(const Value* value) {
  return value != nullptr &&
         (value->kind == Kind::UNSIGNED || value->kind == Kind::NEGATIVE || value->kind == Kind::REAL);
}

// The names of each object of a line, in the order written; the enums index them.
constexpr std::string_view LINE_NAMES[] = {"time",         "host",          "korvo",          "port",
                                           "path",         "adapter",       "device",         "version_before",
                                           "image",        "outcome",       "failed_stage",   "failed_code",
                                           "version_after", "verified",     "duration_ms",    "round_trip_ms",
                                           "attempts",     "failures",      "left"};
enum LineName : size_t {
  TIME, HOST, KORVO, PORT, PATH, ADAPTER, DEVICE, VERSION_BEFORE, IMAGE, OUTCOME, FAILED_STAGE, FAILED_CODE,
  VERSION_AFTER, VERIFIED, DURATION, ROUND_TRIPS, ATTEMPTS, FAILURES, LEFT, LINE_NAME_COUNT
};
constexpr std::string_view DEVICE_NAMES[] = {"name", "model", "product", "pcb_revision", "extra"};
constexpr std::string_view IMAGE_NAMES[] = {"version", "target_name", "sha256", "records"};
constexpr std::string_view ROUND_TRIP_NAMES[] = {"median", "p99"};
constexpr std::string_view FAILURE_NAMES[] = {"stage", "code"};

template <size_t N>
using Found = std::array<const Value*, N>;

template <size_t N>
Found<N> members(const JsonLine& json, const Value& object, const std::string_view (&names)[N]) {
  Found<N> found;
  json.members(object, names, N, found.data());
  return found;
}

// {"median": ms, "p99": ms}, or null.
bool read_round_trips(const JsonLine& json, const Value* value, UpdateRecord& r) {
  if (value == nullptr || value->kind == Kind::NUL) return true;
  if (value->kind != Kind::OBJECT) return false;
  const auto m = members(json, *value, ROUND_TRIP_NAMES);
  if (!is_number(m[0]) || !is_number(m[1])) return false;
  r.round_trip_median_ms = m[0]->real;
  r.round_trip_p99_ms = m[1]->real;
  return true;
}

// whole false: only what the history's table shows is kept (the other fields are checked all
// the same), which spares copying the texts nobody reads there.
bool parse_line(std::string_view line, UpdateRecord& record, bool whole = true) {
  const auto kept = [whole](std::string& text) { return whole ? &text : nullptr; };
  static_assert(std::size(LINE_NAMES) == LINE_NAME_COUNT);
  if (line.size() > LINE_LIMIT) return false;
  // One reader per thread, so that its table is not made anew for every line.
  thread_local JsonLine json;
  if (!json.parse(line) || json.root().kind != Kind::OBJECT) return false;
  const auto f = members(json, json.root(), LINE_NAMES);
  UpdateRecord r;
  std::string outcome;
  if (!read_text(json, f[TIME], &r.time, true) || !read_text(json, f[HOST], kept(r.host), false) ||
      !read_text(json, f[KORVO], kept(r.korvo_version), false) || !read_text(json, f[PORT], &r.port, true) ||
      !read_text(json, f[PATH], kept(r.path), false) || !read_text(json, f[ADAPTER], kept(r.adapter), false) ||
      !read_text(json, f[VERSION_BEFORE], &r.version_before, true) ||
      !read_text(json, f[OUTCOME], &outcome, true) || !read_text(json, f[FAILED_STAGE], &r.failed_stage, false) ||
      !read_number(f[FAILED_CODE], r.failed_code) || !read_text(json, f[VERSION_AFTER], &r.version_after, false) ||
      !read_flag(f[VERIFIED], r.verified) || !read_number(f[DURATION], r.duration_ms) ||
      !read_round_trips(json, f[ROUND_TRIPS], r)) {
    return false;
  }
  static const char* const OUTCOMES[] = {"updated", "failed", "stopped", "not_compatible", "device_newer"};
  if (std::find(std::begin(OUTCOMES), std::end(OUTCOMES), outcome) == std::end(OUTCOMES)) return false;
  if (!read_text(json, f[LEFT], kept(r.left), false)) return false;
  r.outcome = outcome;
  // Lines written before transfers were tried again say nothing of attempts: there was one.
  if (!read_number(f[ATTEMPTS], r.attempts)) return false;
  if (f[FAILURES] != nullptr && f[FAILURES]->kind != Kind::NUL) {
    if (f[FAILURES]->kind != Kind::ARRAY) return false;
    bool good = true;
    json.each(*f[FAILURES], [&](const Value& failure) {
      AttemptFailure attempt;
      if (!good || failure.kind != Kind::OBJECT) {
        good = false;
        return;
      }
      const auto m = members(json, failure, FAILURE_NAMES);
      good = read_text(json, m[0], &attempt.stage, true) && read_number(m[1], attempt.code);
      if (good && whole) r.failures.push_back(std::move(attempt));
    });
    if (!good) return false;
  }
  r.updated = outcome == "updated";

  const Value* device = f[DEVICE];
  if (device == nullptr || device->kind != Kind::OBJECT) return false;
  const auto d = members(json, *device, DEVICE_NAMES);
  if (!read_text(json, d[0], &r.device_name, true) || !read_text(json, d[1], &r.device_model, false) ||
      !read_number(d[2], r.product) || !read_number(d[3], r.pcb_revision) || !read_number(d[4], r.extra)) {
    return false;
  }
  const Value* image = f[IMAGE];
  if (image != nullptr && image->kind != Kind::NUL) {
    if (image->kind != Kind::OBJECT) return false;
    const auto i = members(json, *image, IMAGE_NAMES);
    if (!read_text(json, i[0], kept(r.image_version), false) || !read_text(json, i[1], kept(r.image_target), false) ||
        !read_text(json, i[2], kept(r.image_sha256), false) || !read_number(i[3], r.image_records)) {
      return false;
    }
  }
  record = std::move(r);
  return true;
}

// Columns a cell takes: one per character of its UTF-8, not per byte.
size_t columns(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

constexpr size_t TABLE_COLUMNS = 5;
using Row = std::array<std::string, TABLE_COLUMNS>;
using Widths = std::array<size_t, TABLE_COLUMNS>;

// Every cell holds outside text (the device's, the command line's, or whatever else was
// written into the file), so every one goes through the text filter.
Row row_of(const UpdateRecord& r) {
  std::string device = r.device_name;
  if (!r.device_model.empty() && r.device_model != r.device_name) {
    device += device.empty() ? r.device_model : " (" + r.device_model + ")";
  }
  std::string outcome;
  if (r.updated) {
    outcome = r.verified ? "updated, verified" : "updated, not verified";
  } else if (r.outcome == "stopped") {
    outcome = "stopped";
    if (!r.failed_stage.empty()) outcome += " at " + r.failed_stage;
  } else if (r.outcome == "not_compatible") {
    outcome = "refused: the bootloader disagrees";
  } else if (r.outcome == "device_newer") {
    outcome = "newer version found, left alone";
  } else {
    outcome = "failed";
    if (!r.failed_stage.empty()) outcome += " at " + r.failed_stage;
    if (r.failed_code != 0) outcome += " (code " + std::to_string(r.failed_code) + ")";
  }
  if (r.attempts > 1) outcome += ", " + std::to_string(r.attempts) + " attempts";
  const std::string after = r.version_after.empty() ? "?" : r.version_after;
  return {shown_line(r.time), shown_line(r.port), shown_line(device), shown_line(r.version_before + " -> " + after),
          shown_line(outcome)};
}

const Row HEADING = {"time", "port", "device", "version", "outcome"};

void add_row(std::string& out, const Row& row, const Widths& width) {
  for (size_t i = 0; i < TABLE_COLUMNS; ++i) {
    out += row[i];
    if (i + 1 < TABLE_COLUMNS) out.append(width[i] - std::min(width[i], columns(row[i])) + 2, ' ');
  }
  out += '\n';
}

// The length of the UTF-8 character led by byte (the line was checked as UTF-8 when parsed).
size_t utf8_length(unsigned char byte) { return byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4; }

uint32_t utf8_code(std::string_view text, size_t at, size_t length) {
  static constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t code = static_cast<unsigned char>(text[at]) & LEAD_BITS[length];
  for (size_t i = 1; i < length; ++i) code = code << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
  return code;
}

// One UTF-16 unit as a JSON escape.
void add_escape(std::string& out, uint32_t unit) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(unit >> shift) & 0xF];
}

// A stored line as the terminal may get it and still the same JSON: a character holding a byte
// the text filter stops is written as its \u escape (such bytes stand only inside strings), a
// CR or TAB between the values as a space.
void add_json_shown(std::string& out, std::string_view line) {
  // Lines of printable ASCII, nearly all of them, go as they are.
  const auto plain = [](char c) { return c >= 0x20 && c < 0x7F; };
  size_t i = 0;
  while (i < line.size() && plain(line[i])) ++i;
  out.append(line, 0, i);
  while (i < line.size()) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const size_t length = std::min(utf8_length(byte), line.size() - i);
    bool control = false;
    for (size_t k = i; k < i + length; ++k) control = control || terminal_control_at(line, k) != 0;
    if (!control) {
      out.append(line, i, length);
    } else if (byte < 0x20) {
      out += ' ';
    } else if (byte < 0x80) {
      add_escape(out, byte);
    } else {
      const uint32_t code = utf8_code(line, i, length);
      if (code < 0x10000) {
        add_escape(out, code);
      } else {
        add_escape(out, 0xD800 + ((code - 0x10000) >> 10));
        add_escape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
      }
    }
    i += length;
  }
}

// Every line of the file in order, to take(line, cut), reading no more than limit bytes; cut
// when the line was longer than any record and only its last LINE_LIMIT bytes are kept. The
// bytes read, or -1 with why. Memory stays bounded whatever the file holds.
template <typename Take>
int64_t each_line(StateFile& file, uint64_t limit, Take take, std::string& why) {
  std::vector<char> block(64 * 1024);
  std::string carry;
  bool cut = false;
  uint64_t total = 0;
  const auto keep = [&](const char* data, size_t count) {
    carry.append(data, count);
    if (carry.size() > 2 * LINE_LIMIT) {
      carry.erase(0, carry.size() - LINE_LIMIT);
      cut = true;
    }
  };
  while (total < limit) {
    const long got = file.read(block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), limit - total)), why);
    if (got < 0) return -1;
    if (got == 0) break;
    const auto count = static_cast<size_t>(got);
    total += count;
    const char* data = block.data();
    for (size_t from = 0; from < count;) {
      const auto* end = static_cast<const char*>(std::memchr(data + from, '\n', count - from));
      if (end == nullptr) {
        keep(data + from, count - from);
        break;
      }
      const auto at = static_cast<size_t>(end - data);
      if (carry.empty() && !cut) {
        take(std::string_view(data + from, at - from), false);
      } else {
        keep(data + from, at - from);
        take(std::string_view(carry), cut);
        carry.clear();
        cut = false;
      }
      from = at + 1;
    }
  }
  if (!carry.empty() || cut) take(std::string_view(carry), cut);  // the last line lost its newline
  return static_cast<int64_t>(total);
}

// Where one of our lines starts. The bytes cannot stand inside a JSON string (its quotes would be
// escaped), so a damaged line that holds them has a whole line run on after it, written by a
// version of korvo that did not start a line of its own after a torn one.
constexpr std::string_view RECORD_START = "{\"time\":";

std::string counted(size_t n, const char* thing) {
  return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

// Reads the record line by line: the updates it holds, and its damaged lines, each told by its
// number (the first few) and all of them counted.
class HistoryReader {
 public:
  HistoryReader(ConsoleOut& out, const std::string& file, bool warn) : out_(out), file_(file), warn_(warn) {}

  // Calls good(line, record) for each update of the line.
  template <typename Good>
  void take(std::string_view line, bool cut, Good good) {
    ++number_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!cut && line.find_first_not_of(" \t") == std::string_view::npos) return;
    UpdateRecord record;
    if (!cut && parse_line(line, record, false)) {
      good(line, record);
      return;
    }
    size_t kept = 0;
    for (size_t from = 0; from < line.size();) {
      const size_t next = std::min(line.find(RECORD_START, from + 1), line.size());
      const std::string_view piece = line.substr(from, next - from);
      if ((from > 0 || !cut) && parse_line(piece, record, false)) {
        good(piece, record);
        ++kept;
      }
      from = next;
    }
    ++damaged_;
    if (!warn_ || damaged_ > NAMED) return;
    const std::string at = std::to_string(number_);
    if (kept == 0) {
      tell(out_, "korvo: %s: line %s is damaged; skipped\n", shown_line(file_).c_str(), at.c_str());
    } else {
      tell(out_, "korvo: %s: line %s is damaged; skipped but for %s run on after it\n", shown_line(file_).c_str(),
           at.c_str(), counted(kept, "update").c_str());
    }
  }

  // The count of damaged lines, once they are past naming one by one, or when the file had any.
  void summary() const {
    if (!warn_ || damaged_ == 0) return;
    const std::string named = damaged_ > NAMED ? " (the first " + std::to_string(NAMED) + " named)" : "";
    tell(out_, "korvo: %s: %s skipped%s\n", shown_line(file_).c_str(), counted(damaged_, "damaged line").c_str(),
         named.c_str());
  }

 private:
  static constexpr size_t NAMED = 10;
  ConsoleOut& out_;
  const std::string& file_;
  bool warn_;
  size_t number_ = 0;
  size_t damaged_ = 0;
};

// Output gathered into large writes: a write per line would be a million of them.
class Pending {
 public:
  explicit Pending(ConsoleOut& out) : out_(out) {}
  ~Pending() { flush(); }
  std::string& text() {
    if (text_.size() >= 64 * 1024) flush();
    return text_;
  }
  void flush() {
    if (!text_.empty()) say_bytes(out_, text_.data(), text_.size());
    text_.clear();
  }

 private:
  ConsoleOut& out_;
  std::string text_;
};

}  // namespace

std::string update_record_json(const UpdateRecord& r) {
  Json device;
  device["name"] = r.device_name;
  device["model"] = r.device_model;
  device["product"] = r.product;
  device["pcb_revision"] = r.pcb_revision;
  device["extra"] = r.extra;
  Json image;
  image["version"] = r.image_version;
  image["target_name"] = r.image_target;
  image["sha256"] = text_or_null(r.image_sha256);
  image["records"] = r.image_records;

  Json line;
  line["time"] = r.time;
  line["host"] = r.host;
  line["korvo"] = r.korvo_version;
  line["port"] = r.port;
  line["path"] = r.path;
  line["adapter"] = text_or_null(r.adapter);
  line["device"] = std::move(device);
  line["version_before"] = r.version_before;
  line["image"] = std::move(image);
  line["outcome"] = !r.outcome.empty() ? r.outcome : r.updated ? "updated" : "failed";
  line["left"] = text_or_null(r.left);
  line["failed_stage"] = r.updated ? Json(nullptr) : text_or_null(r.failed_stage);
  line["failed_code"] = r.updated || r.failed_code == 0 ? Json(nullptr) : Json(r.failed_code);
  line["version_after"] = text_or_null(r.version_after);
  line["verified"] = r.verified;
  line["duration_ms"] = r.duration_ms;
  if (r.round_trip_median_ms && r.round_trip_p99_ms) {
    line["round_trip_ms"] = Json{{"median", *r.round_trip_median_ms}, {"p99", *r.round_trip_p99_ms}};
  } else {
    line["round_trip_ms"] = nullptr;
  }
  line["attempts"] = r.attempts;
  Json failures = Json::array();
  for (const AttemptFailure& f : r.failures) {
    failures.push_back(Json{{"stage", f.stage}, {"code", f.code == 0 ? Json(nullptr) : Json(f.code)}});
  }
  line["failures"] = std::move(failures);
  // Control bytes come out escaped, so the object stays on its one line.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool update_record_parse(const std::string& line, UpdateRecord& record) { return parse_line(line, record); }

bool update_record_append(const UpdateRecord& record, const std::string& path, std::string& why) {
  const std::string file = path.empty() ? state_default_record_path() : path;
  if (file.empty()) {
    why = NO_DEFAULT;
    return false;
  }
  return state_append_line(file, update_record_json(record), why);
}

bool update_record_history(ConsoleOut& out, const std::string& path, bool json) {
  const std::string file = path.empty() ? state_default_record_path() : path;
  if (file.empty()) {
    tell(out, "korvo: %s\n", NO_DEFAULT);
    return false;
  }
  StateFile in;
  std::string why;
  const auto cannot_read = [&] {
    tell(out, "korvo: cannot read the update record %s: %s\n", shown_line(file).c_str(), shown_line(why).c_str());
    return false;
  };
  switch (in.open(file, why)) {
    case StateFile::Opened::MISSING:
      tell(out, "korvo: no updates recorded yet: %s does not exist\n", shown_line(file).c_str());
      return true;
    case StateFile::Opened::REFUSED: return cannot_read();
    case StateFile::Opened::OK: break;
  }

  // The lines as stored: one pass.
  HistoryReader reader(out, file, true);
  size_t shown = 0;
  Pending pending(out);
  if (json) {
    const auto good = [&](std::string_view line, const UpdateRecord&) {
      ++shown;
      std::string& text = pending.text();
      add_json_shown(text, line);
      text += '\n';
    };
    const int64_t read = each_line(in, UINT64_MAX, [&](std::string_view line, bool cut) { reader.take(line, cut, good); }, why);
    pending.flush();
    if (read < 0) return cannot_read();
  } else {
    // The table: a first pass for the widths of its columns, a second that prints the rows, so
    // that no more than a line is held whatever the size of the file. The second reads no
    // further than the first did, should the file grow meanwhile.
    Widths width{};
    for (size_t i = 0; i < TABLE_COLUMNS; ++i) width[i] = columns(HEADING[i]);
    const auto measure = [&](std::string_view, const UpdateRecord& record) {
      ++shown;
      const Row row = row_of(record);
      for (size_t i = 0; i < TABLE_COLUMNS; ++i) width[i] = std::max(width[i], columns(row[i]));
    };
    const int64_t read = each_line(in, UINT64_MAX, [&](std::string_view line, bool cut) { reader.take(line, cut, measure); }, why);
    if (read < 0) return cannot_read();
    if (shown > 0) {
      if (!in.rewind(why)) return cannot_read();
      add_row(pending.text(), HEADING, width);
      HistoryReader quiet(out, file, false);
      const auto print = [&](std::string_view, const UpdateRecord& record) { add_row(pending.text(), row_of(record), width); };
      if (each_line(in, static_cast<uint64_t>(read), [&](std::string_view line, bool cut) { quiet.take(line, cut, print); }, why) < 0) {
        pending.flush();
        return cannot_read();
      }
      pending.flush();
    }
  }
  reader.summary();
  if (shown == 0) tell(out, "korvo: no updates recorded in %s\n", shown_line(file).c_str());
  return true;
}

}  // namespace korvo
