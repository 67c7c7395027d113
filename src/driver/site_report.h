// The update record as a site report: CSV for a spreadsheet, and one self-contained HTML page
// an installer hands to the customer. Every text in the record may come from a device or a
// command line, so each is made harmless for where it lands: control bytes as '?' (the text
// filter of every other outside text), HTML's special characters escaped, a CSV cell that a
// spreadsheet would run as a formula kept as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "driver/update_record.h"

namespace korvo {

// RFC 4180: a header line, then one line per update; every line ends in CRLF.
std::string csv_header();
void csv_row(std::string& out, const UpdateRecord& record);
// One text cell: quoted when it holds a quote, a comma or a line break (its quotes doubled); a
// leading '=', '+', '-' or '@' gets an apostrophe before it, as spreadsheets take such a cell
// for a formula.
std::string csv_text(std::string_view text);

// How an update ended, as the page counts and marks it.
enum class UpdateClass { VERIFIED, NOT_VERIFIED, FAILED, STOPPED, REFUSED, LEFT_ALONE };
UpdateClass update_class(const UpdateRecord& record);
// "updated, verified", "failed at records (code 3)", "newer version found, left alone"...
std::string update_outcome_text(const UpdateRecord& record);

// The page's summary, gathered row by row.
class ReportSummary {
 public:
  void add(const UpdateRecord& record);
  size_t updates() const { return updates_; }
  size_t count(UpdateClass c) const { return counts_[static_cast<size_t>(c)]; }
  // Distinct devices: one per host, port and device name.
  size_t devices() const { return devices_.size(); }
  const std::string& first() const { return first_; }
  const std::string& last() const { return last_; }
  uint64_t longest_ms() const { return longest_ms_; }

 private:
  size_t updates_ = 0;
  size_t counts_[6] = {};
  std::unordered_set<uint64_t> devices_;  // hashes: a few bytes a device, however long its names
  std::string first_, last_;
  uint64_t longest_ms_ = 0;
};

// Text for inside an HTML element or a quoted attribute.
std::string html_text(std::string_view text);

// The page: its head and summary (source names the record file), the rows, then the end.
std::string html_head(const ReportSummary& summary, std::string_view source);
// A row in two parts around its duration bar, which is scaled to the report's longest
// duration and so known only once every row has been read. One line, without its newline.
struct HtmlRow {
  std::string before_bar, after_bar;
  uint64_t duration_ms = 0;
};
HtmlRow html_row(const UpdateRecord& record);
std::string html_bar(uint64_t duration_ms, uint64_t longest_ms);
std::string html_foot(const ReportSummary& summary);

}  // namespace korvo
