// The Windows console with no console behind it (standard input redirected, as in a
// scheduled or piped run): the key wait must end instead of waiting or spinning for ever.
// Run with standard input from /dev/null.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "console/console.h"
#include "driver/driver.h"
#include "driver/run_state.h"
#include "serial/port.h"

using namespace korvo;

namespace {

TEST(WineConsole, NoConsoleMeansNoKeyWillEverCome) {
  Console& console = console_system();
  EXPECT_FALSE(console.key_waiting());
  const uint32_t start = clock_system().now_ms();
  // Every later read fails the same way: the answer must not change.
  EXPECT_EQ(console.read_key(), CONSOLE_END_OF_INPUT);
  EXPECT_EQ(console.read_key(), CONSOLE_END_OF_INPUT);
  EXPECT_LT(clock_system().now_ms() - start, 1000u);
}

TEST(WineConsole, ExitRoutineKeyWaitEndsWithoutAKey) {
  RunState run;
  run.console = &console_system();
  run.wait_for_key = true;
  run.out.file = std::tmpfile();
  ASSERT_NE(run.out.file, nullptr);

  const uint32_t start = clock_system().now_ms();
  EXPECT_EQ(exit_program(run, ExitStatus::ENDED), ExitStatus::ENDED);
  EXPECT_LT(clock_system().now_ms() - start, 1000u);

  std::string text(64, '\0');
  std::rewind(run.out.file);
  text.resize(std::fread(text.data(), 1, text.size(), run.out.file));
  std::fclose(run.out.file);
  // tmpfile() is binary on msvcrt: the "\n" arrive as written.
  EXPECT_EQ(text, "\nPress any key to exit...\n");
}

}  // namespace
