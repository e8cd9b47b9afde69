#include "zv_sim/pty_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using zv_sim::PtyLink;

namespace
{
std::string tempPath(const std::string& name)
{
  return "/tmp/zv_sim_test_" + std::to_string(getpid()) + "_" + name;
}

int openHost(const std::string& path)
{
  return open(path.c_str(), O_RDWR | O_NOCTTY);
}

// Reads from the host's side until n bytes arrived or 2 s passed.
std::vector<uint8_t> hostRead(int fd, size_t n)
{
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got.size() < n && std::chrono::steady_clock::now() < deadline)
  {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0)
    {
      uint8_t buf[256];
      const ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0)
      {
        got.insert(got.end(), buf, buf + r);
      }
    }
  }
  return got;
}

// Polls the link until it has delivered n bytes or 2 s passed.
std::vector<uint8_t> linkRead(PtyLink& link, size_t n)
{
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got.size() < n && std::chrono::steady_clock::now() < deadline)
  {
    link.receive(got, 0.02);
  }
  return got;
}

bool isSymlink(const std::string& path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
}  // namespace

TEST(PtyLink, BytesPassBothWaysRawAndSurviveTheHostReopening)
{
  const std::string path = tempPath("tty");
  {
    PtyLink link(path);
    ASSERT_TRUE(isSymlink(path));
    std::vector<uint8_t> none;
    EXPECT_FALSE(link.receive(none, 0.01)) << "nobody has opened the port yet";

    int host = openHost(path);
    ASSERT_GE(host, 0);
    // Bytes a cooked terminal would translate or swallow: CR, NL, ^C, ^D, XOFF.
    const std::vector<uint8_t> raw = {0xA5, 0x0D, 0x0A, 0x03, 0x04, 0x13, 0x00, 0xFF};
    ASSERT_EQ(write(host, raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
    EXPECT_EQ(linkRead(link, raw.size()), raw);
    EXPECT_TRUE(link.hostPresent());
    link.send(raw);
    EXPECT_EQ(hostRead(host, raw.size()), raw);

    close(host);
    std::vector<uint8_t> in;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.receive(in, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40))
        << "an absent host must not make the caller's loop spin";
    EXPECT_TRUE(link.takeHostLost());
    EXPECT_FALSE(link.takeHostLost());
    link.send(raw);  // dropped, not queued for the next host
    EXPECT_EQ(link.bytesDropped(), raw.size());

    host = openHost(path);
    ASSERT_GE(host, 0);
    const std::vector<uint8_t> again = {1, 2, 3};
    ASSERT_EQ(write(host, again.data(), again.size()), 3);
    EXPECT_EQ(linkRead(link, 3), again);
    link.send(again);
    EXPECT_EQ(hostRead(host, 3), again) << "nothing stale from the absent time arrives first";
    close(host);
  }
  EXPECT_FALSE(isSymlink(path)) << "the link is removed on exit";
}

TEST(PtyLink, ReplacesAStaleLinkButNeverAFile)
{
  const std::string path = tempPath("stale");
  ASSERT_EQ(symlink("/dev/pts/does-not-exist", path.c_str()), 0);
  {
    PtyLink link(path);
    char target[256] = {};
    ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), link.slavePath());
  }

  const std::string file = tempPath("file");
  {
    std::ofstream(file) << "keep me";
  }
  EXPECT_THROW(PtyLink link(file), std::runtime_error);
  std::ifstream in(file);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
  unlink(file.c_str());
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
