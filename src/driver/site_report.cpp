#include "driver/site_report.h"

#include <algorithm>
#include <charconv>
#include <functional>

#include "update/device_text.h"

namespace korvo {

namespace {

std::string number_text(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// "41.2 s", "3 min 05 s": how long an update took, as a person reads it.
std::string duration_text(uint64_t ms) {
  const uint64_t tenths = (ms + 50) / 100;
  if (tenths < 600) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
  const uint64_t seconds = (ms + 500) / 1000;
  std::string text = std::to_string(seconds / 60) + " min ";
  if (seconds % 60 < 10) text += '0';
  text += std::to_string(seconds % 60);
  text += " s";
  return text;
}

std::string device_of(const UpdateRecord& r) {
  std::string device = r.device_name;
  if (!r.device_model.empty() && r.device_model != r.device_name) {
    if (device.empty()) {
      device = r.device_model;
    } else {
      device += " (";
      device += r.device_model;
      device += ')';
    }
  }
  return device;
}

struct ClassText {
  const char* summary;  // the summary's count
  const char* mark;     // the row's CSS class: how much it should stand out
};
constexpr ClassText CLASS_TEXTS[] = {
    {"verified", "good"},   {"not verified", "unverified"}, {"failed", "failed"},
    {"stopped", "failed"},  {"refused", "failed"},          {"left alone", "alone"},
};

}  // namespace

std::string update_outcome_text(const UpdateRecord& r) {
  std::string text;
  switch (update_class(r)) {
    case UpdateClass::VERIFIED: text = "updated, verified"; break;
    case UpdateClass::NOT_VERIFIED: text = "updated, not verified"; break;
    case UpdateClass::REFUSED: text = "refused: the bootloader disagrees"; break;
    case UpdateClass::LEFT_ALONE: text = "newer version found, left alone"; break;
    case UpdateClass::STOPPED:
    case UpdateClass::FAILED:
      text = r.outcome == "stopped" ? "stopped" : "failed";
      if (!r.failed_stage.empty()) {
        text += " at ";
        text += r.failed_stage;
      }
      if (r.failed_code != 0 && r.outcome != "stopped") {
        text += " (code ";
        text += std::to_string(r.failed_code);
        text += ')';
      }
      break;
  }
  return text;
}

namespace {

void add_cell(std::string& out, const char* css, std::string_view text, std::string_view title = {}) {
  out += "<td";
  if (css != nullptr) {
    out += " class=\"";
    out += css;
    out += '"';
  }
  if (!title.empty()) {
    out += " title=\"";
    out += html_text(title);
    out += '"';
  }
  out += '>';
  out += html_text(text);
  out += "</td>";
}

}  // namespace

std::string csv_header() {
  return "time,host,port,adapter,device_model,device_name,product,pcb_revision,version_before,version_after,"
         "image_version,image_sha256,outcome,failed_stage,failed_code,left,verified,attempts,duration_ms,"
         "round_trip_median_ms\r\n";
}

std::string csv_text(std::string_view text) {
  std::string cell = shown_line(text);
  if (!cell.empty() && std::string_view("=+-@").find(cell.front()) != std::string_view::npos) cell.insert(0, 1, '\'');
  if (cell.find_first_of("\",\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

void csv_row(std::string& out, const UpdateRecord& r) {
  const auto text = [&out](std::string_view t) {
    out += csv_text(t);
    out += ',';
  };
  const auto number = [&out](uint64_t n) {
    out += std::to_string(n);
    out += ',';
  };
  text(r.time);
  text(r.host);
  text(r.port);
  text(r.adapter);
  text(r.device_model);
  text(r.device_name);
  number(r.product);
  number(r.pcb_revision);
  text(r.version_before);
  text(r.version_after);
  text(r.image_version);
  text(r.image_sha256);
  text(!r.outcome.empty() ? r.outcome : r.updated ? "updated" : "failed");
  text(r.updated ? "" : r.failed_stage);
  if (r.failed_code != 0 && !r.updated) out += std::to_string(r.failed_code);
  out += ',';
  text(r.left);
  out += r.verified ? "true," : "false,";
  number(r.attempts);
  number(r.duration_ms);
  if (r.round_trip_median_ms) out += number_text(*r.round_trip_median_ms);
  out += "\r\n";
}

UpdateClass update_class(const UpdateRecord& r) {
  if (r.updated) return r.verified ? UpdateClass::VERIFIED : UpdateClass::NOT_VERIFIED;
  if (r.outcome == "stopped") return UpdateClass::STOPPED;
  if (r.outcome == "not_compatible") return UpdateClass::REFUSED;
  if (r.outcome == "device_newer") return UpdateClass::LEFT_ALONE;
  return UpdateClass::FAILED;
}

void ReportSummary::add(const UpdateRecord& r) {
  ++updates_;
  ++counts_[static_cast<size_t>(update_class(r))];
  std::string device = r.host;
  device += '\0';
  device += r.port;
  device += '\0';
  device += r.device_name;
  devices_.insert(std::hash<std::string>{}(device));
  // The record's times are all written alike, so their text sorts as they do.
  if (first_.empty() || r.time < first_) first_ = r.time;
  if (r.time > last_) last_ = r.time;
  longest_ms_ = std::max(longest_ms_, r.duration_ms);
}

std::string html_text(std::string_view text) {
  const std::string shown = shown_line(text);
  std::string out;
  out.reserve(shown.size());
  for (char c : shown) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string html_head(const ReportSummary& s, std::string_view source) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Firmware updates</title>\n<style>\n"
      "@page { size: A4 landscape; margin: 12mm; }\n"
      "body { font: 10pt/1.35 system-ui, -apple-system, \"Segoe UI\", Roboto, sans-serif; color: #222; margin: 1.5em; }\n"
      "h1 { font-size: 15pt; margin: 0 0 .2em; }\n"
      ".source { color: #666; margin: 0 0 1em; overflow-wrap: anywhere; }\n"
      ".summary { display: flex; flex-wrap: wrap; gap: .6em; margin: 0 0 1.2em; padding: 0; list-style: none; }\n"
      ".summary li { border: 1px solid #ccc; border-radius: 4px; padding: .35em .8em; }\n"
      ".summary b { display: block; font-size: 15pt; }\n"
      ".summary .failed b { color: #b00020; } .summary .unverified b { color: #a15c00; }\n"
      "table { border-collapse: collapse; width: 100%; }\n"
      "th, td { text-align: left; padding: .25em .45em; border-bottom: 1px solid #ddd; vertical-align: top; "
      "overflow-wrap: anywhere; }\n"
      "th { background: #f2f2f2; font-weight: 600; }\n"
      "td.n { text-align: right; white-space: nowrap; }\n"
      "tr.failed td { background: #fde8ea; } tr.failed td.outcome { color: #b00020; font-weight: 600; }\n"
      "tr.unverified td { background: #fff4e0; } tr.unverified td.outcome { color: #a15c00; font-weight: 600; }\n"
      "svg.bar { display: block; margin-top: 2px; } svg.bar rect { fill: #4a7fb5; }\n"
      "tr.failed svg.bar rect { fill: #b00020; }\n"
      "@media print { body { margin: 0; font-size: 8pt; } tr { break-inside: avoid; } "
      "thead { display: table-header-group; } th, tr.failed td, tr.unverified td, svg.bar rect "
      "{ -webkit-print-color-adjust: exact; print-color-adjust: exact; } }\n"
      "</style>\n</head>\n<body>\n<h1>Firmware updates</h1>\n<p class=\"source\">From the update record ";
  page += html_text(source);
  if (s.updates() > 0) {
    page += ": ";
    page += html_text(s.first());
    page += " to ";
    page += html_text(s.last());
    page += " (UTC)";
  }
  page += "</p>\n<ul class=\"summary\">\n";
  const auto item = [&page](const char* css, size_t n, const char* what) {
    page += "<li";
    if (css != nullptr && n > 0) {
      page += " class=\"";
      page += css;
      page += '"';
    }
    page += "><b>";
    page += std::to_string(n);
    page += "</b>";
    page += what;
    page += "</li>\n";
  };
  item(nullptr, s.devices(), "devices");
  item(nullptr, s.updates(), "updates");
  for (size_t c = 0; c < std::size(CLASS_TEXTS); ++c) {
    item(CLASS_TEXTS[c].mark, s.count(static_cast<UpdateClass>(c)), CLASS_TEXTS[c].summary);
  }
  page += "</ul>\n";
  if (s.updates() == 0) {
    page += "<p>No updates recorded.</p>\n";
    return page;
  }
  page +=
      "<table>\n<thead><tr><th>Time (UTC)</th><th>Host</th><th>Port</th><th>Device</th><th>Product</th>"
      "<th>Before</th><th>After</th><th>Image</th><th>Outcome</th><th>Attempts</th><th>Duration</th></tr></thead>\n"
      "<tbody>\n";
  return page;
}

HtmlRow html_row(const UpdateRecord& r) {
  HtmlRow row;
  std::string& out = row.before_bar;
  out += "<tr class=\"";
  out += CLASS_TEXTS[static_cast<size_t>(update_class(r))].mark;
  out += "\">";
  add_cell(out, nullptr, r.time);
  add_cell(out, nullptr, r.host);
  // Where the port name was a number, the path opened and the adapter where the pointer rests.
  std::string port_title = r.path == r.port ? "" : r.path;
  if (!port_title.empty() && !r.adapter.empty()) port_title += ", ";
  port_title += r.adapter;
  add_cell(out, nullptr, r.port, port_title);
  add_cell(out, nullptr, device_of(r));
  add_cell(out, "n", std::to_string(r.product) + " / " + std::to_string(r.pcb_revision));
  add_cell(out, nullptr, r.version_before);
  add_cell(out, nullptr, r.version_after.empty() ? "?" : r.version_after);
  // The image by its version; its whole SHA-256 where the pointer rests.
  std::string image_title;
  if (!r.image_sha256.empty()) {
    image_title = "SHA-256 ";
    image_title += r.image_sha256;
  }
  add_cell(out, nullptr, r.image_version, image_title);
  add_cell(out, "outcome", update_outcome_text(r));
  add_cell(out, "n", std::to_string(r.attempts));
  out += "<td class=\"n\">";
  out += duration_text(r.duration_ms);
  row.after_bar = "</td></tr>";
  row.duration_ms = r.duration_ms;
  return row;
}

std::string html_bar(uint64_t duration_ms, uint64_t longest_ms) {
  if (duration_ms == 0 || longest_ms == 0) return "";
  const uint64_t width = std::max<uint64_t>(1, (duration_ms * 80 + longest_ms / 2) / longest_ms);
  return "<svg class=\"bar\" width=\"80\" height=\"6\" aria-hidden=\"true\"><rect width=\"" + std::to_string(width) +
         "\" height=\"6\"/></svg>";
}

std::string html_foot(const ReportSummary& summary) {
  return summary.updates() > 0 ? "</tbody>\n</table>\n</body>\n</html>\n" : "</body>\n</html>\n";
}

}  // namespace korvo
