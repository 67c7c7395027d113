// `korvo --history`: the update record read back as a table, CSV, an HTML page or its own
// lines, optionally only from a time on or of one port. The file is streamed: memory stays
// bounded whatever its size, and each line is parsed once.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"

namespace korvo {

enum class HistoryFormat { TABLE, CSV, HTML, JSON };

// "table", "csv", "html" or "json"; none for any other word.
std::optional<HistoryFormat> history_format_of(std::string_view word);

// An ISO 8601 date or time as the record's times are written, "2026-12-08T07:40:12Z" (UTC):
// "2026-12-08" (its midnight, UTC), "2026-12-08T07:40" or with seconds, each with "Z" or an
// offset such as "+01:00" ("2026-12-08T08:40+01:00" is 07:40 UTC); a time without either is
// taken as UTC, as the record keeps it. A space may stand for the "T". None when the text is
// no such date or names no real day or time.
std::optional<std::string> history_time_of(std::string_view text);

struct HistoryQuery {
  std::string record;   // the record's path; empty: its default place
  HistoryFormat format = HistoryFormat::TABLE;
  std::string since;    // from history_time_of: only updates at or after it; empty: all
  std::string port;     // only updates on this port (as given, or the path opened); empty: all
};

// Whether an update's port is the one asked for: its name as given or the path opened, a
// COM name in either case ("com3" is COM3).
bool history_port_matches(std::string_view asked, std::string_view port, std::string_view path);

// Makes the report's file once the record has opened (or is known missing), before anything
// is written: sets out.file, or says why not on out.err and returns false.
using HistoryOutput = std::function<bool(ConsoleOut& out)>;

// The record on out.file in the query's format, oldest first. A damaged line is skipped with a
// "korvo: " warning on out.err naming its line number. A missing file is an empty history,
// with a note. False when the file cannot be read, with a "korvo: " line saying why, or when
// open_output (when given) did not make the output.
bool update_record_history(ConsoleOut& out, const HistoryQuery& query, const HistoryOutput& open_output = {});

}  // namespace korvo
