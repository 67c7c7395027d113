// The Windows console with no console behind it (standard input redirected, as in a
// scheduled or piped run): the key wait must end instead of waiting or spinning for ever.
// Run with standard input from /dev/null.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "console/console.h"
#include "console/state.h"
#include "driver/driver.h"
#include "driver/update_record.h"
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

// Each text reaches the console in one write. An unbuffered stream that the C library fed a
// character at a time cost a system call a character: 34 for every progress line, between one
// record's status and the next record. A message-mode pipe keeps each write apart.
TEST(WineConsole, EachTextIsOneWrite) {
  const char* name = R"(\\.\pipe\korvo-console-writes)";
  const HANDLE reader = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                         1, 0, 65536, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  const HANDLE writer = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::FILE* file = _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_WRONLY | _O_BINARY), "wb");
  ASSERT_NE(file, nullptr);
  std::setvbuf(file, nullptr, _IONBF, 0);  // as standard output is
  ConsoleOut out{file, file};

  const std::string long_text(3000, 'x');  // longer than any buffer on the stack
  say(out, "\rUpdating firmware: %3u%% complete.", 25u);
  tell(out, "korvo: %s: %s\n", "\\\\.\\COM3", "the port is in use");
  say(out, "%s", long_text.c_str());
  say_bytes(out, "\r\n\x1b", 3);

  // The next write, whole; "" when none is waiting.
  const auto next = [reader] {
    DWORD waiting = 0;
    if (!PeekNamedPipe(reader, nullptr, 0, nullptr, nullptr, &waiting) || waiting == 0) return std::string();
    std::string text(65536, '\0');
    DWORD got = 0;
    if (!ReadFile(reader, text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) return std::string("?");
    text.resize(got);
    return text;
  };
  EXPECT_EQ(next(), "\rUpdating firmware:  25% complete.");
  EXPECT_EQ(next(), "korvo: \\\\.\\COM3: the port is in use\n");
  const std::string whole = next();
  EXPECT_EQ(whole.size(), long_text.size());
  EXPECT_TRUE(whole == long_text);
  EXPECT_EQ(next(), "\r\n\x1b");
  EXPECT_EQ(next(), "");
  std::fclose(file);
  CloseHandle(reader);
}

// The update record's default file lives under %LOCALAPPDATA%, its folder made on the way.
TEST(WineState, RecordGoesUnderLocalAppData) {
  char temp[MAX_PATH + 1] = {};
  ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
  const std::string local = std::string(temp) + "korvo-state-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(SetEnvironmentVariableA("LOCALAPPDATA", local.c_str()));
  const std::string path = state_default_record_path();
  EXPECT_EQ(path, local + "\\korvo\\updates.jsonl");

  UpdateRecord r;
  r.time = state_utc_now();
  r.host = state_host_name();
  r.port = "COM7";
  r.path = "\\\\.\\COM7";
  r.version_before = "1.13";
  std::string why;
  ASSERT_TRUE(update_record_append(r, "", why)) << why;
  r.updated = true;
  ASSERT_TRUE(update_record_append(r, "", why)) << why;
  EXPECT_FALSE(r.host.empty());

  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const size_t end = text.find('\n');
  ASSERT_NE(end, std::string::npos) << text;
  EXPECT_EQ(text.size(), text.find('\n', end + 1) + 1);  // two lines, "\n" alone ends each
  UpdateRecord first, second;
  ASSERT_TRUE(update_record_parse(text.substr(0, end), first));
  ASSERT_TRUE(update_record_parse(text.substr(end + 1, text.size() - end - 2), second));
  EXPECT_EQ(first.path, r.path);
  EXPECT_FALSE(first.updated);
  EXPECT_TRUE(second.updated);

  EXPECT_TRUE(DeleteFileA(path.c_str()));
  EXPECT_TRUE(RemoveDirectoryA((local + "\\korvo").c_str()));
  EXPECT_TRUE(RemoveDirectoryA(local.c_str()));
}

}  // namespace
