#include "update/diagnostics.h"

namespace korvo {

std::string diagnostic_lines(const std::string& text) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of('\n');
  return text.substr(first, last - first + 1);
}

void Diagnostics::say(const std::string& text) {
  const std::string lines = diagnostic_lines(text);
  std::lock_guard<std::mutex> lock(mutex_);
  if (lines.empty() || !said_.insert(lines).second) return;
  if (route_) {
    route_(lines);
    return;
  }
  tell(out_, open_lines_ && console_line_open() ? "\n%s\n" : "%s\n", lines.c_str());
}

void Diagnostics::route(std::function<void(const std::string&)> to) {
  std::lock_guard<std::mutex> lock(mutex_);
  route_ = std::move(to);
}

}  // namespace korvo
