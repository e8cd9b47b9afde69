// Runs the real zv_ros_driver binary against a pseudo-terminal that plays the
// rig, under rostest's master. Each test starts its own driver and ends it with
// SIGINT, expecting exit status 0.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include <diagnostic_msgs/DiagnosticArray.h>
#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

#include "pty_rig.h"

using namespace zv_ros_driver;

namespace
{
const double kCommandTimeout = 0.5;

template <typename Pred>
bool waitUntil(Pred pred, double timeout_s)
{
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(timeout_s);
  while (!pred())
  {
    if (ros::WallTime::now() > deadline)
      return false;
    ros::WallDuration(0.01).sleep();
  }
  return true;
}

std::string readFile(const std::string& path)
{
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t countOf(const std::string& text, const std::string& word)
{
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    ++n;
  return n;
}

class DriverNode : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    char dir_template[] = "/tmp/zv_driver_test_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir_template));
    dir_ = dir_template;
    link_ = dir_ + "/tty";
    log_ = dir_ + "/driver.log";
    rig_.reset(new PtyRig(link_));

    state_sub_ = nh_.subscribe("/zv_state", 100, &DriverNode::stateCallback, this);
    command_pub_ = nh_.advertise<zv_msgs::Command>("/zv_command", 100);

    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0)
    {
      const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      const std::string port = "_port:=" + link_;
      const std::string timeout = "_command_timeout:=" + std::to_string(kCommandTimeout);
      ::execl(ZV_DRIVER_NODE_PATH, "zv_ros_driver", port.c_str(), timeout.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The link is up once the driver arms the rig.
    ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isArm(f, true); }, 15.0))
        << "the driver never sent ARM 1; log:\n"
        << readFile(log_);
    ASSERT_TRUE(
        waitUntil([&] { return state_sub_.getNumPublishers() > 0 && command_pub_.getNumSubscribers() > 0; }, 15.0));
  }

  void TearDown() override
  {
    if (pid_ > 0)
    {
      EXPECT_EQ(0, interruptAndWait()) << readFile(log_);
    }
    rig_.reset();
    ::unlink(link_.c_str());
    ::unlink(log_.c_str());
    ::rmdir(dir_.c_str());
  }

  // SIGINT, then the exit status (-1 if the driver did not end in 15 s).
  int interruptAndWait()
  {
    ::kill(pid_, SIGINT);
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 15.0);
    if (!ended)
    {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void stateCallback(const zv_msgs::State::ConstPtr& msg)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(*msg);
  }

  size_t stateCount()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_.size();
  }

  zv_msgs::State state(size_t i)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_.at(i);
  }

  void publish(float left, float right)
  {
    zv_msgs::Command c;
    c.left_motor = left;
    c.right_motor = right;
    command_pub_.publish(c);
  }

  ros::NodeHandle nh_;
  ros::Subscriber state_sub_;
  ros::Publisher command_pub_;
  std::unique_ptr<PtyRig> rig_;
  std::string dir_, link_, log_;
  pid_t pid_ = -1;
  std::mutex mutex_;
  std::vector<zv_msgs::State> states_;
};

TEST_F(DriverNode, EncoderFramesBecomeStatesAndCountsReachDiagnostics)
{
  std::mutex diag_mutex;
  std::map<std::string, std::string> diag;
  ros::Subscriber diag_sub =
      nh_.subscribe<diagnostic_msgs::DiagnosticArray>("/diagnostics", 10,
                                                      [&](const diagnostic_msgs::DiagnosticArray::ConstPtr& msg)
                                                      {
                                                        std::lock_guard<std::mutex> lock(diag_mutex);
                                                        for (const auto& s : msg->status)
                                                          for (const auto& kv : s.values)
                                                            diag[kv.key] = kv.value;
                                                      });

  std::vector<uint8_t> bad = encodeEncoder(9.0f, 9.0f, 9.0f);
  bad.back() ^= 0x10;
  const float rates[6] = {0.125f, 0.25f, -3.0f, 10.0f, 20.0f, 30.0f};
  std::vector<uint8_t> stream = {0x00, 0x42};  // line noise
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& part : {encodeEncoder(0.5f, -0.25f, 1.0f), bad, encodeEncoder(0.0f, nan, 0.0f),
                           encodeEncoderRates(rates), encodeHeartbeat(1)})
    stream.insert(stream.end(), part.begin(), part.end());
  rig_->write(stream);

  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 2; }, 10.0));
  EXPECT_EQ(0.5f, state(0).roll);
  EXPECT_EQ(-0.25f, state(0).pitch);
  EXPECT_EQ(1.0f, state(0).yaw);
  EXPECT_EQ(0.125f, state(1).roll);
  EXPECT_EQ(0.25f, state(1).pitch);
  EXPECT_EQ(-3.0f, state(1).yaw);

  // The next state is the third: the corrupted frame and the one with a NaN
  // angle published nothing.
  rig_->write(encodeEncoder(-1.5f, 0.0f, 2.0f));
  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 3; }, 10.0));
  EXPECT_EQ(-1.5f, state(2).roll);
  EXPECT_EQ(2.0f, state(2).yaw);

  auto value = [&](const std::string& key)
  {
    std::lock_guard<std::mutex> lock(diag_mutex);
    return diag.count(key) ? diag[key] : std::string();
  };
  EXPECT_TRUE(waitUntil([&] { return value("Frames received") == "5"; }, 10.0)) << value("Frames received");
  EXPECT_EQ("up", value("Link"));
  EXPECT_EQ("3", value("States published"));
  EXPECT_EQ("1", value("Frames rejected by check"));
  EXPECT_EQ("0", value("Frames rejected by kind"));
  EXPECT_EQ("1", value("Encoder frames dropped (non-finite angle)"));
  // Two noise bytes plus the rejected frame's 15.
  EXPECT_EQ("17", value("Bytes skipped while resynchronising"));
  EXPECT_EQ(0u, value("Rig heartbeat status").find("0x01 armed")) << value("Rig heartbeat status");
}

TEST_F(DriverNode, CommandsReachTheWireClampedWithNaNAsZero)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  publish(0.25f, 0.75f);
  publish(1.5f, -0.2f);
  publish(nan, 0.5f);
  publish(-inf, inf);

  // Zero throttles from the watchdog may come between; every other frame is ours.
  auto nonzero = [](const Frame& f) { return f.kind == kThrottleFrame && !isThrottle(f, 0.0f, 0.0f); };
  Frame f;
  ASSERT_TRUE(rig_->waitForFrame(nonzero, 10.0, &f));
  EXPECT_TRUE(isThrottle(f, 0.25f, 0.75f));
  ASSERT_TRUE(rig_->waitForFrame(nonzero, 10.0, &f));
  EXPECT_TRUE(isThrottle(f, 1.0f, 0.0f));
  ASSERT_TRUE(rig_->waitForFrame(nonzero, 10.0, &f));
  EXPECT_TRUE(isThrottle(f, 0.0f, 0.5f));
  ASSERT_TRUE(rig_->waitForFrame(nonzero, 10.0, &f));
  EXPECT_TRUE(isThrottle(f, 0.0f, 1.0f));
}

TEST_F(DriverNode, WatchdogZeroesThrottlesUntilCommandsResume)
{
  // A steady 50 Hz stream keeps the watchdog quiet.
  for (int i = 0; i < 25; ++i)
  {
    publish(0.5f, 0.5f);
    ros::WallDuration(0.02).sleep();
  }
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isThrottle(f, 0.5f, 0.5f); }, 10.0));
  size_t commanded = 1;
  while (commanded < 25 && rig_->waitForFrame([](const Frame& f) { return f.kind == kThrottleFrame; }, 5.0))
  {
    const Frame& f = rig_->frames[rig_->cursor - 1];
    ASSERT_TRUE(isThrottle(f, 0.5f, 0.5f)) << "zero throttles while commands were arriving";
    ++commanded;
  }
  EXPECT_EQ(25u, commanded);

  // Commands stopped: zeros, again and again.
  Frame f;
  for (int i = 0; i < 3; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame([](const Frame& g) { return g.kind == kThrottleFrame; }, 5.0, &f));
    EXPECT_TRUE(isThrottle(f, 0.0f, 0.0f));
  }

  publish(0.3f, 0.4f);
  EXPECT_TRUE(rig_->waitForFrame([](const Frame& g) { return isThrottle(g, 0.3f, 0.4f); }, 10.0));
}

TEST_F(DriverNode, ReconnectsAfterTheDeviceDisappears)
{
  rig_->write(encodeEncoder(0.1f, 0.2f, 0.3f));
  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 1; }, 10.0));

  rig_->unplug();
  ASSERT_TRUE(waitUntil([&] { return countOf(readFile(log_), "ERROR") >= 1; }, 10.0)) << readFile(log_);
  // Let several one-second retries fail: they must stay quiet.
  ros::WallDuration(2.5).sleep();
  const std::string log = readFile(log_);
  EXPECT_EQ(1u, countOf(log, "ERROR")) << log;
  EXPECT_NE(std::string::npos, log.find(link_)) << log;

  rig_->plug();
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isArm(f, true); }, 10.0)) << readFile(log_);
  rig_->write(encodeEncoder(0.4f, 0.5f, 0.6f));
  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 2; }, 10.0));
  EXPECT_EQ(0.4f, state(1).roll);
  EXPECT_EQ(0.6f, state(1).yaw);
  // Info lines reach the log file when the driver's stdout is flushed at exit.
  EXPECT_EQ(0, interruptAndWait());
  EXPECT_NE(std::string::npos, readFile(log_).find("is back")) << readFile(log_);
}

TEST_F(DriverNode, InterruptZeroesThrottlesDisarmsAndExitsZero)
{
  publish(0.8f, 0.8f);
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isThrottle(f, 0.8f, 0.8f); }, 10.0));

  EXPECT_EQ(0, interruptAndWait()) << readFile(log_);
  // Last words: zero throttles, then disarm, and nothing after.
  rig_->waitForFrame([](const Frame&) { return false; }, 0.5);
  ASSERT_GE(rig_->frames.size(), 2u);
  const size_t n = rig_->frames.size();
  EXPECT_TRUE(isThrottle(rig_->frames[n - 2], 0.0f, 0.0f));
  EXPECT_TRUE(isArm(rig_->frames[n - 1], false));
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_driver_node");
  ros::NodeHandle nh;
  ros::AsyncSpinner spinner(2);
  spinner.start();
  const int rc = RUN_ALL_TESTS();
  spinner.stop();
  return rc;
}
