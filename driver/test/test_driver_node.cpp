// Runs the real zv_ros_driver binary against a pseudo-terminal that plays the
// rig, under rostest's master. Each test starts its own driver and ends it with
// SIGINT, expecting exit status 0.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <diagnostic_msgs/DiagnosticArray.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_srvs/SetBool.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

#include "pty_rig.h"

using namespace zv_ros_driver;

namespace
{
const char* kAutoArm = "_auto_arm:=true";
// Private parameters outlive a driver on the master: each start sets them all.
const std::vector<std::string> kDefaults = {"_command_timeout:=0.5", "_auto_arm:=false", "_thrust_expo:=0",
                                            "_throttle_start:=0"};

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

bool anyFrame(const Frame&)
{
  return true;
}

bool isThrottleFrame(const Frame& f)
{
  return f.kind == kThrottleFrame;
}

bool isArmFrame(const Frame& f)
{
  return f.kind == kArmFrame;
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

    state_sub_ = nh_.subscribe("/zv_state", 1000, &DriverNode::stateCallback, this);
    command_pub_ = nh_.advertise<zv_msgs::Command>("/zv_command", 100);
    armed_sub_ =
        nh_.subscribe<std_msgs::Bool>("/zv_armed", 10, [this](const std_msgs::Bool::ConstPtr& m) { armed_ = m->data; });
    cut_sub_ = nh_.subscribe<std_msgs::Bool>("/zv_motors_cut", 10,
                                             [this](const std_msgs::Bool::ConstPtr& m) { cut_ = m->data; });
    sent_sub_ = nh_.subscribe<zv_msgs::Command>("/zv_throttle_sent", 100,
                                                [this](const zv_msgs::Command::ConstPtr& m)
                                                {
                                                  std::lock_guard<std::mutex> lock(mutex_);
                                                  sent_.push_back(*m);
                                                });
    diag_sub_ =
        nh_.subscribe<diagnostic_msgs::DiagnosticArray>("/diagnostics", 10,
                                                        [this](const diagnostic_msgs::DiagnosticArray::ConstPtr& msg)
                                                        {
                                                          std::lock_guard<std::mutex> lock(mutex_);
                                                          for (const auto& s : msg->status)
                                                            for (const auto& kv : s.values)
                                                              diag_[kv.key] = kv.value;
                                                        });
    // The rig's heartbeat, 10 Hz while pumping.
    pump_ = std::thread(
        [this]
        {
          while (!quit_)
          {
            if (pumping_)
            {
              try
              {
                rig_->write(encodeHeartbeat(rig_status_));
              }
              catch (const std::exception&)
              {
              }
            }
            ros::WallDuration(0.1).sleep();
          }
        });
  }

  void TearDown() override
  {
    if (pid_ > 0)
    {
      EXPECT_EQ(0, interruptAndWait()) << readFile(log_);
    }
    quit_ = true;
    pump_.join();
    rig_.reset();
    ::unlink(link_.c_str());
    ::unlink(log_.c_str());
    ::unlink((log_ + "2").c_str());
    ::rmdir(dir_.c_str());
  }

  pid_t spawn(std::vector<std::string> args, const std::string& log)
  {
    args.insert(args.begin(), "_port:=" + link_);
    for (const std::string& d : kDefaults)
    {
      const std::string key = d.substr(0, d.find('=') + 1);
      bool given = false;
      for (const std::string& a : args)
        given = given || a.compare(0, key.size(), key) == 0;
      if (!given)
        args.push_back(d);
    }
    const pid_t pid = ::fork();
    if (pid == 0)
    {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> argv{const_cast<char*>("zv_ros_driver")};
      for (std::string& a : args)
        argv.push_back(&a[0]);
      argv.push_back(nullptr);
      ::execv(ZV_DRIVER_NODE_PATH, argv.data());
      ::_exit(127);
    }
    return pid;
  }

  // Starts the driver and waits until it speaks on the wire, which it does
  // only after hearing the rig's heartbeat: ARM 1 with ~auto_arm, else zeros.
  void startDriver(const std::vector<std::string>& args)
  {
    pid_ = spawn(args, log_);
    ASSERT_GT(pid_, 0);
    pumping_ = true;
    ASSERT_TRUE(rig_->waitForFrame(anyFrame, 15.0)) << "the driver never spoke; log:\n" << readFile(log_);
    ASSERT_TRUE(waitUntil(
        [&]
        {
          return state_sub_.getNumPublishers() > 0 && command_pub_.getNumSubscribers() > 0 &&
                 ros::service::exists("/zv_ros_driver/arm", false);
        },
        15.0));
  }

  // SIGINT, then the exit status (-1 if the driver did not end in 15 s).
  int interruptAndWait()
  {
    const int status = interruptAndWait(pid_);
    pid_ = -1;
    return status;
  }

  static int interruptAndWait(pid_t pid)
  {
    ::kill(pid, SIGINT);
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 15.0);
    if (!ended)
    {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool callArm(bool arm, std::string* message = nullptr)
  {
    std_srvs::SetBool srv;
    srv.request.data = arm;
    EXPECT_TRUE(ros::service::call("/zv_ros_driver/arm", srv));
    if (message)
      *message = srv.response.message;
    return srv.response.success;
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

  std::string diag(const std::string& key)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return diag_.count(key) ? diag_[key] : std::string();
  }

  void publish(float left, float right)
  {
    zv_msgs::Command c;
    c.left_motor = left;
    c.right_motor = right;
    command_pub_.publish(c);
  }

  // Reads what the driver sent so far and moves the cursor past it.
  void skipPending()
  {
    rig_->readFor(0.2);
  }

  ros::NodeHandle nh_;
  ros::Subscriber state_sub_, armed_sub_, cut_sub_, diag_sub_, sent_sub_;
  std::vector<zv_msgs::Command> sent_;
  ros::Publisher command_pub_;
  std::unique_ptr<PtyRig> rig_;
  std::string dir_, link_, log_;
  pid_t pid_ = -1;
  std::mutex mutex_;
  std::vector<zv_msgs::State> states_;
  std::map<std::string, std::string> diag_;
  std::atomic<bool> armed_{false}, cut_{false};
  std::atomic<uint8_t> rig_status_{0};
  std::atomic<bool> pumping_{false}, quit_{false};
  std::thread pump_;
};

TEST_F(DriverNode, EncoderFramesBecomeStatesAndCountsReachDiagnostics)
{
  startDriver({kAutoArm});
  pumping_ = false;
  // Counters from here on: what came before is the start-up's heartbeats.
  ASSERT_TRUE(waitUntil([&] { return !diag("Frames received").empty(); }, 10.0));
  ros::WallDuration(1.2).sleep();
  const long received_before = std::stol(diag("Frames received"));
  const long skipped_before = std::stol(diag("Bytes skipped while resynchronising"));

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

  // Bits 2-7 of the heartbeat count the rig's rejected frames modulo 64; they
  // leave bit 0 (armed) and bit 1 (motors cut) alone. From 0 (start-up) to 62,
  // then on to 1: 62 + 3 = 65.
  rig_->write(encodeHeartbeat(62 << 2 | 0x01));
  EXPECT_TRUE(waitUntil([&] { return armed_.load(); }, 10.0));
  EXPECT_FALSE(cut_);
  rig_->write(encodeHeartbeat(1 << 2 | 0x03));
  EXPECT_TRUE(waitUntil([&] { return cut_.load(); }, 10.0));
  EXPECT_TRUE(armed_);

  EXPECT_TRUE(waitUntil([&] { return diag("Frames received") == std::to_string(received_before + 7); }, 10.0))
      << diag("Frames received") << " after " << received_before;
  EXPECT_EQ("up", diag("Link"));
  EXPECT_EQ("3", diag("States published"));
  EXPECT_EQ("1", diag("Frames rejected by check"));
  EXPECT_EQ("0", diag("Frames rejected by kind"));
  EXPECT_EQ("1", diag("Encoder frames dropped (non-finite angle)"));
  EXPECT_EQ("0", diag("Encoder frames dropped (backlog)"));
  EXPECT_EQ("65", diag("Frames rejected by the rig"));
  // Two noise bytes plus the rejected frame's 15.
  EXPECT_EQ(std::to_string(skipped_before + 17), diag("Bytes skipped while resynchronising"));
  EXPECT_EQ(0u, diag("Low latency").find("not supported by this device")) << diag("Low latency");
  EXPECT_FALSE(diag("States per second").empty());
  EXPECT_FALSE(diag("Commands per second").empty());
}

TEST_F(DriverNode, CommandsReachTheWireClampedWithNaNAsZero)
{
  startDriver({kAutoArm});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Spaced out: a command still waiting for the device is replaced by a newer one.
  for (const std::pair<float, float>& c :
       std::vector<std::pair<float, float>>{{0.25f, 0.75f}, {1.5f, -0.2f}, {nan, 0.5f}, {-inf, inf}})
  {
    publish(c.first, c.second);
    ros::WallDuration(0.05).sleep();
  }

  // Zero throttles from the watchdog may come between; every other frame is ours.
  auto nonzero = [](const Frame& f) { return f.kind == kThrottleFrame && !isThrottle(f, 0.0f, 0.0f); };
  Frame f = Frame();
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
  startDriver({kAutoArm});
  // A steady 50 Hz stream keeps the watchdog quiet.
  for (int i = 0; i < 25; ++i)
  {
    publish(0.5f, 0.5f);
    ros::WallDuration(0.02).sleep();
  }
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isThrottle(f, 0.5f, 0.5f); }, 10.0));
  size_t commanded = 1;
  Frame f = Frame();
  while (commanded < 25 && rig_->waitForFrame(isThrottleFrame, 5.0, &f))
  {
    ASSERT_TRUE(isThrottle(f, 0.5f, 0.5f)) << "zero throttles while commands were arriving";
    ++commanded;
  }
  EXPECT_EQ(25u, commanded);

  // Commands stopped: zeros, again and again.
  for (int i = 0; i < 3; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame(isThrottleFrame, 5.0, &f));
    EXPECT_TRUE(isThrottle(f, 0.0f, 0.0f));
  }

  publish(0.3f, 0.4f);
  EXPECT_TRUE(rig_->waitForFrame([](const Frame& g) { return isThrottle(g, 0.3f, 0.4f); }, 10.0));
}

TEST_F(DriverNode, ArmingWaitsForTheServiceAndTheRigsHeartbeat)
{
  startDriver({});
  // Not asked to arm: commands reach the rig as zeros, and no ARM 1 is sent.
  for (int i = 0; i < 5; ++i)
  {
    publish(0.5f, 0.5f);
    ros::WallDuration(0.05).sleep();
  }
  Frame f = Frame();
  for (int i = 0; i < 5; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame(isThrottleFrame, 5.0, &f));
    EXPECT_TRUE(isThrottle(f, 0.0f, 0.0f));
  }
  EXPECT_FALSE(armed_);

  // Asked while the rig is silent (its last heartbeat over 1 s old): ARM 1
  // waits for a heartbeat.
  pumping_ = false;
  ros::WallDuration(1.3).sleep();
  skipPending();
  EXPECT_TRUE(callArm(true));
  EXPECT_FALSE(rig_->waitForFrame(isArmFrame, 0.7));
  pumping_ = true;
  ASSERT_TRUE(rig_->waitForFrame(isArmFrame, 5.0, &f));
  EXPECT_TRUE(isArm(f, true));
  // The rig still says disarmed (its first ARM lost, say): ARM 1 again.
  ASSERT_TRUE(rig_->waitForFrame(isArmFrame, 5.0, &f));
  EXPECT_TRUE(isArm(f, true));
  EXPECT_FALSE(armed_);

  rig_status_ = kHeartbeatArmed;
  EXPECT_TRUE(waitUntil([&] { return armed_.load(); }, 5.0));
  skipPending();  // ARM frames already on their way
  EXPECT_FALSE(rig_->waitForFrame(isArmFrame, 0.5)) << "ARM repeated although the rig says armed";
  publish(0.5f, 0.5f);
  EXPECT_TRUE(rig_->waitForFrame([](const Frame& g) { return isThrottle(g, 0.5f, 0.5f); }, 5.0));

  // Disarm: zero throttles, then ARM 0, and again while the rig still says armed.
  EXPECT_TRUE(callArm(false));
  for (int i = 0; i < 2; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame(isArmFrame, 5.0, &f));
    EXPECT_TRUE(isArm(f, false));
    EXPECT_TRUE(isThrottle(rig_->frames[rig_->cursor - 2], 0.0f, 0.0f));
  }
  rig_status_ = 0;
  EXPECT_TRUE(waitUntil([&] { return !armed_; }, 5.0));

  // A rig that goes silent is no longer armed, and the request it had is gone.
  EXPECT_TRUE(callArm(true));
  rig_status_ = kHeartbeatArmed;
  ASSERT_TRUE(waitUntil([&] { return armed_.load(); }, 5.0));
  pumping_ = false;
  EXPECT_TRUE(waitUntil([&] { return !armed_; }, 5.0));
  skipPending();
  pumping_ = true;  // back, still armed: the driver disarms it
  ASSERT_TRUE(rig_->waitForFrame(isArmFrame, 5.0, &f));
  EXPECT_TRUE(isArm(f, false));
}

// A board that resets while armed is silent for less than the 1 s rule and comes
// back disarmed, its rejected-frame count back at 0: it must stay disarmed.
TEST_F(DriverNode, ARigThatResetsItselfIsNotArmedAgain)
{
  rig_status_ = 10 << 2;
  startDriver({});
  std::string message;
  EXPECT_TRUE(callArm(true, &message));
  EXPECT_NE(std::string::npos, message.find("queued")) << message;
  rig_status_ = 10 << 2 | kHeartbeatArmed;
  ASSERT_TRUE(waitUntil([&] { return armed_.load(); }, 5.0));

  pumping_ = false;
  ros::WallDuration(0.4).sleep();
  skipPending();
  rig_status_ = 0;
  pumping_ = true;
  EXPECT_TRUE(waitUntil([&] { return !armed_; }, 5.0));
  EXPECT_FALSE(rig_->waitForFrame([](const Frame& f) { return isArm(f, true); }, 1.5)) << "re-armed after a reset";
  EXPECT_TRUE(waitUntil([&] { return diag("Arm requested") == "no"; }, 5.0));
  EXPECT_EQ("0", diag("Frames rejected by the rig"));
  EXPECT_NE(std::string::npos, diag("Arm request ended").find("reset?")) << diag("Arm request ended");

  EXPECT_TRUE(callArm(false, &message));
  EXPECT_NE(std::string::npos, message.find("queued")) << message;
  EXPECT_EQ(0, interruptAndWait());
  EXPECT_EQ(1u, countOf(readFile(log_), "the rig disarmed itself (reset?): press ARM to arm again")) << readFile(log_);
}

// Every throttle frame written is published as sent, through the thrust curve.
TEST_F(DriverNode, ThrottleSentIsExactlyWhatTheRigRead)
{
  // No watchdog zeros in this test: only the commands below are sent.
  startDriver({kAutoArm, "_command_timeout:=30", "_thrust_expo:=0.65", "_throttle_start:=0.05"});
  ASSERT_TRUE(waitUntil([&] { return sent_sub_.getNumPublishers() > 0; }, 10.0));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::pair<float, float>& c :
       std::vector<std::pair<float, float>>{{0.5886f, 0.3375f}, {1.0f, 0.0f}, {nan, 2.0f}, {0.1f, 0.9f}})
  {
    publish(c.first, c.second);
    ros::WallDuration(0.05).sleep();
  }
  Frame f = Frame();
  std::vector<std::pair<float, float>> read;
  while (rig_->waitForFrame(isThrottleFrame, read.size() < 4 ? 5.0 : 0.3, &f))
  {
    float l = 0.0f, r = 0.0f;
    decodeThrottle(f, l, r);
    read.emplace_back(l, r);
  }
  ASSERT_EQ(4u, read.size());
  // 0.5886 -> 0.7337 (worked by hand in the link's unit test); 0 stays 0, 1 stays 1.
  EXPECT_NEAR(0.7337f, read[0].first, 1e-4);
  EXPECT_EQ(1.0f, read[1].first);
  EXPECT_EQ(0.0f, read[1].second);
  EXPECT_EQ(0.0f, read[2].first);
  EXPECT_EQ(1.0f, read[2].second);
  ASSERT_TRUE(waitUntil([&] { std::lock_guard<std::mutex> lock(mutex_); return sent_.size() >= 4; }, 5.0));
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_EQ(4u, sent_.size());
  for (size_t i = 0; i < 4; ++i)
  {
    EXPECT_EQ(read[i].first, sent_[i].left_motor) << i;
    EXPECT_EQ(read[i].second, sent_[i].right_motor) << i;
  }
}

TEST_F(DriverNode, ALinkDropClearsArmedAndTheRequestAndNothingIsSentBeforeTheRigSpeaks)
{
  startDriver({});
  EXPECT_TRUE(callArm(true));
  rig_status_ = kHeartbeatArmed;
  ASSERT_TRUE(waitUntil([&] { return armed_.load(); }, 5.0));

  pumping_ = false;
  rig_->unplug();
  EXPECT_TRUE(waitUntil([&] { return !armed_ && diag("Link") == "down"; }, 5.0));
  std::string message;
  EXPECT_FALSE(callArm(true, &message));
  EXPECT_NE(std::string::npos, message.find("down")) << message;

  rig_->plug();
  rig_status_ = 0;
  ASSERT_TRUE(waitUntil([&] { return diag("Link") == "up"; }, 10.0));
  EXPECT_FALSE(rig_->waitForFrame(anyFrame, 1.0)) << "the driver spoke before the rig did";
  pumping_ = true;
  // Zeros come (the watchdog), but the request died with the link.
  Frame f = Frame();
  for (int i = 0; i < 3; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame(anyFrame, 5.0, &f));
    EXPECT_TRUE(isThrottle(f, 0.0f, 0.0f));
  }
  EXPECT_FALSE(armed_);
}

TEST_F(DriverNode, ReconnectsAfterTheDeviceDisappearsAndAutoArmsAgain)
{
  startDriver({kAutoArm});
  rig_->write(encodeEncoder(0.1f, 0.2f, 0.3f));
  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 1; }, 10.0));

  pumping_ = false;
  rig_->unplug();
  ASSERT_TRUE(waitUntil([&] { return countOf(readFile(log_), "ERROR") >= 1; }, 10.0)) << readFile(log_);
  // Let several one-second retries fail: they must stay quiet.
  ros::WallDuration(2.5).sleep();
  const std::string log = readFile(log_);
  EXPECT_EQ(1u, countOf(log, "ERROR")) << log;
  EXPECT_NE(std::string::npos, log.find(link_)) << log;

  rig_->plug();
  pumping_ = true;
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isArm(f, true); }, 10.0)) << readFile(log_);
  rig_->write(encodeEncoder(0.4f, 0.5f, 0.6f));
  ASSERT_TRUE(waitUntil([&] { return stateCount() >= 2; }, 10.0));
  EXPECT_EQ(0.4f, state(1).roll);
  EXPECT_EQ(0.6f, state(1).yaw);
  // Info lines reach the log file when the driver's stdout is flushed at exit.
  EXPECT_EQ(0, interruptAndWait());
  EXPECT_NE(std::string::npos, readFile(log_).find("is back")) << readFile(log_);
}

TEST_F(DriverNode, OpenErrorsNameTheDeviceAndTheRemedy)
{
  startDriver({kAutoArm});
  const std::string log2 = log_ + "2", log3 = log_ + "3", missing = dir_ + "/missing";
  const pid_t second = spawn({"__name:=zv_ros_driver_second"}, log2);
  const pid_t third = spawn({"__name:=zv_ros_driver_third", "_port:=" + missing}, log3);
  EXPECT_TRUE(waitUntil([&] { return readFile(log2).find("another program holds it") != std::string::npos; }, 10.0))
      << readFile(log2);
  EXPECT_NE(std::string::npos, readFile(log2).find(link_));
  EXPECT_TRUE(waitUntil([&] { return readFile(log3).find("not plugged in") != std::string::npos; }, 10.0))
      << readFile(log3);
  EXPECT_NE(std::string::npos, readFile(log3).find(missing));
  // The first keeps the device to itself, frames intact.
  publish(0.125f, 0.375f);
  EXPECT_TRUE(rig_->waitForFrame([](const Frame& f) { return isThrottle(f, 0.125f, 0.375f); }, 5.0));
  EXPECT_EQ(0, interruptAndWait(second));
  EXPECT_EQ(0, interruptAndWait(third));
  ::unlink(log3.c_str());
}

TEST_F(DriverNode, AfterAPauseOnlyTheNewestOfTheBacklogIsPublished)
{
  startDriver({kAutoArm});
  // A 200 Hz encoder whose frame i has roll i; the driver stopped from 100 to 500.
  for (int i = 0; i < 700; ++i)
  {
    if (i == 100)
      ::kill(pid_, SIGSTOP);
    if (i == 500)
      ::kill(pid_, SIGCONT);
    rig_->write(encodeEncoder(static_cast<float>(i), 0.0f, 0.0f));
    ros::WallDuration(0.005).sleep();
  }
  ASSERT_TRUE(waitUntil([&] { return stateCount() > 0 && state(stateCount() - 1).roll == 699.0f; }, 10.0));
  size_t from_pause = 0;
  for (size_t i = 0; i < stateCount(); ++i)
    from_pause += state(i).roll >= 100.0f && state(i).roll < 500.0f;
  EXPECT_LE(from_pause, 1u);
  EXPECT_TRUE(waitUntil(
      [&]
      {
        return !diag("Encoder frames dropped (backlog)").empty() &&
               std::stol(diag("Encoder frames dropped (backlog)")) >= 300;
      },
      10.0))
      << diag("Encoder frames dropped (backlog)");
}

TEST_F(DriverNode, ADeviceThatStopsReadingGetsNoStaleThrottlesAndZeroThenDisarmAtShutdown)
{
  startDriver({kAutoArm});
  rig_status_ = kHeartbeatArmed;
  // The rig reads nothing from here on. Commands flow until the pty is full and
  // the driver's write stalls.
  auto stalled = [&] { return readFile(log_).find("not taking data") != std::string::npos; };
  for (int i = 1; i < 20000 && (i % 100 != 0 || !stalled()); ++i)
  {
    publish(0.5f, i / 20000.0f);
    ros::WallDuration(0.0005).sleep();
  }
  ASSERT_TRUE(stalled()) << readFile(log_);
  // The link failed; then back up and hearing the rig again, still not read from.
  ASSERT_TRUE(waitUntil([&] { return diag("Link") == "down"; }, 10.0));
  ASSERT_TRUE(
      waitUntil([&] { return diag("Link") == "up" && diag("Rig heard since the port opened") == "yes"; }, 10.0));
  EXPECT_EQ(0, interruptAndWait());

  rig_->readFor(1.0);
  const std::vector<Frame>& got = rig_->frames;
  ASSERT_GE(got.size(), 2u);
  EXPECT_TRUE(isThrottle(got[got.size() - 2], 0.0f, 0.0f));
  EXPECT_TRUE(isArm(got.back(), false));
  // Before the fix all ~1,900 frames the pty held arrived; now only those that
  // sat in the rig side's own 4 KB read buffer, out of any writer's reach.
  size_t stale = 0;
  for (const Frame& f : got)
    stale += f.kind == kThrottleFrame && !isThrottle(f, 0.0f, 0.0f);
  EXPECT_LE(stale, 4096u / 11u);
}

TEST_F(DriverNode, AnAbsurdCommandTimeoutIsRefusedForTheDefault)
{
  startDriver({kAutoArm, "_command_timeout:=1e10"});
  Frame f = Frame();
  for (int i = 0; i < 2; ++i)
  {
    ASSERT_TRUE(rig_->waitForFrame(isThrottleFrame, 5.0, &f));
    EXPECT_TRUE(isThrottle(f, 0.0f, 0.0f));
  }
  EXPECT_NE(std::string::npos, readFile(log_).find("~command_timeout is 1e+10")) << readFile(log_);
}

TEST_F(DriverNode, InterruptZeroesThrottlesDisarmsAndExitsZero)
{
  startDriver({kAutoArm});
  publish(0.8f, 0.8f);
  ASSERT_TRUE(rig_->waitForFrame([](const Frame& f) { return isThrottle(f, 0.8f, 0.8f); }, 10.0));

  EXPECT_EQ(0, interruptAndWait()) << readFile(log_);
  // Last words: zero throttles, then disarm, and nothing after.
  rig_->readFor(0.5);
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
