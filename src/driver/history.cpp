#include "driver/history.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "console/state.h"
#include "driver/site_report.h"
#include "driver/update_record.h"
#include "update/device_text.h"

namespace korvo {

namespace {

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
  std::string outcome = update_outcome_text(r);
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
// when the line was longer than any record and only its last UPDATE_RECORD_LINE_LIMIT bytes are kept. The
// bytes read, or -1 with why. Memory stays bounded whatever the file holds.
template <typename Take>
int64_t each_line(StateFile& file, uint64_t limit, Take take, std::string& why) {
  std::vector<char> block(64 * 1024);
  std::string carry;
  bool cut = false;
  uint64_t total = 0;
  const auto keep = [&](const char* data, size_t count) {
    carry.append(data, count);
    if (carry.size() > 2 * UPDATE_RECORD_LINE_LIMIT) {
      carry.erase(0, carry.size() - UPDATE_RECORD_LINE_LIMIT);
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
  // whole: every field of each update kept, not only the table's.
  HistoryReader(ConsoleOut& out, const std::string& file, bool warn, bool whole)
      : out_(out), file_(file), warn_(warn), whole_(whole) {}

  // Calls good(line, record) for each update of the line.
  template <typename Good>
  void take(std::string_view line, bool cut, Good good) {
    ++number_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!cut && line.find_first_not_of(" \t") == std::string_view::npos) return;
    UpdateRecord record;
    if (!cut && update_record_parse(line, record, whole_)) {
      good(line, record);
      return;
    }
    size_t kept = 0;
    for (size_t from = 0; from < line.size();) {
      const size_t next = std::min(line.find(RECORD_START, from + 1), line.size());
      const std::string_view piece = line.substr(from, next - from);
      if ((from > 0 || !cut) && update_record_parse(piece, record, whole_)) {
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
  bool whole_;
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

// The query's filters.
class Selection {
 public:
  explicit Selection(const HistoryQuery& query) : query_(query) {}
  bool takes(const UpdateRecord& r) const {
    if (!query_.port.empty() && !history_port_matches(query_.port, r.port, r.path)) return false;
    if (query_.since.empty()) return true;
    // A time the record's own form does not hold cannot be said to be after the one asked for.
    const std::optional<std::string> time = history_time_of(r.time);
    return time && *time >= query_.since;
  }

 private:
  const HistoryQuery& query_;
};

// What the first pass made of each row, for the second, on a scratch file: memory stays bounded
// and no line is parsed twice. Rows are single lines (their texts are filtered of control bytes).
class Spool {
 public:
  Spool() : file_(state_scratch_file()) {}
  ~Spool() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  bool usable() const { return file_ != nullptr && good_; }
  // row without its newline.
  void add(std::string_view row) {
    if (!usable()) return;
    good_ = std::fwrite(row.data(), 1, row.size(), file_) == row.size() && std::fputc('\n', file_) != EOF;
  }
  // Each row added, in order; false when they could not be read back whole.
  template <typename Each>
  bool each(Each each) {
    if (!usable() || std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
    std::vector<char> block(64 * 1024);
    std::string carry;
    size_t got = 0;
    while ((got = std::fread(block.data(), 1, block.size(), file_)) > 0) {
      size_t from = 0;
      for (const char* end; (end = static_cast<const char*>(std::memchr(block.data() + from, '\n', got - from)));) {
        const auto at = static_cast<size_t>(end - block.data());
        if (carry.empty()) {
          each(std::string_view(block.data() + from, at - from));
        } else {
          carry.append(block.data() + from, at - from);
          each(std::string_view(carry));
          carry.clear();
        }
        from = at + 1;
      }
      carry.append(block.data() + from, got - from);
    }
    return std::ferror(file_) == 0 && carry.empty();
  }

 private:
  std::FILE* file_ = nullptr;
  bool good_ = true;
};

constexpr char CELL = '\x1f';  // between the cells of a spooled row: a control byte no cell holds

// The cells of a spooled row.
template <size_t N>
std::array<std::string_view, N> cells_of(std::string_view row) {
  std::array<std::string_view, N> cells{};
  for (size_t i = 0; i < N; ++i) {
    const size_t end = i + 1 < N ? std::min(row.find(CELL), row.size()) : row.size();
    cells[i] = row.substr(0, end);
    row.remove_prefix(std::min(end + 1, row.size()));
  }
  return cells;
}

uint64_t number_of(std::string_view digits) {
  uint64_t n = 0;
  for (char c : digits) n = n * 10 + static_cast<uint64_t>(c - '0');
  return n;
}

// One run of --history: the record open, its reader and what goes out.
class History {
 public:
  History(ConsoleOut& out, const HistoryQuery& query, std::string file, const HistoryOutput& open_output)
      : out_(out), query_(query), file_(std::move(file)), open_output_(open_output), selection_(query),
        reader_(out, file_, true, query.format == HistoryFormat::CSV || query.format == HistoryFormat::HTML),
        pending_(out) {}

  // False when the file could not be read (said on out.err).
  bool run() {
    std::string& why = why_;
    const StateFile::Opened opened = in_.open(file_, why);
    if (opened == StateFile::Opened::REFUSED) return cannot_read();
    // Only now is the output made: a record that cannot be read leaves a report of an earlier
    // run as it was.
    if (open_output_ && !open_output_(out_)) return false;
    // A CSV's line ends are its own, and the page should be the same file everywhere; the
    // table and the JSON lines stay the platform's text, as they always were.
    if (query_.format == HistoryFormat::CSV || query_.format == HistoryFormat::HTML) console_exact_bytes(out_.file);
    switch (opened) {
      case StateFile::Opened::MISSING:
        tell(out_, "korvo: no updates recorded yet: %s does not exist\n", shown_line(file_).c_str());
        // An empty report is still a report: the page and the CSV header say there was nothing.
        if (query_.format == HistoryFormat::CSV) pending_.text() += csv_header();
        if (query_.format == HistoryFormat::HTML) {
          const ReportSummary none;
          pending_.text() += html_head(none, file_);
          pending_.text() += html_foot(none);
        }
        return true;
      case StateFile::Opened::REFUSED:
      case StateFile::Opened::OK: break;
    }
    bool read = false;
    switch (query_.format) {
      case HistoryFormat::JSON: read = json(); break;
      case HistoryFormat::CSV: read = csv(); break;
      case HistoryFormat::TABLE: read = table(); break;
      case HistoryFormat::HTML: read = html_page(); break;
    }
    pending_.flush();
    if (!read) return cannot_read();
    reader_.summary();
    if (shown_ == 0) {
      tell(out_, "korvo: no updates %s%s\n", query_.port.empty() && query_.since.empty() ? "recorded in " : "selected from ",
           shown_line(file_).c_str());
    }
    return true;
  }

 private:
  bool cannot_read() {
    pending_.flush();
    tell(out_, "korvo: cannot read the update record %s: %s\n", shown_line(file_).c_str(), shown_line(why_).c_str());
    return false;
  }

  // Every update the query selects, to visit(line, record), from no more than limit bytes: the
  // bytes read, or -1.
  template <typename Visit>
  int64_t each_update(HistoryReader& reader, uint64_t limit, Visit visit) {
    const auto good = [&](std::string_view line, const UpdateRecord& r) {
      if (selection_.takes(r)) visit(line, r);
    };
    return each_line(in_, limit, [&](std::string_view line, bool cut) { reader.take(line, cut, good); }, why_);
  }

  // Formats whose beginning depends on every row (the table's widths, the page's summary): the
  // first pass makes each row (make) and keeps it on a scratch file, start writes the
  // beginning, emit each row. Without a scratch file the rows are made again from a second
  // reading of the record, no further than the first went should the file grow meanwhile.
  template <typename Make, typename Start, typename Emit>
  bool two_passes(Make make, Start start, Emit emit) {
    Spool spool;
    std::string row;
    const int64_t read = each_update(reader_, UINT64_MAX, [&](std::string_view, const UpdateRecord& r) {
      ++shown_;
      row.clear();
      make(r, row);
      spool.add(row);
    });
    if (read < 0) return false;
    start();
    if (shown_ == 0) return true;
    if (spool.usable() && spool.each(emit)) return true;
    if (!in_.rewind(why_)) return false;
    HistoryReader quiet(out_, file_, false, reader_whole());
    return each_update(quiet, static_cast<uint64_t>(read), [&](std::string_view, const UpdateRecord& r) {
             row.clear();
             make(r, row);
             emit(std::string_view(row));
           }) >= 0;
  }

  bool reader_whole() const { return query_.format == HistoryFormat::CSV || query_.format == HistoryFormat::HTML; }

  // The lines as stored, each through the text filter.
  bool json() {
    return each_update(reader_, UINT64_MAX, [&](std::string_view line, const UpdateRecord&) {
             ++shown_;
             std::string& text = pending_.text();
             add_json_shown(text, line);
             text += '\n';
           }) >= 0;
  }

  bool csv() {
    pending_.text() += csv_header();
    return each_update(reader_, UINT64_MAX, [&](std::string_view, const UpdateRecord& r) {
             ++shown_;
             csv_row(pending_.text(), r);
           }) >= 0;
  }

  bool table() {
    Widths width{};
    for (size_t i = 0; i < TABLE_COLUMNS; ++i) width[i] = columns(HEADING[i]);
    const auto make = [&](const UpdateRecord& r, std::string& row) {
      const Row cells = row_of(r);
      for (size_t i = 0; i < TABLE_COLUMNS; ++i) {
        width[i] = std::max(width[i], columns(cells[i]));
        if (i > 0) row += CELL;
        row += cells[i];
      }
    };
    const auto start = [&] {
      if (shown_ > 0) add_row(pending_.text(), HEADING, width);
    };
    const auto emit = [&](std::string_view row) {
      const auto cells = cells_of<TABLE_COLUMNS>(row);
      std::string& out = pending_.text();
      for (size_t i = 0; i < TABLE_COLUMNS; ++i) {
        out += cells[i];
        if (i + 1 < TABLE_COLUMNS) out.append(width[i] - std::min(width[i], columns(cells[i])) + 2, ' ');
      }
      out += '\n';
    };
    return two_passes(make, start, emit);
  }

  bool html_page() {
    ReportSummary summary;
    const auto make = [&](const UpdateRecord& r, std::string& row) {
      summary.add(r);
      const HtmlRow parts = html_row(r);
      row += std::to_string(parts.duration_ms);
      row += CELL;
      row += parts.before_bar;
      row += CELL;
      row += parts.after_bar;
    };
    const auto start = [&] { pending_.text() += html_head(summary, file_); };
    const auto emit = [&](std::string_view row) {
      const auto cells = cells_of<3>(row);
      std::string& out = pending_.text();
      out += cells[1];
      out += html_bar(number_of(cells[0]), summary.longest_ms());
      out += cells[2];
      out += '\n';
    };
    const bool read = two_passes(make, start, emit);
    pending_.text() += html_foot(summary);
    return read;
  }

  ConsoleOut& out_;
  const HistoryQuery& query_;
  const std::string file_;
  const HistoryOutput& open_output_;
  Selection selection_;
  StateFile in_;
  HistoryReader reader_;
  Pending pending_;
  size_t shown_ = 0;
  std::string why_;
};

bool digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return false;
  return std::all_of(text.begin() + static_cast<ptrdiff_t>(at), text.begin() + static_cast<ptrdiff_t>(at + count),
                     [](char c) { return c >= '0' && c <= '9'; });
}

int number_at(std::string_view text, size_t at, size_t count) {
  int n = 0;
  for (size_t i = at; i < at + count; ++i) n = n * 10 + (text[i] - '0');
  return n;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_days(int64_t y, int m) {
  static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : DAYS[m - 1];
}

bool com_name(std::string_view name) {
  return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
         (name[2] == 'M' || name[2] == 'm') && digits(name, 3, name.size() - 3);
}

}  // namespace

std::optional<HistoryFormat> history_format_of(std::string_view word) {
  static constexpr std::pair<std::string_view, HistoryFormat> FORMATS[] = {
      {"table", HistoryFormat::TABLE}, {"csv", HistoryFormat::CSV}, {"html", HistoryFormat::HTML}, {"json", HistoryFormat::JSON}};
  for (const auto& [name, format] : FORMATS) {
    if (word == name) return format;
  }
  return std::nullopt;
}

std::optional<std::string> history_time_of(std::string_view text) {
  // YYYY-MM-DD
  if (!digits(text, 0, 4) || text.size() < 10 || text[4] != '-' || !digits(text, 5, 2) || text[7] != '-' ||
      !digits(text, 8, 2)) {
    return std::nullopt;
  }
  const int64_t year = number_at(text, 0, 4);
  const int month = number_at(text, 5, 2);
  const int day = number_at(text, 8, 2);
  if (month < 1 || month > 12 || day < 1 || day > month_days(year, month)) return std::nullopt;
  int hour = 0, minute = 0, second = 0, offset = 0;
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    // hh:mm, then :ss
    if (!digits(text, at + 1, 2) || text.size() < at + 6 || text[at + 3] != ':' || !digits(text, at + 4, 2)) {
      return std::nullopt;
    }
    hour = number_at(text, at + 1, 2);
    minute = number_at(text, at + 4, 2);
    at += 6;
    if (at < text.size() && text[at] == ':') {
      if (!digits(text, at + 1, 2)) return std::nullopt;
      second = number_at(text, at + 1, 2);
      at += 3;
    }
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    if (at < text.size() && text[at] == 'Z') {
      ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      if (!digits(text, at + 1, 2) || text.size() < at + 6 || text[at + 3] != ':' || !digits(text, at + 4, 2)) {
        return std::nullopt;
      }
      const int hours = number_at(text, at + 1, 2);
      const int minutes = number_at(text, at + 4, 2);
      if (hours > 23 || minutes > 59) return std::nullopt;
      offset = (text[at] == '+' ? 1 : -1) * (hours * 60 + minutes);
      at += 6;
    }
  }
  if (at != text.size()) return std::nullopt;
  // To UTC: a local time ahead of UTC by the offset.
  const int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset * 60;
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t in_day = seconds - days * 86400;
  int64_t y = 0;
  int m = 0, d = 0;
  civil_from_days(days, y, m, d);
  if (y < 0 || y > 9999) return std::nullopt;
  char canonical[96];  // room for any int, so the compiler sees no truncation
  std::snprintf(canonical, sizeof canonical, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(y), m, d,
                static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
  return std::string(canonical);
}

bool history_port_matches(std::string_view asked, std::string_view port, std::string_view path) {
  if (asked == port || (!path.empty() && asked == path)) return true;
  if (!com_name(asked) || !com_name(port) || asked.size() != port.size()) return false;
  return std::equal(asked.begin(), asked.end(), port.begin(),
                    [](char a, char b) { return (a | 0x20) == (b | 0x20); });
}

bool update_record_history(ConsoleOut& out, const HistoryQuery& query, const HistoryOutput& open_output) {
  std::string file = query.record.empty() ? state_default_record_path() : query.record;
  if (file.empty()) {
    tell(out, "korvo: %s\n", UPDATE_RECORD_NO_DEFAULT);
    return false;
  }
  History history(out, query, std::move(file), open_output);
  return history.run();
}

}  // namespace korvo
