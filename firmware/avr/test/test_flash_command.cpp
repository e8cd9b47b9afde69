// `./zv flash` as far as it can be checked without a board: the avrdude command
// it would run must be one the installed avrdude accepts for the Mega 2560's
// bootloader and must flash the image the build made; no board at the port is a
// clear failure.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
struct Outcome
{
  int exit_code;
  std::string output;  // stdout and stderr
};

Outcome run(const std::string& command)
{
  Outcome o{-1, ""};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
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

Outcome runFlash(const std::string& args)
{
  return run(std::string("ZV_WS=") + ZV_WORKSPACE + " " + ZV_SCRIPT + " flash " + args);
}

std::string lower(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The value after `option` in a command line, "" when it is not there.
std::string optionValue(const std::string& line, const std::string& option)
{
  std::istringstream words(line);
  std::string word;
  while (words >> word)
  {
    if (word == option && words >> word)
      return word;
  }
  return "";
}

// The description avrdude gives `id` in its list for `-p ?` or `-c ?` ("  id = description"),
// "" when it does not know it.
std::string avrdudeDescribes(const std::string& list_option, const std::string& id)
{
  std::istringstream lines(run("avrdude " + list_option + " '?'").output);
  std::string line;
  while (std::getline(lines, line))
  {
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos)
      continue;
    std::string known = line.substr(0, eq);
    known.erase(0, known.find_first_not_of(' '));
    known.erase(known.find_last_not_of(' ') + 1);
    const std::string description = line.substr(eq + 3);
    // avrdude takes a part by its id or its name, in any case.
    if (lower(known) == lower(id) || lower(description.substr(0, description.find(' '))) == lower(id))
      return description;
  }
  return "";
}
}  // namespace

TEST(FlashCommand, DryRunIsACommandAvrdudeTakesForTheMegaBootloader)
{
  const Outcome o = runFlash("--dry-run");
  ASSERT_EQ(0, o.exit_code) << o.output;
  ASSERT_EQ(0u, o.output.rfind("avrdude ", 0)) << o.output;

  // The Arduino Mega 2560: an ATmega2560 behind a bootloader that speaks STK500 v2 at 115200 baud.
  EXPECT_EQ("atmega2560", lower(avrdudeDescribes("-p", optionValue(o.output, "-p")).substr(0, 10))) << o.output;
  EXPECT_NE(std::string::npos, avrdudeDescribes("-c", optionValue(o.output, "-c")).find("STK500 v2")) << o.output;
  EXPECT_EQ("115200", optionValue(o.output, "-b"));
  EXPECT_EQ("/dev/ttyACM0", optionValue(o.output, "-P"));

  // It writes the image that the build put in the workspace, in Intel HEX.
  const std::string image = std::string(ZV_FIRMWARE_IMAGE_DIR) + "/zv_firmware.hex";
  EXPECT_EQ("flash:w:" + image + ":i", optionValue(o.output, "-U"));
  std::ifstream hex(image);
  std::string first, last, line;
  ASSERT_TRUE(std::getline(hex, first)) << image << " was not built";
  while (std::getline(hex, line))
    if (!line.empty())
      last = line;
  EXPECT_EQ(':', first[0]);
  EXPECT_EQ(":00000001FF", last.substr(0, 11));  // the end-of-file record
}

TEST(FlashCommand, TakesThePortEitherWay)
{
  EXPECT_EQ("/dev/ttyUSB3", optionValue(runFlash("--dry-run --port /dev/ttyUSB3").output, "-P"));
  EXPECT_EQ("/dev/ttyACM1", optionValue(runFlash("--port=/dev/ttyACM1 --dry-run").output, "-P"));
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
