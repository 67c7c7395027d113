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

constexpr size_t LINE_LIMIT = UPDATE_RECORD_LINE_LIMIT;
constexpr const char* NO_DEFAULT = UPDATE_RECORD_NO_DEFAULT;

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
bool parse_line(std::string_view line, UpdateRecord& record, bool whole) {
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

bool update_record_parse(std::string_view line, UpdateRecord& record, bool whole) {
  return parse_line(line, record, whole);
}

bool update_record_append(const UpdateRecord& record, const std::string& path, std::string& why) {
  const std::string file = path.empty() ? state_default_record_path() : path;
  if (file.empty()) {
    why = NO_DEFAULT;
    return false;
  }
  return state_append_line(file, update_record_json(record), why);
}

}  // namespace korvo
