// `./zv flash` as far as it can be checked without a board: the avrdude command
// line it would run, and a clear failure when no board is at the port.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>

namespace
{
const char* const kWorkspace = "/tmp/zv_flash_test_ws";

struct Outcome
{
  int exit_code;
  std::string output;  // stdout and stderr
};

Outcome runFlash(const std::string& args)
{
  const std::string command = std::string("ZV_WS=") + kWorkspace + " " + ZV_SCRIPT + " flash " + args + " 2>&1";
  Outcome o{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return o;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
    o.output.append(buf, n);
  const int status = pclose(pipe);
  o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

std::string avrdudeLine(const std::string& port)
{
  return "avrdude -p atmega2560 -c wiring -P " + port +
         " -b 115200 -D -U flash:w:/tmp/zv_flash_test_ws/firmware/zv_firmware.hex:i\n";
}
}  // namespace

TEST(FlashCommand, DryRunPrintsTheBootloaderCommandForThePort)
{
  Outcome o = runFlash("--dry-run");
  EXPECT_EQ(0, o.exit_code);
  EXPECT_EQ(avrdudeLine("/dev/ttyACM0"), o.output);

  o = runFlash("--dry-run --port /dev/ttyUSB3");
  EXPECT_EQ(0, o.exit_code);
  EXPECT_EQ(avrdudeLine("/dev/ttyUSB3"), o.output);

  o = runFlash("--port=/dev/ttyACM1 --dry-run");
  EXPECT_EQ(0, o.exit_code);
  EXPECT_EQ(avrdudeLine("/dev/ttyACM1"), o.output);
}

TEST(FlashCommand, FailsNamingThePortWhenNoBoardIsThere)
{
  const Outcome o = runFlash("--port /dev/zv-no-such-board");
  EXPECT_NE(0, o.exit_code);
  EXPECT_NE(std::string::npos, o.output.find("no board at /dev/zv-no-such-board")) << o.output;
  EXPECT_EQ(std::string::npos, o.output.find("avrdude:")) << "avrdude must not be started: " << o.output;
}

TEST(FlashCommand, RefusesAnUnknownOption)
{
  const Outcome o = runFlash("--dry-run --baud 57600");
  EXPECT_NE(0, o.exit_code);
  EXPECT_NE(std::string::npos, o.output.find("--baud")) << o.output;
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
