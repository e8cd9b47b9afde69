// Plays the rig on a pseudo-terminal for the node tests and the benchmarks:
// the driver opens `link` (a symlink to the pty's slave side), the rig side
// reads and writes the master. write(), plug() and unplug() may be called from
// several threads; reading belongs to one. waitUntil() is the bounded wait of
// the tests and benchmarks.
#ifndef ZV_ROS_DRIVER_TEST_PTY_RIG_H
#define ZV_ROS_DRIVER_TEST_PTY_RIG_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zv_protocol/frame_codec.h"

namespace zv_ros_driver
{
// Polls pred every few ms until it holds (true) or timeout_s has passed (false).
template <typename Pred>
bool waitUntil(Pred pred, double timeout_s)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (!pred())
  {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class PtyRig
{
 public:
  explicit PtyRig(const std::string& link) : link_(link)
  {
    plug();
  }
  ~PtyRig()
  {
    unplug();
  }

  // Closes both sides and removes the link, as when the adapter is pulled out
  // (and so that a pty number reused by another process is never reached).
  void unplug()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ::unlink(link_.c_str());
    if (master_ >= 0)
      ::close(master_);
    if (slave_ >= 0)
      ::close(slave_);
    master_ = slave_ = -1;
  }

  // A fresh pty behind the same link path; the switch of the link is atomic.
  void plug()
  {
    unplug();
    std::lock_guard<std::mutex> lock(mutex_);
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    // A child process (the driver) must not inherit the master: it would keep
    // the pty alive after unplug().
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw before the driver opens it, or early bytes would be echoed back.
    termios tio;
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    const std::string tmp = link_ + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(::ptsname(master_), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0)
      throw std::runtime_error("cannot link " + link_);
    parser_ = FrameParser();
    frames.clear();
    arrivals.clear();
    cursor = 0;
  }

  void write(const std::vector<uint8_t>& bytes)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t done = 0;
    while (done < bytes.size())
    {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        throw std::runtime_error("write to the pty master failed");
      done += static_cast<size_t>(n);
    }
  }

  // Waits up to timeout_s for the next frame (after the cursor) that matches;
  // frames passed over stay in `frames`.
  bool waitForFrame(const std::function<bool(const Frame&)>& match, double timeout_s, Frame* found = nullptr)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;)
    {
      while (cursor < frames.size())
      {
        const Frame& f = frames[cursor++];
        if (match(f))
        {
          if (found)
            *found = f;
          return true;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return false;
      pollOnce(static_cast<int>(left.count()));
    }
  }

  // Reads into `frames` for timeout_s and moves the cursor past all of them.
  void readFor(double timeout_s)
  {
    waitForFrame([](const Frame&) { return false; }, timeout_s);
  }

  // Reads what is there within timeout_ms into `frames`.
  void pollOnce(int timeout_ms)
  {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN))
    {
      uint8_t buf[512];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0)
      {
        parser_.feed(buf, static_cast<size_t>(n), frames);
        arrivals.resize(frames.size(), std::chrono::steady_clock::now());
      }
    }
  }

  int masterFd() const
  {
    return master_;
  }

  std::vector<Frame> frames;
  // When each frame of `frames` was read.
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  size_t cursor = 0;

 private:
  std::string link_;
  int master_ = -1;
  int slave_ = -1;
  FrameParser parser_;
  std::mutex mutex_;
};

inline bool isThrottle(const Frame& f, float left, float right)
{
  float l, r;
  return decodeThrottle(f, l, r) && l == left && r == right;
}

inline bool isArm(const Frame& f, bool arm)
{
  bool a;
  return decodeArm(f, a) && a == arm;
}

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_TEST_PTY_RIG_H
