// A scripted console and a capture of the run's text, for tests that check output byte for byte.
#pragma once

#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>

#include "console/console.h"

using namespace korvo;

// Hands out the scripted key codes in order, then CONSOLE_END_OF_INPUT for good.
struct FakeConsole : Console {
  FakeConsole() = default;
  FakeConsole(std::initializer_list<int> codes) : keys(codes) {}

  bool key_waiting() override { return !keys.empty(); }
  // The first `typed_ahead` keys were typed before any question: they are thrown away.
  void discard_typeahead() override {
    for (; typed_ahead > 0 && !keys.empty(); --typed_ahead) keys.pop_front();
    typed_ahead = 0;
    ++discards;
  }
  // Throws once code under test keeps reading past the end of input many times: a loop that
  // would never end fails its test instead of hanging the run.
  int read_key() override;

  std::deque<int> keys;
  int reads = 0;            // every read_key call
  int reads_past_end = 0;   // calls that returned CONSOLE_END_OF_INPUT
  size_t typed_ahead = 0;
  int discards = 0;         // discard_typeahead calls
  static constexpr int READS_PAST_END_LIMIT = 1000;
};

// Collects everything written through a ConsoleOut in a temporary file.
class CapturedText {
 public:
  CapturedText();
  ~CapturedText();
  CapturedText(const CapturedText&) = delete;
  CapturedText& operator=(const CapturedText&) = delete;

  // Point this at the code under test (e.g. run.out = text.out()).
  ConsoleOut out() const { return ConsoleOut{file_}; }
  // Everything written so far, NUL bytes included.
  std::string text() const;

 private:
  std::FILE* file_ = nullptr;
};
