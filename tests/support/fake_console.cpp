#include "fake_console.h"

#include <stdexcept>

using namespace korvo;

int FakeConsole::read_key() {
  ++reads;
  if (keys.empty()) {
    if (++reads_past_end > READS_PAST_END_LIMIT) {
      throw std::runtime_error("console read again and again after the end of input");
    }
    return CONSOLE_END_OF_INPUT;
  }
  const int code = keys.front();
  keys.pop_front();
  return code;
}

CapturedText::CapturedText() : file_(std::tmpfile()) {
  if (file_ == nullptr) throw std::runtime_error("no temporary file for the text capture");
}

CapturedText::~CapturedText() { std::fclose(file_); }

std::string CapturedText::text() const {
  std::fflush(file_);
  const long end = std::ftell(file_);
  std::string result(end > 0 ? static_cast<size_t>(end) : 0, '\0');
  std::rewind(file_);
  const size_t got = std::fread(result.data(), 1, result.size(), file_);
  result.resize(got);
  // Later writes go on after what is there.
  std::fseek(file_, 0, SEEK_END);
  return result;
}
