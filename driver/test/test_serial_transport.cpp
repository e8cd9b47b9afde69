// SerialTransport against a real pseudo-terminal: the write queue while the
// device takes nothing, a stalled write, and a callback that throws.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>

#include "pty_rig.h"
#include "zv_ros_driver/serial_transport.h"

using namespace zv_ros_driver;

namespace
{
// More than a pty holds (about 20 KB on this kernel): its write stays in flight
// until the rig side reads. Zero bytes, which the rig's parser skips.
std::vector<uint8_t> blockingBlob()
{
  return std::vector<uint8_t>(48 * 1024, 0);
}

class Transport : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    char dir_template[] = "/tmp/zv_transport_test_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir_template));
    dir_ = dir_template;
    rig_.reset(new PtyRig(dir_ + "/tty"));
    options_.port = dir_ + "/tty";
    options_.retry_period = std::chrono::milliseconds(50);
    options_.write_timeout = std::chrono::milliseconds(10000);
    callbacks_.on_open = [this](const std::string&) { ++opens_; };
    callbacks_.on_failure = [this](const std::string& reason, bool was_up)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failures_.push_back(reason);
      failed_while_up_ = failed_while_up_ || was_up;
    };
  }

  void TearDown() override
  {
    transport_.reset();
    rig_.reset();
    ::rmdir(dir_.c_str());
  }

  void start()
  {
    transport_.reset(new SerialTransport(options_, callbacks_));
    transport_->start();
    ASSERT_TRUE(waitUntil([&] { return opens_ >= 1; }, 10.0));
    onIoThread([this] { transport_->enableWrites(); });
  }

  // Runs fn on the I/O thread and waits until it ran.
  void onIoThread(const std::function<void()>& fn)
  {
    std::promise<void> done;
    transport_->post(
        [&]
        {
          fn();
          done.set_value();
        });
    done.get_future().wait();
  }

  std::string lastFailure()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_.empty() ? std::string() : failures_.back();
  }

  // The next frames the rig reads, `count` of them.
  std::vector<Frame> readFrames(size_t count)
  {
    std::vector<Frame> got;
    Frame f = Frame();
    while (got.size() < count && rig_->waitForFrame([](const Frame&) { return true; }, 10.0, &f))
      got.push_back(f);
    return got;
  }

  std::string dir_;
  std::unique_ptr<PtyRig> rig_;
  SerialTransport::Options options_;
  SerialTransport::Callbacks callbacks_;
  std::unique_ptr<SerialTransport> transport_;
  std::atomic<int> opens_{0};
  std::mutex mutex_;
  std::vector<std::string> failures_;
  bool failed_while_up_ = false;
};

TEST_F(Transport, WhileTheDeviceTakesNothingOnlyTheNewestThrottleWaitsAndOtherFramesKeepTheirOrder)
{
  start();
  onIoThread(
      [this]
      {
        transport_->write(blockingBlob(), false);
        transport_->write(encodeThrottle(0.1f, 0.1f), true);
        transport_->write(encodeThrottle(0.2f, 0.2f), true);
        transport_->write(encodeArm(true), false);
        transport_->write(encodeThrottle(0.3f, 0.3f), true);
        transport_->write(encodeThrottle(0.4f, 0.4f), true);
      });
  // 0.2 does not wait behind the ARM: one throttle waits, whatever came between.
  std::vector<Frame> got = readFrames(2);
  ASSERT_EQ(2u, got.size());
  EXPECT_TRUE(isArm(got[0], true));
  EXPECT_TRUE(isThrottle(got[1], 0.4f, 0.4f));
  // The last write's completion may still be queued on the I/O thread after its
  // bytes arrived: wait for it, or the next blob would wait behind it and be dropped.
  ASSERT_TRUE(waitUntil([&] { return transport_->buffersWritten() == 3u; }, 10.0));

  // writeFirst drops everything waiting, ARM included, and goes ahead of later frames.
  onIoThread(
      [this]
      {
        transport_->write(blockingBlob(), false);
        transport_->write(encodeThrottle(0.5f, 0.5f), true);
        transport_->write(encodeArm(true), false);
        transport_->writeFirst({encodeThrottle(0.0f, 0.0f), encodeArm(false)});
        transport_->write(encodeThrottle(0.6f, 0.6f), true);
      });
  got = readFrames(3);
  ASSERT_EQ(3u, got.size());
  EXPECT_TRUE(isThrottle(got[0], 0.0f, 0.0f));
  EXPECT_TRUE(isArm(got[1], false));
  EXPECT_TRUE(isThrottle(got[2], 0.6f, 0.6f));
  // Dropped: 0.1, 0.2 and 0.3 replaced, 0.5 and the second ARM 1 by writeFirst.
  EXPECT_EQ(5u, transport_->buffersDropped());
  EXPECT_EQ(1, opens_) << lastFailure();
}

TEST_F(Transport, AStalledWriteFailsTheLinkDiscardsItsBytesAndReopens)
{
  options_.write_timeout = std::chrono::milliseconds(200);
  start();
  onIoThread([this] { transport_->write(blockingBlob(), false); });
  ASSERT_TRUE(waitUntil([&] { return !lastFailure().empty(); }, 10.0));
  EXPECT_NE(std::string::npos, lastFailure().find("not taking data")) << lastFailure();
  EXPECT_TRUE(failed_while_up_);
  EXPECT_TRUE(waitUntil([&] { return opens_ >= 2; }, 10.0));

  // Of the 20 KB the pty had taken, only what already sat in the rig side's
  // own read buffer (4 KB, out of the writer's reach) is still there.
  size_t stale = 0;
  pollfd p{rig_->masterFd(), POLLIN, 0};
  while (::poll(&p, 1, 200) > 0 && (p.revents & POLLIN))
  {
    uint8_t buf[4096];
    const ssize_t n = ::read(rig_->masterFd(), buf, sizeof buf);
    if (n <= 0)
      break;
    stale += static_cast<size_t>(n);
  }
  EXPECT_LE(stale, 4096u);
}

TEST_F(Transport, ACallbackThatThrowsFailsTheLinkWhichComesBack)
{
  std::atomic<int> deliveries{0};
  callbacks_.on_data = [&](const uint8_t*, size_t)
  {
    if (++deliveries == 1)
      throw std::runtime_error("boom");
  };
  start();
  rig_->write(encodeHeartbeat(0));
  ASSERT_TRUE(waitUntil([&] { return !lastFailure().empty(); }, 10.0));
  EXPECT_NE(std::string::npos, lastFailure().find("threw: boom")) << lastFailure();
  EXPECT_TRUE(failed_while_up_);
  ASSERT_TRUE(waitUntil([&] { return opens_ >= 2; }, 10.0));
  // Bytes written after the reopen was flushed on open are read again.
  ASSERT_TRUE(waitUntil(
      [&]
      {
        rig_->write(encodeHeartbeat(0));
        return deliveries >= 2;
      },
      10.0));
  EXPECT_TRUE(transport_->isUp());
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
