// The firmware image on the simulated board, with the real driver on its line
// and a real master: pulses, arming, clamping, the throttle timeout, garbage
// on the line and the angles the encoders give. The cases run in order on one
// board, each from where the last one left it.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>

#include <diagnostic_msgs/DiagnosticArray.h>
#include <fcntl.h>
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <std_msgs/Bool.h>
#include <std_msgs/Float32.h>
#include <std_srvs/SetBool.h>
#include <unistd.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>
#include <zv_protocol/frame_codec.h>

namespace
{
// One count of the rig's encoders (4096 x4 counts per revolution), rad.
const double kCount = 2 * M_PI / 4096;

double now()
{
  return ros::WallTime::now().toSec();
}

bool waitUntil(const std::function<bool()>& done, double timeout_s)
{
  const double deadline = now() + timeout_s;
  while (!done() && now() < deadline && ros::ok())
  {
    ros::WallDuration(0.005).sleep();
    ros::spinOnce();
  }
  return done();
}

// What the test watches of the board and the driver.
struct Rig
{
  std::vector<double> left, right;  // ESC pulse widths, us
  std::vector<zv_msgs::State> states;
  std::vector<sensor_msgs::JointState> truths;
  bool bootloader = false;
  double bootloader_on = NAN, bootloader_off = NAN;
  size_t states_while_held = 0;
  bool armed = false, disarmed_after_arming = false;
  std::map<std::string, std::string> link;  // the driver's "Serial link" diagnostics
  int link_reports = 0;

  ros::NodeHandle nh;
  std::vector<ros::Subscriber> subs;
  ros::Publisher command = nh.advertise<zv_msgs::Command>("/zv_command", 10);

  Rig()
  {
    subs.push_back(nh.subscribe<std_msgs::Float32>(
        "/zv_hil_board/esc_left_us", 2000, [this](const std_msgs::Float32ConstPtr& m) { left.push_back(m->data); }));
    subs.push_back(nh.subscribe<std_msgs::Float32>(
        "/zv_hil_board/esc_right_us", 2000, [this](const std_msgs::Float32ConstPtr& m) { right.push_back(m->data); }));
    subs.push_back(nh.subscribe<std_msgs::Bool>("/zv_hil_board/bootloader", 10,
                                                [this](const std_msgs::BoolConstPtr& m)
                                                {
                                                  if (m->data && !bootloader)
                                                  {
                                                    bootloader_on = now();
                                                  }
                                                  if (!m->data && bootloader)
                                                  {
                                                    bootloader_off = now();
                                                    states_while_held = states.size();
                                                  }
                                                  bootloader = m->data;
                                                }));
    subs.push_back(nh.subscribe<sensor_msgs::JointState>("/zv_hil_board/model_state", 2000,
                                                         [this](const sensor_msgs::JointStateConstPtr& m)
                                                         {
                                                           // The frames of the firmware the driver runs with: from the
                                                           // reset on.
                                                           if (!std::isnan(bootloader_on))
                                                           {
                                                             truths.push_back(*m);
                                                           }
                                                         }));
    subs.push_back(nh.subscribe<zv_msgs::State>("/zv_state", 2000,
                                                [this](const zv_msgs::StateConstPtr& m) { states.push_back(*m); }));
    subs.push_back(nh.subscribe<std_msgs::Bool>("/zv_armed", 10,
                                                [this](const std_msgs::BoolConstPtr& m)
                                                {
                                                  disarmed_after_arming |= armed && !m->data;
                                                  armed = m->data;
                                                }));
    subs.push_back(
        nh.subscribe<diagnostic_msgs::DiagnosticArray>("/diagnostics", 50,
                                                       [this](const diagnostic_msgs::DiagnosticArrayConstPtr& m)
                                                       {
                                                         for (const diagnostic_msgs::DiagnosticStatus& s : m->status)
                                                         {
                                                           if (s.name.find("Serial link") != std::string::npos)
                                                           {
                                                             for (const diagnostic_msgs::KeyValue& kv : s.values)
                                                             {
                                                               link[kv.key] = kv.value;
                                                             }
                                                             ++link_reports;
                                                           }
                                                         }
                                                       }));
  }

  void publish(double l, double r)
  {
    zv_msgs::Command c;
    c.left_motor = static_cast<float>(l);
    c.right_motor = static_cast<float>(r);
    command.publish(c);
  }
  // Commands at 50 Hz, as a controller would, for `seconds`.
  void commandFor(double l, double r, double seconds)
  {
    commandUntil(
        l, r, [] { return false; }, seconds);
  }
  bool commandUntil(double l, double r, const std::function<bool()>& done, double timeout_s)
  {
    double next = 0;
    return waitUntil(
        [&]
        {
          if (now() >= next)
          {
            publish(l, r);
            next = now() + 0.02;
          }
          return done();
        },
        timeout_s);
  }
  long rejectedByRig() const
  {
    auto it = link.find("Frames rejected by the rig");
    return it == link.end() ? -1 : std::atol(it->second.c_str());
  }
};

Rig* rig = nullptr;
std::string link_path, go_path;

bool lastNear(const std::vector<double>& v, double us)
{
  return !v.empty() && std::fabs(v.back() - us) <= 1.0;
}

// Largest distance of the widths from `us` since index `from`; NaN when there are none.
double worstSince(const std::vector<double>& v, size_t from, double us)
{
  double worst = NAN;
  for (size_t i = from; i < v.size(); ++i)
  {
    worst = std::isnan(worst) ? std::fabs(v[i] - us) : std::max(worst, std::fabs(v[i] - us));
  }
  return worst;
}

// A second opener of the driver's serial line, for bytes the driver would never send.
class Line
{
 public:
  Line() : fd_(open(link_path.c_str(), O_WRONLY | O_NOCTTY)) {}
  ~Line()
  {
    if (fd_ >= 0)
    {
      close(fd_);
    }
  }
  bool ok() const
  {
    return fd_ >= 0;
  }
  void write(const std::vector<uint8_t>& bytes)
  {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

 private:
  int fd_;
};
}  // namespace

TEST(HilBoard, BootsWithMotorsOffAndArmsOnlyAfterTheResetOnOpen)
{
  ASSERT_TRUE(waitUntil([] { return rig->left.size() > 40 && rig->right.size() > 40; }, 20.0))
      << "no ESC pulses from the board";
  // Start the driver: it opens the line, and the board resets.
  std::ofstream(go_path).put('\n');
  ASSERT_TRUE(waitUntil([] { return rig->bootloader; }, 30.0)) << "opening the port did not reset the board";
  // Ask for arming while the bootloader still holds the line: the ARM frames
  // sent now are lost, so arming must come from the driver repeating them.
  ASSERT_TRUE(ros::service::waitForService("/zv_ros_driver/arm", 10000));
  std_srvs::SetBool arm;
  arm.request.data = true;
  ASSERT_TRUE(ros::service::call("/zv_ros_driver/arm", arm));
  EXPECT_TRUE(arm.response.success) << arm.response.message;

  ASSERT_TRUE(waitUntil([] { return !rig->bootloader; }, 10.0));
  EXPECT_GT(rig->bootloader_off - rig->bootloader_on, 1.0) << "the bootloader holds the line for about 1.5 s";
  EXPECT_EQ(rig->states_while_held, 0u) << "the board sent encoder frames while held in reset";
  EXPECT_FALSE(rig->armed) << "armed before the firmware ran";
  ASSERT_TRUE(waitUntil([] { return rig->armed; }, 5.0)) << "the driver did not arm the rig once it ran";
  EXPECT_LE(worstSince(rig->left, 0, 1000.0), 1.0) << "a left pulse other than 1000 us before any command";
  EXPECT_LE(worstSince(rig->right, 0, 1000.0), 1.0) << "a right pulse other than 1000 us before any command";
}

TEST(HilBoard, ThrottleFramesSetThePulseWidths)
{
  ASSERT_TRUE(rig->armed);
  ASSERT_TRUE(rig->commandUntil(
      0.25, 0.75, [] { return lastNear(rig->left, 1250) && lastNear(rig->right, 1750); }, 3.0));
  size_t l0 = rig->left.size(), r0 = rig->right.size();
  rig->commandFor(0.25, 0.75, 0.4);
  EXPECT_LE(worstSince(rig->left, l0, 1250.0), 1.0);
  EXPECT_LE(worstSince(rig->right, r0, 1750.0), 1.0);

  // Out of range and NaN, written on the line as they are: the firmware clamps them itself.
  Line line;
  ASSERT_TRUE(line.ok());
  const std::vector<uint8_t> frame = zv_ros_driver::encodeThrottle(1.5f, std::numeric_limits<float>::quiet_NaN());
  double next = 0;
  ASSERT_TRUE(waitUntil(
      [&]
      {
        if (now() >= next)
        {
          line.write(frame);
          next = now() + 0.02;
        }
        return lastNear(rig->left, 2000) && lastNear(rig->right, 1000);
      },
      3.0));
  l0 = rig->left.size();
  r0 = rig->right.size();
  for (int i = 0; i < 15; ++i)
  {
    line.write(frame);
    waitUntil([] { return false; }, 0.02);
  }
  EXPECT_LE(worstSince(rig->left, l0, 2000.0), 1.0);
  EXPECT_LE(worstSince(rig->right, r0, 1000.0), 1.0);
}

TEST(HilBoard, MotorsCutHalfASecondAfterTheLastThrottleFrame)
{
  // The last THROTTLE frame was written just now; the driver sends none by itself here.
  const double last_frame = now();
  ASSERT_TRUE(waitUntil([] { return lastNear(rig->left, 1000) && lastNear(rig->right, 1000); }, 3.0));
  const double cut_after = now() - last_frame;
  EXPECT_GT(cut_after, 0.4) << "motors cut too early";
  EXPECT_LT(cut_after, 1.5) << "motors cut too late";
  EXPECT_TRUE(waitUntil([] { return rig->link["Motors cut"] == "yes"; }, 3.0))
      << "heartbeat bit 1 did not reach the driver's diagnostics";
  EXPECT_TRUE(rig->armed) << "the timeout cuts the motors, it does not disarm";
}

TEST(HilBoard, GarbageOnTheLineChangesNothing)
{
  // Little thrust, so the rig turns slowly for the angle checks below.
  const double u = 0.1, width = 1100.0;
  ASSERT_TRUE(rig->commandUntil(
      u, u,
      [&] { return lastNear(rig->left, width) && lastNear(rig->right, width) && rig->link["Motors cut"] == "no"; },
      5.0));
  const int reports = rig->link_reports;
  ASSERT_TRUE(rig->commandUntil(
      u, u, [&] { return rig->link_reports > reports; }, 5.0));
  const long rejected_before = rig->rejectedByRig();
  ASSERT_GE(rejected_before, 0) << "no \"Frames rejected by the rig\" in the driver's diagnostics";

  // Noise, a frame with a bad check, an unknown kind, a disarm with a bad
  // check, and a frame cut short: three certain rejections per burst.
  std::vector<uint8_t> garbage;
  for (uint8_t b = 0; b < 20; ++b)
  {
    garbage.push_back(static_cast<uint8_t>(b * 37 + 11));  // no 0xA5 among them
  }
  std::vector<uint8_t> bad = zv_ros_driver::encodeThrottle(1.0f, 1.0f);
  bad.back() ^= 0xFF;
  garbage.insert(garbage.end(), bad.begin(), bad.end());
  garbage.insert(garbage.end(), {0xA5, 0x07, 0x01, 0x02, 0x03});
  bad = zv_ros_driver::encodeArm(false);
  bad.back() ^= 0x01;
  garbage.insert(garbage.end(), bad.begin(), bad.end());
  garbage.insert(garbage.end(), {0xA5, 0x02, 0x00, 0x00, 0x80});
  zv_ros_driver::FrameParser check;
  std::vector<zv_ros_driver::Frame> frames;
  check.feed(garbage.data(), garbage.size(), frames);
  ASSERT_TRUE(frames.empty()) << "the garbage holds a valid frame";
  const int bursts = 10;

  Line line;
  ASSERT_TRUE(line.ok());
  const size_t l0 = rig->left.size(), r0 = rig->right.size();
  for (int i = 0; i < bursts; ++i)
  {
    line.write(garbage);
    rig->commandFor(u, u, 0.1);
  }
  EXPECT_TRUE(rig->commandUntil(
      u, u, [&] { return rig->rejectedByRig() >= rejected_before + 3 * bursts; }, 5.0))
      << "the rig counted " << rig->rejectedByRig() - rejected_before << " rejected frames, expected at least "
      << 3 * bursts;
  EXPECT_LE(worstSince(rig->left, l0, width), 1.0);
  EXPECT_LE(worstSince(rig->right, r0, width), 1.0);
  EXPECT_GT(rig->left.size() - l0, 200u) << "the pulses stopped";
  EXPECT_TRUE(rig->armed);
  EXPECT_FALSE(rig->disarmed_after_arming);
  EXPECT_FALSE(rig->bootloader) << "the board reset";
}

TEST(HilBoard, AnglesOnZvStateMatchTheModel)
{
  // The board reports, with each encoder frame it sends, the model's state
  // when the frame's first byte left it. The firmware samples its counts
  // before that: it builds the frame (well under 0.5 ms) and the frame may wait
  // behind a heartbeat (4 bytes, 0.35 ms) in the UART. So the model's angle
  // over the millisecond before the first byte counts as a match, within one
  // count.
  const double kSampleWindow = 1e-3;
  // Lift the body to its upper stop and let it fall back: pitch moves too.
  rig->commandFor(0.9, 0.9, 0.8);
  rig->commandFor(0.0, 0.0, 1.0);
  ASSERT_GT(rig->states.size(), 500u);
  double worst = 0, roll_span = 0, pitch_span = 0, yaw_span = 0;
  std::string worst_at;
  size_t j = 0, unmatched = 0;
  for (const zv_msgs::State& s : rig->states)
  {
    // The frame this state came from: the next one that carried exactly these angles.
    const float got[3] = {s.roll, s.pitch, s.yaw};
    size_t k = j;
    for (; k < rig->truths.size() && k < j + 50; ++k)
    {
      const std::vector<double>& p = rig->truths[k].position;
      if (static_cast<float>(p[3]) == got[0] && static_cast<float>(p[4]) == got[1] &&
          static_cast<float>(p[5]) == got[2])
      {
        break;
      }
    }
    if (k == rig->truths.size() || k == j + 50)
    {
      ++unmatched;
      continue;
    }
    j = k + 1;
    const sensor_msgs::JointState& t = rig->truths[k];
    for (int a = 0; a < 3; ++a)
    {
      const double p = t.position[a], earlier = p - t.velocity[a] * kSampleWindow;
      const double lo = std::min(p, earlier), hi = std::max(p, earlier);
      const double off = got[a] < lo ? lo - got[a] : (got[a] > hi ? got[a] - hi : 0.0);
      if (off > worst)
      {
        worst = off;
        worst_at = std::string(a == 0   ? "roll "
                               : a == 1 ? "pitch "
                                        : "yaw ") +
                   std::to_string(got[a]) + " rad, model " + std::to_string(p) + " rad at " +
                   std::to_string(t.velocity[a]) + " rad/s, " + std::to_string(t.header.stamp.toSec()) +
                   " s after power-up";
      }
    }
    roll_span = std::max(roll_span, std::fabs(t.position[0]));
    pitch_span = std::max(pitch_span, t.position[1] + 0.5);
    yaw_span = std::max(yaw_span, std::fabs(t.position[2]));
  }
  EXPECT_EQ(unmatched, 0u) << "states on /zv_state that no encoder frame of the board carried";
  EXPECT_LE(worst, kCount) << "an angle on /zv_state is " << worst / kCount << " counts off the model: " << worst_at;
  // The commands roll the rig against its stops, turn it and lift it.
  EXPECT_GT(roll_span, 0.5);
  EXPECT_GT(pitch_span, 0.5);
  EXPECT_GT(yaw_span, 0.5);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "hil_board_test");
  ros::NodeHandle pnh("~");
  pnh.getParam("link", link_path);
  pnh.getParam("go", go_path);
  Rig watched;
  rig = &watched;
  const int result = RUN_ALL_TESTS();
  unlink(go_path.c_str());
  return result;
}
