// The options of scripted runs: --check, --yes, --force, --retries, --json, --record,
// --no-record, --history (with --format, --since, --port, --output), --all. A command line without any of them is read exactly as it always was.
#pragma once

#include <string>
#include <vector>

namespace korvo {

// Transfers an unattended update tries again unless told otherwise, and the most it may.
inline constexpr int RETRIES_DEFAULT = 2;
inline constexpr int RETRIES_MAX = 10;

struct RunOptions {
  bool check = false;
  bool yes = false;
  bool force = false;
  // --retries N: whole transfers tried again after an honest failure; -1 when not given
  // (options_parse then sets the default of --yes).
  int retries = -1;
  bool json = false;
  bool history = false;
  bool no_record = false;
  bool all = false;                 // --all: every port of the scan range and of the system
  std::string record;               // --record FILE; empty: the default file
  // --history's: --format (json when --json is given), --since as history_time_of made it,
  // --port, --output; empty when not given.
  std::string format;
  std::string since;
  std::string port_filter;
  std::string output;
  std::vector<std::string> ports;   // the port arguments, in order
};

enum class OptionsResult {
  NONE = 0,    // none of the options: the command line keeps its old reading
  RUN = 1,     // options read
  HELP = 2,    // -h or --help among them
  USAGE = 3,   // wrong: the message says why
};

// Several devices at once: more than one port, or --all (with --check or --yes only).
inline bool options_rack(const RunOptions& options) { return options.all || options.ports.size() > 1; }

[[nodiscard]] OptionsResult options_parse(int argc, const char* const* argv, RunOptions& options,
                                          std::string& message);

}  // namespace korvo
