// The command line of korvo-devsim, also usable by tests that describe a device the same way.
#pragma once

#include <string>
#include <vector>

#include "devmodel.h"

struct DevsimOptions {
  DevConfig config;
  std::string image_path;              // verify the flash against this image at the end
  std::string link_path;               // symlink to the pty
  int com = 0;                         // KORVO_COM<com> for the command
  std::string timing_log;              // the host's turnaround per exchange goes here
  bool exit_status = false;            // the exit status tells the flash verdict
  std::vector<std::string> command;    // after "--"
};

enum DevsimParse {
  DEVSIM_RUN,    // options filled in
  DEVSIM_EXIT,   // help or version asked for: message is the text for standard output
  DEVSIM_USAGE,  // bad options: message says which
};

// Arguments without the program name.
[[nodiscard]] DevsimParse devsim_parse_options(const std::vector<std::string>& args, DevsimOptions& options,
                                               std::string& message);
// "1.14", "2.05.01b", "0x010E0000" -> packed version; false when malformed.
[[nodiscard]] bool devsim_parse_version(const std::string& text, uint32_t& version);
// Expands \xNN, \r, \n, \t, \0 and \\ in a text given on the command line.
std::string devsim_unescape(const std::string& text);
