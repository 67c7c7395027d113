// Where the program keeps what it remembers between runs (the update record), and the few
// facts of the machine a record names. The platform calls stay behind these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvo {

// The record's default file: $XDG_STATE_HOME/korvo/updates.jsonl, or
// $HOME/.local/state/korvo/updates.jsonl when XDG_STATE_HOME is unset, empty or not absolute;
// on Windows %LOCALAPPDATA%\korvo\updates.jsonl. Empty when none of them can be found.
std::string state_default_record_path();

// Appends line and a newline to the file at path with a single append write, flushed to the
// disk before it returns, so that writers running at once never interleave or lose a line and
// a crash loses at most this line. When the file does not end in a newline (a line torn by a
// full disk or a crash), the same write starts with one, so that the torn line never takes
// this one with it. The folders and the file are made when missing, readable by the user
// alone. Only a regular file is written: the open never waits (a FIFO without a reader would
// hold the run for ever), and anything else is refused by name. False with the reason in why
// (the path included) when the line was not written whole.
bool state_append_line(const std::string& path, const std::string& line, std::string& why);

// A file of the program's state opened for reading, a regular file only: the open never waits,
// and a FIFO, a device, a folder or a socket is refused (a FIFO or /dev/zero would hold or
// feed the reader for ever).
class StateFile {
 public:
  enum class Opened { OK, MISSING, REFUSED };

  StateFile() = default;
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // REFUSED with why ("not a regular file (a FIFO)", or the system's reason), without the path.
  Opened open(const std::string& path, std::string& why);
  // Up to size bytes into buffer; 0 at the end of the file; -1 with the system's reason in why.
  long read(char* buffer, size_t size, std::string& why);
  // Back to the first byte, for a second pass over the file.
  bool rewind(std::string& why);

 private:
  void close();
  intptr_t handle_ = -1;  // the descriptor or the HANDLE
};

// A scratch file of the program's own, open for reading and writing, gone when closed (or
// when the program ends); null when none can be made. Holds what one pass over the record made
// for the next, so that memory stays bounded whatever the record's size.
std::FILE* state_scratch_file();

// The machine's name; empty when the system does not say.
std::string state_host_name();

// The time now in UTC to the second, as "2026-12-08T07:40:12Z".
std::string state_utc_now();

}  // namespace korvo
