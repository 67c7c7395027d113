// Where the program keeps what it remembers between runs (the update record), and the few
// facts of the machine a record names. The platform calls stay behind these functions.
#pragma once

#include <string>

namespace korvo {

// The record's default file: $XDG_STATE_HOME/korvo/updates.jsonl, or
// $HOME/.local/state/korvo/updates.jsonl when XDG_STATE_HOME is unset, empty or not absolute;
// on Windows %LOCALAPPDATA%\korvo\updates.jsonl. Empty when none of them can be found.
std::string state_default_record_path();

// Appends line and a newline to the file at path with a single append write, flushed to the
// disk before it returns, so that writers running at once never interleave or lose a line and
// a crash loses at most this line. The folders and the file are made when missing, readable
// by the user alone. False with the system's reason in why when the line was not written
// whole.
bool state_append_line(const std::string& path, const std::string& line, std::string& why);

// The machine's name; empty when the system does not say.
std::string state_host_name();

// The time now in UTC to the second, as "2026-12-08T07:40:12Z".
std::string state_utc_now();

}  // namespace korvo
