// zv_rig_emulator as a program: the test opens its serial link as the driver
// would, arms it, commands the motors, lets the commands lapse, closes and
// reopens the port, and checks what the rig reports back.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <ros/ros.h>
#include <zv_protocol/frame_codec.h>

namespace
{
std::string linkPath()
{
  std::string link;
  ros::NodeHandle("~").getParam("link", link);
  return link;
}

// The host's end of the serial line.
class Host
{
 public:
  bool open(const std::string& path, double timeout_s)
  {
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(timeout_s);
    while (ros::WallTime::now() < deadline)
    {
      fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd_ >= 0)
      {
        termios tio;
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
        parser_.reset();
        return true;
      }
      ros::WallDuration(0.05).sleep();
    }
    return false;
  }
  void close()
  {
    ::close(fd_);
    fd_ = -1;
  }
  ~Host()
  {
    if (fd_ >= 0)
    {
      ::close(fd_);
    }
  }
  void send(const std::vector<uint8_t>& bytes)
  {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads frames for `seconds`, sending `keepalive` every 20 ms if given.
  std::vector<zv_ros_driver::Frame> collect(double seconds, const std::vector<uint8_t>& keepalive = {})
  {
    std::vector<zv_ros_driver::Frame> frames;
    const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
    ros::WallTime next_send = ros::WallTime::now();
    while (ros::WallTime::now() < end)
    {
      if (!keepalive.empty() && ros::WallTime::now() >= next_send)
      {
        send(keepalive);
        next_send += ros::WallDuration(0.02);
      }
      pollfd pfd = {fd_, POLLIN, 0};
      if (poll(&pfd, 1, 10) > 0)
      {
        uint8_t buf[256];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0)
        {
          parser_.feed(buf, static_cast<size_t>(n), frames);
        }
      }
    }
    return frames;
  }

 private:
  int fd_ = -1;
  zv_ros_driver::FrameParser parser_;
};

size_t countKind(const std::vector<zv_ros_driver::Frame>& frames, uint8_t kind)
{
  size_t n = 0;
  for (const zv_ros_driver::Frame& f : frames)
  {
    n += f.kind == kind ? 1 : 0;
  }
  return n;
}

uint8_t lastHeartbeat(const std::vector<zv_ros_driver::Frame>& frames)
{
  uint8_t status = 0xFF;
  for (const zv_ros_driver::Frame& f : frames)
  {
    zv_ros_driver::decodeHeartbeat(f, status);
  }
  return status;
}

float lastPitch(const std::vector<zv_ros_driver::Frame>& frames)
{
  zv_ros_driver::EncoderAngles angles = {NAN, NAN, NAN};
  for (const zv_ros_driver::Frame& f : frames)
  {
    zv_ros_driver::decodeEncoderAngles(f, angles);
  }
  return angles.pitch;
}
}  // namespace

TEST(Emulator, ServesTheProtocolAndSurvivesTheHostReopening)
{
  Host host;
  ASSERT_TRUE(host.open(linkPath(), 20.0)) << "no serial link at " << linkPath();

  // Disarmed: 200 Hz encoder frames of a rig at rest on its stop, 5 Hz heartbeats.
  std::vector<zv_ros_driver::Frame> frames = host.collect(1.0);
  EXPECT_NEAR(static_cast<double>(countKind(frames, zv_ros_driver::kEncoderFrame)), 200.0, 30.0);
  EXPECT_NEAR(static_cast<double>(countKind(frames, zv_ros_driver::kHeartbeatFrame)), 5.0, 1.5);
  EXPECT_NEAR(lastPitch(frames), -0.5, 1e-6);
  EXPECT_EQ(lastHeartbeat(frames) & zv_ros_driver::kHeartbeatArmed, 0);

  // Armed with full throttle: the body rises to its upper stop.
  host.send(zv_ros_driver::encodeArm(true));
  frames = host.collect(1.5, zv_ros_driver::encodeThrottle(1.0f, 1.0f));
  EXPECT_NEAR(lastPitch(frames), 0.5, 1e-6);
  EXPECT_EQ(lastHeartbeat(frames), zv_ros_driver::kHeartbeatArmed);

  // Commands stop: the firmware cuts the motors itself and says so.
  frames = host.collect(1.5);
  EXPECT_NEAR(lastPitch(frames), -0.5, 1e-6);
  EXPECT_EQ(lastHeartbeat(frames), zv_ros_driver::kHeartbeatArmed | zv_ros_driver::kHeartbeatThrottleTimeout);

  // The host closes the port and comes back: the emulator is still there.
  host.close();
  ros::WallDuration(0.5).sleep();
  ASSERT_TRUE(host.open(linkPath(), 5.0));
  frames = host.collect(0.5);
  EXPECT_GT(countKind(frames, zv_ros_driver::kEncoderFrame), 50u);
  host.send(zv_ros_driver::encodeArm(true));
  frames = host.collect(1.5, zv_ros_driver::encodeThrottle(1.0f, 1.0f));
  EXPECT_NEAR(lastPitch(frames), 0.5, 1e-6);
}

TEST(Emulator, RefusesToStartWithoutAParameterTheModelDividesBy)
{
  ros::param::set("/zorvik/J1x", 0.0);
  const std::string link = linkPath() + "_second";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
  {
    const std::string name = "__name:=zv_rig_emulator_bad";
    const std::string link_arg = "_link:=" + link;
    execl(ZV_RIG_EMULATOR, ZV_RIG_EMULATOR, name.c_str(), link_arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && done == 0; ++i)
  {
    done = waitpid(child, &status, WNOHANG);
    ros::WallDuration(0.05).sleep();
  }
  if (done == 0)
  {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the emulator kept running with /zorvik/J1x = 0";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(access(link.c_str(), F_OK), 0) << "no link is left behind";
  ros::param::set("/zorvik/J1x", 0.02);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "emulator_test");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
