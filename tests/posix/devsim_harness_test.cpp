// The end-to-end harness itself, against small shell programs instead of korvo.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <string>

#include "devsim_harness_posix.h"

namespace {

TEST(DevsimHarness, PortsEnvironmentInputAndOutput) {
  DevsimHarness harness;
  DevConfig device;
  device.identity.name = "H";
  harness.add_device(3, device);
  harness.add_missing(4);
  harness.add_silent(5);
  ASSERT_TRUE(harness.start()) << harness.error();
  ::setenv("KORVO_COM7", "/stale/port", 1);  // not one of this run's ports
  HarnessProgram p;
  p.argv = {"/bin/sh", "-c",
            "stty -F \"$KORVO_COM3\" raw -echo 19200 || exit 9\n"
            "exec 3<>\"$KORVO_COM3\"\n"
            "printf '^V$' >&3\n"
            "head -c 20 <&3; echo\n"
            "[ -e \"$KORVO_COM4\" ] || echo missing4\n"
            "[ -c \"$KORVO_COM5\" ] && echo pty5\n"
            "echo \"com7=${KORVO_COM7:-unset}\"\n"
            "cat\n"
            "exit 3\n"};
  p.input = "typed ahead\n";
  const HarnessResult r = harness.run(p);
  ::unsetenv("KORVO_COM7");
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.output, "^=V \"H\" 1.13,68,6,0$\nmissing4\npty5\ncom7=unset\ntyped ahead\n");
  EXPECT_EQ(harness.log(3).commands, std::vector<std::string>{"V"});
  EXPECT_FALSE(harness.log(3).bootl);
  EXPECT_TRUE(harness.log(3).violations.empty());
}

TEST(DevsimHarness, KeysTypedOnATerminalAndTheTimeLimit) {
  DevsimHarness harness;
  ASSERT_TRUE(harness.start());
  HarnessProgram p;
  p.terminal = true;
  p.argv = {"/bin/sh", "-c",
            "[ -t 0 ] && echo terminal\n"
            "stty raw -echo\n"
            "echo ready\n"
            "k=$(dd bs=1 count=2 2>/dev/null)\n"
            "echo \"got:$k\"\n"};
  p.keys = {{"ready", 50, "y"}, {"", 100, "n"}};
  const HarnessResult r = harness.run(p);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.output.find("terminal\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("got:yn"), std::string::npos) << r.output;

  HarnessProgram slow;
  slow.argv = {"/bin/sleep", "10"};
  slow.timeout_ms = 300;
  HarnessResult killed;
  EXPECT_NONFATAL_FAILURE(killed = harness.run(slow), "did not end within 300 ms");
  EXPECT_TRUE(killed.timed_out);
  EXPECT_EQ(killed.signal, SIGKILL);
}

TEST(DevsimHarness, SignalOnceARecordIsAccepted) {
  DevsimHarness harness;
  DevConfig device;
  device.start_side = DEV_BOOT;
  harness.add_device(2, device);
  ASSERT_TRUE(harness.start());
  HarnessProgram p;
  // A start command and two records, one every 200 ms, then a long wait.
  p.argv = {"/bin/sh", "-c",
            "stty -F \"$KORVO_COM2\" raw -echo 115200\n"
            "exec 3<>\"$KORVO_COM2\"\n"
            "printf '\\022\\041!\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000' >&3\n"
            "sleep 0.2; printf '\\003\\044$' >&3\n"
            "sleep 0.2; printf '\\004\\046$\\002' >&3\n"
            "exec sleep 10\n"};
  p.signal_com = 2;
  p.signal_record = 2;
  p.signal = SIGTERM;
  p.timeout_ms = 8000;
  const HarnessResult r = harness.run(p);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.signal, SIGTERM);
  const DevLog log = harness.log(2);
  EXPECT_EQ(log.commands, (std::vector<std::string>{"!", "$", "$"}));
  EXPECT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.start_command.size(), 16u);
}

}  // namespace
