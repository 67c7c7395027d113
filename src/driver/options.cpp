#include "driver/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cstring>

#include "driver/history.h"

namespace korvo {

namespace {

// Any of these makes the command line a scripted one.
bool scripted_option(const char* arg) {
  static constexpr std::array<const char*, 10> NAMES = {"--check",   "-y",       "--yes",
                                                        "--force",   "--json",   "--no-record",
                                                        "--history", "--record", "--retries",
                                                        "--all"};
  // Options with a value, also written --name=value.
  static constexpr std::array<const char*, 6> VALUED = {"--record", "--retries", "--format",
                                                        "--since",  "--port",    "--output"};
  for (const char* name : NAMES) {
    if (std::strcmp(arg, name) == 0) return true;
  }
  for (const char* name : VALUED) {
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=')) return true;
  }
  return false;
}

// A value that is one of the options, or looks like one, is an option forgotten its value
// ("--record --yes 3" would otherwise write the record to a file named "--yes").
std::string not_an_option(const std::string& value) {
  const bool option = scripted_option(value.c_str()) || value == "-h" || value == "--help" ||
                      value.rfind("--", 0) == 0;
  return option ? "needs a value, not the option " + value : "";
}

// Decimal digits and nothing else: no sign, no blanks, no "0x".
std::string decimal(const std::string& value) {
  const bool digits = !value.empty() && value.size() <= 9 &&
                      std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  return digits ? "" : "takes a number of decimal digits, not " + value;
}

std::string format_word(const std::string& value) {
  return history_format_of(value) ? "" : "is table, csv, html or json, not " + value;
}

std::string time_text(const std::string& value) {
  return history_time_of(value) ? "" : "takes a date or time such as 2026-12-08 or 2026-12-08T07:40Z, not " + value;
}

}  // namespace

OptionsResult options_parse(int argc, const char* const* argv, RunOptions& options, std::string& message) {
  if (std::none_of(argv + 1, argv + argc, scripted_option)) return OptionsResult::NONE;

  CLI::App app("korvo", "korvo");
  app.allow_windows_style_options(false);  // "/dev/ttyUSB0" is a port, not an option
  app.set_help_flag("-h,--help");
  app.add_flag("--check", options.check);
  app.add_flag("-y,--yes", options.yes);
  app.add_flag("--force", options.force);
  app.add_option("--retries", options.retries)
      ->type_name("N")
      ->check(CLI::Validator(not_an_option, ""))
      ->check(CLI::Validator(decimal, ""))
      ->check(CLI::Range(0, RETRIES_MAX));
  app.add_flag("--json", options.json);
  app.add_flag("--history", options.history);
  app.add_flag("--no-record", options.no_record);
  app.add_option("--record", options.record)->type_name("FILE")->check(CLI::Validator(not_an_option, ""));
  app.add_flag("--all", options.all);
  const CLI::Validator value(not_an_option, "");
  app.add_option("--format", options.format)->type_name("FORMAT")->check(value)->check(CLI::Validator(format_word, ""));
  app.add_option("--since", options.since)->type_name("TIME")->check(value)->check(CLI::Validator(time_text, ""));
  app.add_option("--port", options.port_filter)->type_name("NAME")->check(value);
  app.add_option("--output", options.output)->type_name("FILE")->check(value);
  app.add_option("ports", options.ports);
  try {
    // CLI11 takes the arguments last first.
    std::vector<std::string> args(argv + 1, argv + argc);
    std::reverse(args.begin(), args.end());
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    return OptionsResult::HELP;
  } catch (const CLI::ParseError& e) {
    message = e.what();
    return OptionsResult::USAGE;
  }
  const auto conflict = [&message](const char* why) {
    message = why;
    return OptionsResult::USAGE;
  };
  if (options.check && options.yes) return conflict("--check and --yes exclude each other");
  if (options.force && !options.yes) return conflict("--force goes with --yes");
  if (options.retries >= 0 && !options.yes) return conflict("--retries goes with --yes");
  if (options.yes && options.retries < 0) options.retries = RETRIES_DEFAULT;
  if (options.json && !options.check && !options.yes && !options.history) {
    return conflict("--json goes with --check, --yes or --history");
  }
  if (options.no_record && !options.record.empty()) return conflict("--record and --no-record exclude each other");
  if (options.history && (options.check || options.yes || !options.ports.empty())) {
    return conflict("--history takes no port and no other run");
  }
  if (options.all && !options.check && !options.yes) return conflict("--all goes with --check or --yes");
  const bool history_only = !options.format.empty() || !options.since.empty() || !options.port_filter.empty() ||
                            !options.output.empty();
  if (history_only && !options.history) return conflict("--format, --since, --port and --output go with --history");
  if (options.json && !options.format.empty() && options.format != "json") {
    return conflict("--json is --format json; it excludes another --format");
  }
  if (options.json) options.format = "json";
  if (!options.since.empty()) options.since = *history_time_of(options.since);
  if (options.all && !options.ports.empty()) return conflict("--all takes no port");
  // Several ports without --check or --yes: the old command line's usage text.
  return OptionsResult::RUN;
}

}  // namespace korvo
