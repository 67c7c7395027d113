// Every "korvo: " line of a run goes through one sink, whichever thread and renderer says it:
// a line already said is not said again (a lock folder's warning, the test images' note), and
// each ends with its newline, so that a script reading standard error line by line gets all.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "console/console.h"

namespace korvo {

class Diagnostics {
 public:
  // open_lines: the console's own texts share the screen and may leave their line open (a
  // port's name before its verdict, a prompt): a diagnostic then starts on a new line.
  Diagnostics(ConsoleOut out, bool open_lines) : out_(out), open_lines_(open_lines) {}

  // One or more lines; the line breaks around the text are the sink's to add.
  void say(const std::string& text);
  // From now on the lines go to `to` instead (a view that draws on the terminal puts them
  // above what it draws); an empty function sends them to the diagnostics stream again.
  void route(std::function<void(const std::string&)> to);

 private:
  std::mutex mutex_;
  ConsoleOut out_;
  bool open_lines_;
  std::set<std::string> said_;
  std::function<void(const std::string&)> route_;
};

// A diagnostic's text without the line breaks around it.
std::string diagnostic_lines(const std::string& text);

}  // namespace korvo
