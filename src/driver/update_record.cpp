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
// Nothing here throws: each value's type is checked before it is taken.
const Json* field(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool read_text(const Json& object, const char* key, std::string& out, bool required) {
  const Json* value = field(object, key);
  if (value == nullptr || value->is_null()) return !required;
  if (!value->is_string()) return false;
  out = value->get<std::string>();
  return true;
}

template <typename Number>
bool read_number(const Json& object, const char* key, Number& out) {
  const Json* value = field(object, key);
  if (value == nullptr || value->is_null()) return true;
  if (value->is_number_unsigned()) {
    const auto n = value->get<uint64_t>();
    if (n > static_cast<uint64_t>(std::numeric_limits<Number>::max())) return false;
    out = static_cast<Number>(n);
    return true;
  }
  if (value->is_number_integer() && std::numeric_limits<Number>::is_signed) {
    const auto n = value->get<int64_t>();
    if (n < static_cast<int64_t>(std::numeric_limits<Number>::min()) ||
        n > static_cast<int64_t>(std::numeric_limits<Number>::max())) {
      return false;
    }
    out = static_cast<Number>(n);
    return true;
  }
  return false;
}

bool read_flag(const Json& object, const char* key, bool& out) {
  const Json* value = field(object, key);
  if (value == nullptr || value->is_null()) return true;
  if (!value->is_boolean()) return false;
  out = value->get<bool>();
  return true;
}

// {"median": ms, "p99": ms}, or null.
bool read_round_trips(const Json& object, UpdateRecord& r) {
  const Json* value = field(object, "round_trip_ms");
  if (value == nullptr || value->is_null()) return true;
  const Json* median = value->is_object() ? field(*value, "median") : nullptr;
  const Json* p99 = value->is_object() ? field(*value, "p99") : nullptr;
  if (median == nullptr || p99 == nullptr || !median->is_number() || !p99->is_number()) return false;
  r.round_trip_median_ms = median->get<double>();
  r.round_trip_p99_ms = p99->get<double>();
  return true;
}

bool parse_line(const std::string& line, UpdateRecord& record) {
  if (line.size() > LINE_LIMIT) return false;
  const Json object = Json::parse(line, nullptr, false);
  if (!object.is_object()) return false;
  UpdateRecord r;
  std::string outcome;
  if (!read_text(object, "time", r.time, true) || !read_text(object, "host", r.host, false) ||
      !read_text(object, "korvo", r.korvo_version, false) || !read_text(object, "port", r.port, true) ||
      !read_text(object, "path", r.path, false) || !read_text(object, "adapter", r.adapter, false) ||
      !read_text(object, "version_before", r.version_before, true) ||
      !read_text(object, "outcome", outcome, true) ||
      !read_text(object, "failed_stage", r.failed_stage, false) ||
      !read_number(object, "failed_code", r.failed_code) ||
      !read_text(object, "version_after", r.version_after, false) ||
      !read_flag(object, "verified", r.verified) || !read_number(object, "duration_ms", r.duration_ms) ||
      !read_round_trips(object, r)) {
    return false;
  }
  static const char* const OUTCOMES[] = {"updated", "failed", "stopped", "not_compatible", "device_newer"};
  if (std::find(std::begin(OUTCOMES), std::end(OUTCOMES), outcome) == std::end(OUTCOMES)) return false;
  if (!read_text(object, "left", r.left, false)) return false;
  r.outcome = outcome;
  // Lines written before transfers were tried again say nothing of attempts: there was one.
  if (!read_number(object, "attempts", r.attempts)) return false;
  const Json* failures = field(object, "failures");
  if (failures != nullptr && !failures->is_null()) {
    if (!failures->is_array()) return false;
    for (const Json& failure : *failures) {
      AttemptFailure f;
      if (!failure.is_object() || !read_text(failure, "stage", f.stage, true) ||
          !read_number(failure, "code", f.code)) {
        return false;
      }
      r.failures.push_back(std::move(f));
    }
  }
  r.updated = outcome == "updated";

  const Json* device = field(object, "device");
  if (device == nullptr || !device->is_object() || !read_text(*device, "name", r.device_name, true) ||
      !read_text(*device, "model", r.device_model, false) || !read_number(*device, "product", r.product) ||
      !read_number(*device, "pcb_revision", r.pcb_revision) || !read_number(*device, "extra", r.extra)) {
    return false;
  }
  const Json* image = field(object, "image");
  if (image != nullptr && !image->is_null()) {
    if (!image->is_object() || !read_text(*image, "version", r.image_version, false) ||
        !read_text(*image, "target_name", r.image_target, false) ||
        !read_text(*image, "sha256", r.image_sha256, false) ||
        !read_number(*image, "records", r.image_records)) {
      return false;
    }
  }
  record = std::move(r);
  return true;
}

// A table cell: the device's text as the terminal may get it, and no control byte that would
// break the line or the alignment.
std::string cell(const std::string& text) {
  std::string shown = device_text(text.c_str());
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = DEVICE_TEXT_REPLACEMENT;
  }
  return shown;
}

// Columns a cell takes: one per character of its UTF-8, not per byte.
size_t columns(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

constexpr size_t TABLE_COLUMNS = 5;
using Row = std::array<std::string, TABLE_COLUMNS>;

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
  return {cell(r.time), cell(r.port), cell(device), cell(r.version_before + " -> " + after), outcome};
}

void print_table(ConsoleOut& out, const std::vector<Row>& rows) {
  std::array<size_t, TABLE_COLUMNS> width{};
  const Row heading = {"time", "port", "device", "version", "outcome"};
  for (size_t i = 0; i < TABLE_COLUMNS; ++i) width[i] = columns(heading[i]);
  for (const Row& row : rows) {
    for (size_t i = 0; i < TABLE_COLUMNS; ++i) width[i] = std::max(width[i], columns(row[i]));
  }
  const auto print = [&](const Row& row) {
    std::string line;
    for (size_t i = 0; i < TABLE_COLUMNS; ++i) {
      line += row[i];
      if (i + 1 < TABLE_COLUMNS) line += std::string(width[i] - columns(row[i]) + 2, ' ');
    }
    line += '\n';
    say_bytes(out, line.data(), line.size());
  };
  print(heading);
  for (const Row& row : rows) print(row);
}

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
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) {
    if (errno == ENOENT) {
      tell(out, "korvo: no updates recorded yet: %s does not exist\n", file.c_str());
      return true;
    }
    tell(out, "korvo: cannot read the update record %s: %s\n", file.c_str(), std::strerror(errno));
    return false;
  }

  std::vector<Row> rows;
  size_t number = 0;
  size_t shown = 0;
  const auto take = [&](std::string& line, bool too_long) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!too_long && line.find_first_not_of(" \t") == std::string::npos) return;
    UpdateRecord record;
    if (too_long || !parse_line(line, record)) {
      tell(out, "korvo: %s: line %s is damaged; skipped\n", file.c_str(), std::to_string(number).c_str());
      return;
    }
    ++shown;
    if (json) {
      line += '\n';
      say_bytes(out, line.data(), line.size());
    } else {
      rows.push_back(row_of(record));
    }
  };

  // Read in blocks: a line longer than any record is noted as damaged, not held in memory.
  std::string line;
  bool too_long = false;
  std::vector<char> block(64 * 1024);
  size_t got;
  while ((got = std::fread(block.data(), 1, block.size(), in)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      if (block[i] == '\n') {
        take(line, too_long);
        line.clear();
        too_long = false;
      } else if (line.size() < LINE_LIMIT) {
        line += block[i];
      } else {
        too_long = true;
      }
    }
  }
  const bool failed = std::ferror(in) != 0;
  const int error = errno;
  std::fclose(in);
  if (failed) {
    tell(out, "korvo: cannot read the update record %s: %s\n", file.c_str(), std::strerror(error));
    return false;
  }
  if (!line.empty() || too_long) take(line, too_long);  // the last line lost its newline

  if (shown == 0) {
    tell(out, "korvo: no updates recorded in %s\n", file.c_str());
  } else if (!json) {
    print_table(out, rows);
  }
  return true;
}

}  // namespace korvo
