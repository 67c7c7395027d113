#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "console/terminal.h"

namespace korvo {

bool console_live_view(std::FILE* file) {
  if (file == nullptr || isatty(fileno(file)) == 0) return false;
  // A terminal that says it cannot move the cursor (an editor's shell buffer, say).
  const char* term = std::getenv("TERM");
  return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

int console_columns(std::FILE* file) {
  winsize size{};
  if (file != nullptr && ioctl(fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int console_lines(std::FILE* file) {
  winsize size{};
  if (file != nullptr && ioctl(fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

}  // namespace korvo
