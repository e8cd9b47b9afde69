// The controller in this process under simulated time: each state is handed
// to the controller and its command is compared with values worked out by
// hand. Where a case must hold to the bit, the gains are set to round binary
// values so that every step of the law is exact in float.
#include "zv_ta/pid_controller.h"

#include "default_rig.h"

#include <ros/console.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

using zorvik_controller::PIDController;

namespace
{
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using zv_ta_test::defaultRig;

void loadRig(const std::map<std::string, double>& rig)
{
  ros::param::del("/zorvik");
  for (const auto& kv : rig)
  {
    ros::param::set("/zorvik/" + kv.first, kv.second);
  }
}

float rigValue(const char* key)
{
  return static_cast<float>(defaultRig().at(key));
}

// Round gains for the exact cases: yaw 0.5 / 0.25 / 0.0625, roll 2 / 0 / 0.5,
// pitch 4 / 0.5 / 1 (kp / ki / kd), F_e = 8 N, d = 0.25 m, km = 8 N, so the
// level hover is 0.5 on each motor. The bounds are far from these cases.
void useRoundGains(PIDController& c)
{
  c.kp_psi = 0.5f;
  c.ki_psi = 0.25f;
  c.kd_psi = 0.0625f;
  c.kp_phi = 2.0f;
  c.ki_phi = 0.0f;
  c.kd_phi = 0.5f;
  c.kp_theta = 4.0f;
  c.ki_theta = 0.5f;
  c.kd_theta = 1.0f;
  c.F_e = 8.0f;
  c.d = 0.25f;
  c.km = 8.0f;
  c.integrator_theta_limit = 100.0f;
  c.integrator_psi_limit = 100.0f;
}

// By hand for the default rig (F_e = 5.886 N, km = 5 N, kp_theta = 5.67248,
// see test_gain_design): resting on the -0.5 rad stop with pitch reference 0,
// no rates, integrators at 0:
//   (5.67248 * 0.5 + 5.886 * cos 0.5) / 10 = (2.83624 + 5.16545) / 10 = 0.800169
const double kOnStopFresh = 0.800169;

bool sameBits(float a, float b)
{
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class LogAtLeast : public ros::console::LogAppender
{
 public:
  explicit LogAtLeast(ros::console::Level level) : level_(level)
  {
    ros::console::register_appender(this);
  }
  ~LogAtLeast() override
  {
    ros::console::deregister_appender(this);
  }
  void log(ros::console::Level level, const char* str, const char*, const char*, int) override
  {
    if (level >= level_)
    {
      lines.push_back(str);
    }
  }
  std::vector<std::string> lines;

 private:
  ros::console::Level level_;
};

class ControllerTest : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    loadRig(defaultRig());
    now_ = ros::Time(1000, 0);
    ros::Time::setNow(now_);
    commands_.clear();
    command_sub_ = nh_.subscribe("/zv_command", 100, &ControllerTest::onCommand, this);
  }

  void onCommand(const zv_msgs::Command::ConstPtr& msg)
  {
    commands_.push_back(*msg);
  }

  // Delivers what is queued; bounded, since intra-process delivery needs only spins.
  void drain()
  {
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(2.0);
    const std::size_t before = commands_.size();
    do
    {
      ros::spinOnce();
    } while (commands_.size() == before && ros::WallTime::now() < deadline);
    ros::spinOnce();
  }

  // Hands one state to the controller at simulated time now_ + advance and
  // returns the one command it answers with.
  zv_msgs::Command state(PIDController& c, float roll, float pitch, float yaw, double advance)
  {
    now_ += ros::Duration(advance);
    ros::Time::setNow(now_);
    zv_msgs::State::Ptr msg(new zv_msgs::State);
    msg->roll = roll;
    msg->pitch = pitch;
    msg->yaw = yaw;
    const std::size_t before = commands_.size();
    c.stateCallback(msg);
    drain();
    EXPECT_EQ(before + 1, commands_.size()) << "each state must be answered by exactly one command";
    if (commands_.size() == before)
    {
      return zv_msgs::Command();
    }
    const zv_msgs::Command& cmd = commands_.back();
    EXPECT_TRUE(std::isfinite(cmd.left_motor) && cmd.left_motor >= 0.0f && cmd.left_motor <= 1.0f);
    EXPECT_TRUE(std::isfinite(cmd.right_motor) && cmd.right_motor >= 0.0f && cmd.right_motor <= 1.0f);
    return cmd;
  }

  void reference(PIDController& c, float yaw, float pitch)
  {
    zv_msgs::ReferenceState::Ptr msg(new zv_msgs::ReferenceState);
    msg->yaw = yaw;
    msg->pitch = pitch;
    c.referenceStateCallback(msg);
  }

  // /zv_armed as the driver publishes it (latched), waited for until c has it.
  void setArmed(PIDController& c, bool armed)
  {
    if (!armed_pub_)
    {
      armed_pub_ = nh_.advertise<std_msgs::Bool>("/zv_armed", 1, true);
    }
    std_msgs::Bool msg;
    msg.data = armed;
    armed_pub_.publish(msg);
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(10.0);
    while (!(c.armed_heard && c.armed == armed) && ros::WallTime::now() < deadline)
    {
      ros::spinOnce();
      ros::WallDuration(0.001).sleep();
    }
    ASSERT_TRUE(c.armed_heard && c.armed == armed) << "/zv_armed " << armed << " never reached the controller";
  }

  // The same state every 50 ms for `seconds`, as from a body that cannot move;
  // returns the last command.
  zv_msgs::Command hold(PIDController& c, float roll, float pitch, float yaw, double seconds)
  {
    zv_msgs::Command cmd;
    for (int i = 0; i < static_cast<int>(seconds / 0.05 + 0.5); ++i)
    {
      cmd = state(c, roll, pitch, yaw, 0.05);
    }
    return cmd;
  }

  void expectCommand(float left, float right, const zv_msgs::Command& got, const std::string& what)
  {
    EXPECT_EQ(left, got.left_motor) << what;
    EXPECT_EQ(right, got.right_motor) << what;
  }

  void expectSameBits(const zv_msgs::Command& expected, const zv_msgs::Command& got, const std::string& what)
  {
    EXPECT_TRUE(sameBits(expected.left_motor, got.left_motor))
        << what << ": left " << got.left_motor << " expected " << expected.left_motor;
    EXPECT_TRUE(sameBits(expected.right_motor, got.right_motor))
        << what << ": right " << got.right_motor << " expected " << expected.right_motor;
  }

  ros::NodeHandle nh_;
  ros::Subscriber command_sub_;
  ros::Publisher armed_pub_;
  std::vector<zv_msgs::Command> commands_;
  ros::Time now_;
};

TEST_F(ControllerTest, StartsWithParametersReadAndZeroState)
{
  PIDController c;
  EXPECT_EQ(rigValue("l1"), c.l1);
  EXPECT_EQ(rigValue("J1x"), c.J1x);
  EXPECT_EQ(rigValue("km"), c.km);
  EXPECT_EQ(rigValue("g"), c.g);
  EXPECT_EQ(0.0f, c.theta_r);
  EXPECT_EQ(0.0f, c.psi_r);
  EXPECT_EQ(0.0f, c.integrator_phi);
  EXPECT_EQ(0.0f, c.integrator_theta);
  EXPECT_EQ(0.0f, c.integrator_psi);
  EXPECT_EQ(now_, c.prev_time);
  EXPECT_FALSE(c.throttles_held);
  drain();
  EXPECT_TRUE(commands_.empty()) << "nothing is published before the first state";
}

TEST_F(ControllerTest, LevelAndStillHoversAtEquilibriumThrottle)
{
  // F_e / (2 km) = 5.886 / 10 with the default rig.
  PIDController c;
  for (int i = 0; i < 5; ++i)
  {
    const zv_msgs::Command cmd = state(c, 0.0f, 0.0f, 0.0f, 0.01);
    EXPECT_NEAR(0.5886, cmd.left_motor, 1e-6);
    EXPECT_NEAR(0.5886, cmd.right_motor, 1e-6);
  }
  EXPECT_NEAR(5.886, c.F_ff, 1e-5);
}

TEST_F(ControllerTest, TwoStepsOfEveryLoopWorkedByHand)
{
  PIDController c;
  useRoundGains(c);
  // The first state only starts timing (see FirstStateIsSteppedWithoutRates).
  state(c, 0.0f, -0.03125f, 0.0f, 0.25);

  // Several references between two states: only the last counts, none is answered.
  reference(c, 3.0f, -1.0f);
  reference(c, 0.5f, 0.25f);
  drain();
  ASSERT_EQ(1u, commands_.size());

  // dt = 0.25, state (roll 0.125, pitch 0, yaw 0.25):
  // yaw   rate 0.25/0.25 = 1, e 0.25, I 0.0625, phi_r = 0.125 - 0.0625*1 + 0.25*0.0625 = 0.078125
  // roll  rate 0.5, e 0.078125 - 0.125 = -0.046875, I -0.01171875, tau = -0.09375 - 0.25 = -0.34375
  // pitch rate 0.03125/0.25 = 0.125 < 0.2 so I = 0.25*0.25 = 0.0625,
  //       F = 4*0.25 - 1*0.125 + 0.5*0.0625 + 8*cos 0 = 8.90625
  // tau/d = -1.375: left (8.90625 - 1.375)/2/8 = 0.470703125, right (8.90625 + 1.375)/2/8 = 0.642578125
  expectCommand(0.470703125f, 0.642578125f, state(c, 0.125f, 0.0f, 0.25f, 0.25), "step 1");
  EXPECT_EQ(0.0625f, c.integrator_psi);
  EXPECT_EQ(-0.01171875f, c.integrator_phi);
  EXPECT_EQ(0.0625f, c.integrator_theta);

  // dt = 0.25, state (0.125, 0, 0.375): rates from the previous state, integrators go on:
  // yaw   rate 0.5, e 0.125, I 0.09375, phi_r = 0.0625 - 0.03125 + 0.0234375 = 0.0546875
  // roll  rate 0, e -0.0703125, I -0.029296875, tau = -0.140625
  // pitch rate 0, I 0.125, F = 1 + 0.0625 + 8 = 9.0625
  // tau/d = -0.5625: left 8.5/16 = 0.53125, right 9.625/16 = 0.6015625
  expectCommand(0.53125f, 0.6015625f, state(c, 0.125f, 0.0f, 0.375f, 0.25), "step 2");
  EXPECT_EQ(0.09375f, c.integrator_psi);
  EXPECT_EQ(-0.029296875f, c.integrator_phi);
  EXPECT_EQ(0.125f, c.integrator_theta);
  EXPECT_EQ(0.375f, c.psi_prev);
}

TEST_F(ControllerTest, StatesHandedOverInABunchGiveRatesOverHalfTheUsualStep)
{
  PIDController c;
  useRoundGains(c);
  for (int i = 0; i < 5; ++i)
  {
    state(c, 0.0f, 0.0f, 0.0f, 0.25);  // level and still, every 0.25 s
  }
  // Roll 0.125 only 1/128 s later: its rate is taken over 0.125 s (half the
  // usual step), 1 rad/s, not 16 rad/s.
  // tau = 2 * -0.125 - 0.5 * 1 = -0.75, tau/d = -3, F = 8:
  // left (8 - 3)/16 = 0.3125, right (8 + 3)/16 = 0.6875 (over 1/128 s both would be at a limit).
  expectCommand(0.3125f, 0.6875f, state(c, 0.125f, 0.0f, 0.0f, 1.0 / 128), "bunched state");
  // The next one, on time again (0.25 - 1/128 s later), steps as usual:
  // roll rate 0, tau = 2 * -0.125 = -0.25, tau/d = -1: left 7/16, right 9/16.
  expectCommand(0.4375f, 0.5625f, state(c, 0.125f, 0.0f, 0.0f, 0.25 - 1.0 / 128), "next state");
}

TEST_F(ControllerTest, PitchIntegratorFrozenOnlyWhileRisingAtPointTwoOrFaster)
{
  PIDController c;
  reference(c, 0.0f, 1.0f);
  state(c, 0.0f, 0.0f, 0.0f, 0.5);  // the first state only starts timing
  state(c, 0.0f, 0.0f, 0.0f, 0.5);  // exactly 0.5 s is an ordinary step
  const float before = c.integrator_theta;
  ASSERT_EQ(0.5f, before);  // e 1 over 0.5 s

  // 0.1 rad in 0.5 s is exactly 0.2f rad/s: frozen.
  state(c, 0.0f, 0.1f, 0.0f, 0.5);
  EXPECT_EQ(before, c.integrator_theta);

  // 0.1999 rad/s: runs.
  const float th = 0.1f + 0.09995f;
  ASSERT_LT((th - 0.1f) / 0.5f, 0.2f);
  state(c, 0.0f, th, 0.0f, 0.5);
  EXPECT_EQ(before + (1.0f - th) * 0.5f, c.integrator_theta);

  // Falling fast, -5 rad/s: runs too.
  const float after_slow = c.integrator_theta;
  const float low = th - 2.5f;
  state(c, 0.0f, low, 0.0f, 0.5);
  EXPECT_EQ(after_slow + (1.0f - low) * 0.5f, c.integrator_theta);
}

TEST_F(ControllerTest, ThrottlesClipIndependently)
{
  // Round gains, level first state (no rates, no integration).
  // Yaw reference 4: phi_r = 2, tau = 4, tau/d = 16, F = 8:
  // left 24/16 = 1.5 clips to 1, right -8/16 = -0.5 clips to 0.
  PIDController both;
  useRoundGains(both);
  reference(both, 4.0f, 0.0f);
  expectCommand(1.0f, 0.0f, state(both, 0.0f, 0.0f, 0.0f, 0.01), "both clipped");

  // Yaw 1.5, pitch -1: phi_r = 0.75, tau/d = 6, F = -4 + 8 = 4:
  // left 10/16 = 0.625 passes, right -2/16 clips to 0.
  PIDController one;
  useRoundGains(one);
  reference(one, 1.5f, -1.0f);
  expectCommand(0.625f, 0.0f, state(one, 0.0f, 0.0f, 0.0f, 0.01), "right clipped");
}

TEST_F(ControllerTest, ExactFullThrottlePassesUnchanged)
{
  // km = F_e / 2 puts the level hover exactly at 1.
  std::map<std::string, double> rig = defaultRig();
  PIDController probe;
  rig["km"] = static_cast<double>(probe.F_e / 2.0f);
  loadRig(rig);
  PIDController c;
  const zv_msgs::Command cmd = state(c, 0.0f, 0.0f, 0.0f, 0.01);
  EXPECT_EQ(1.0f, cmd.left_motor);
  EXPECT_EQ(1.0f, cmd.right_motor);
}

TEST_F(ControllerTest, StatesAndReferencesOverRealTopics)
{
  PIDController c;
  useRoundGains(c);
  ros::Publisher state_pub = nh_.advertise<zv_msgs::State>("/zv_state", 5);
  ros::Publisher ref_pub = nh_.advertise<zv_msgs::ReferenceState>("/zv_reference_state", 5);
  const ros::WallTime connect_deadline = ros::WallTime::now() + ros::WallDuration(10.0);
  while ((state_pub.getNumSubscribers() == 0 || ref_pub.getNumSubscribers() == 0) &&
         ros::WallTime::now() < connect_deadline)
  {
    ros::spinOnce();
    ros::WallDuration(0.001).sleep();
  }
  ASSERT_GT(ref_pub.getNumSubscribers(), 0u);
  zv_msgs::ReferenceState ref;
  ref.yaw = 0.5f;
  ref.pitch = 0.25f;
  ref_pub.publish(ref);
  const ros::WallTime ref_deadline = ros::WallTime::now() + ros::WallDuration(2.0);
  while (c.psi_r != 0.5f && ros::WallTime::now() < ref_deadline)
  {
    ros::spinOnce();
  }
  EXPECT_EQ(0.5f, c.psi_r);
  EXPECT_EQ(0.25f, c.theta_r);

  // Level and still, 0.25 s apart. First (no integration): phi_r = 0.25,
  // tau/d = 2, F = 1 + 8: left 11/16, right 7/16. Second: I_psi 0.125 so
  // phi_r = 0.28125, tau/d = 2.25; I_theta 0.0625 so F = 9.03125:
  // left 11.28125/16 = 0.705078125, right 6.78125/16 = 0.423828125.
  const float expected[][2] = {{0.6875f, 0.4375f}, {0.705078125f, 0.423828125f}};
  for (int i = 0; i < 2; ++i)
  {
    now_ += ros::Duration(0.25);
    ros::Time::setNow(now_);
    state_pub.publish(zv_msgs::State());
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(2.0);
    while (commands_.size() < static_cast<std::size_t>(i + 1) && ros::WallTime::now() < deadline)
    {
      ros::spinOnce();
    }
    ros::spinOnce();
    ASSERT_EQ(static_cast<std::size_t>(i + 1), commands_.size());
    expectCommand(expected[i][0], expected[i][1], commands_.back(), "over topics " + std::to_string(i));
  }
}

// --- Steps that cannot be computed -----------------------------------------

TEST_F(ControllerTest, ZeroOrNegativeStepRepeatsLastCommandAndRestartsTiming)
{
  PIDController c;
  useRoundGains(c);
  reference(c, 0.0f, 0.25f);
  state(c, 0.0f, 0.0f, 0.0f, 0.25);  // the first state only starts timing
  // I_theta = 0.0625, F = 1 + 0.03125 + 8: 9.03125/16 on each motor.
  const zv_msgs::Command last = state(c, 0.0f, 0.0f, 0.0f, 0.25);
  expectCommand(0.564453125f, 0.564453125f, last, "before the skips");

  // Same ROS time, then a clock jumping back by 0.5 s.
  for (double advance : {0.0, -0.5})
  {
    expectSameBits(last, state(c, 0.125f, 0.0f, 0.25f, advance), "skipped step");
    EXPECT_EQ(0.0f, c.integrator_phi);
    EXPECT_EQ(0.0625f, c.integrator_theta);
    EXPECT_EQ(0.0f, c.integrator_psi);
    EXPECT_EQ(now_, c.prev_time);
    EXPECT_EQ(0.125f, c.phi_prev);
    EXPECT_EQ(0.25f, c.psi_prev);
  }

  // Timing restarted from the last skipped message, so the same angles 0.25 s
  // later have zero rates: e_psi -0.25, I_psi -0.0625, phi_r = -0.125 - 0.015625,
  // e_phi = -0.265625, tau/d = -2.125; I_theta 0.125, F = 1 + 0.0625 + 8 = 9.0625:
  // left 6.9375/16 = 0.43359375, right 11.1875/16 = 0.69921875.
  expectCommand(0.43359375f, 0.69921875f, state(c, 0.125f, 0.0f, 0.25f, 0.25), "after restart");
}

TEST_F(ControllerTest, SkipBeforeAnyCommandAnswersZero)
{
  PIDController c;
  const zv_msgs::Command cmd = state(c, kNaN, 0.1f, 0.1f, 0.01);
  EXPECT_EQ(0.0f, cmd.left_motor);
  EXPECT_EQ(0.0f, cmd.right_motor);
}

TEST_F(ControllerTest, NonFiniteAngleOrResultLeavesNoTrace)
{
  // c gets bad states between two good ones; twin gets only the good ones,
  // at the same times. Their answers to the second good state must agree.
  PIDController c;
  PIDController twin;
  reference(c, 0.1f, 0.2f);
  reference(twin, 0.1f, 0.2f);
  state(c, 0.01f, 0.02f, 0.03f, 0.01);
  state(twin, 0.01f, 0.02f, 0.03f, 0.0);
  const zv_msgs::Command first = state(c, 0.02f, 0.03f, 0.02f, 0.01);
  state(twin, 0.02f, 0.03f, 0.02f, 0.0);

  const float bad[][3] = {{kNaN, 0.0f, 0.0f},
                          {0.0f, kNaN, 0.0f},
                          {0.0f, 0.0f, kInf},
                          // Finite, but its rate over 1 ms overflows.
                          {0.0f, 0.0f, 3e38f}};
  for (const auto& s : bad)
  {
    expectSameBits(first, state(c, s[0], s[1], s[2], 0.001), "bad state");
  }
  const zv_msgs::Command expected = state(twin, 0.0f, 0.0f, 0.0f, 0.01);
  expectSameBits(expected, state(c, 0.0f, 0.0f, 0.0f, 0.0), "recovered");
  EXPECT_EQ(twin.integrator_phi, c.integrator_phi);
  EXPECT_EQ(twin.integrator_theta, c.integrator_theta);
  EXPECT_EQ(twin.integrator_psi, c.integrator_psi);
}

TEST_F(ControllerTest, NonFiniteReferenceIsIgnoredWithOneWarning)
{
  LogAtLeast warnings(ros::console::levels::Warn);
  PIDController c;
  reference(c, 0.1f, 0.2f);
  for (const auto& r : {std::make_pair(kNaN, 0.3f), std::make_pair(0.3f, kInf), std::make_pair(-kInf, kNaN)})
  {
    reference(c, r.first, r.second);
    EXPECT_EQ(0.1f, c.psi_r);
    EXPECT_EQ(0.2f, c.theta_r);
  }
  ASSERT_EQ(1u, warnings.lines.size());
  EXPECT_NE(std::string::npos, warnings.lines[0].find("/zv_reference_state")) << warnings.lines[0];
  EXPECT_NE(std::string::npos, warnings.lines[0].find("yaw nan")) << warnings.lines[0];

  // The rig keeps flying on the last good reference.
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  EXPECT_GT(state(c, 0.0f, 0.0f, 0.0f, 0.01).left_motor, 0.0f);

  // Warned again after 5 s, not before.
  now_ += ros::Duration(4.9);
  ros::Time::setNow(now_);
  reference(c, kNaN, kNaN);
  EXPECT_EQ(1u, warnings.lines.size());
  now_ += ros::Duration(0.2);
  ros::Time::setNow(now_);
  reference(c, kNaN, kNaN);
  EXPECT_EQ(2u, warnings.lines.size());
}

// --- Timing restarts, arming, windup and the limit on repeats ---------------

TEST_F(ControllerTest, FirstStateIsSteppedWithoutRates)
{
  // The rig rests on its lower pitch stop. Rates against the zeros of
  // construction would read a fall of 0.5 rad in 5 ms and ask for full
  // throttle; only the proportional term and the feed-forward act instead.
  for (double advance : {0.005, 0.0})  // no dt is used, so even 0 will do
  {
    PIDController c;
    const zv_msgs::Command cmd = state(c, 0.0f, -0.5f, 0.0f, advance);
    EXPECT_NEAR(kOnStopFresh, cmd.left_motor, 1e-5) << advance;
    EXPECT_NEAR(kOnStopFresh, cmd.right_motor, 1e-5) << advance;
    EXPECT_EQ(0.0f, c.integrator_theta);
    EXPECT_EQ(now_, c.prev_time);
    EXPECT_EQ(-0.5f, c.theta_prev);
  }

  // With errors on every axis, still nothing is integrated.
  PIDController c;
  reference(c, 0.3f, 0.2f);
  state(c, 0.1f, -0.5f, 0.2f, 0.005);
  EXPECT_EQ(0.0f, c.integrator_phi);
  EXPECT_EQ(0.0f, c.integrator_theta);
  EXPECT_EQ(0.0f, c.integrator_psi);
}

TEST_F(ControllerTest, GapOverHalfASecondRestartsTimingWithoutIntegratorJump)
{
  PIDController c;
  useRoundGains(c);
  reference(c, 0.0f, 0.25f);
  state(c, 0.0f, 0.0f, 0.0f, 0.25);
  for (int i = 0; i < 3; ++i)
  {
    state(c, 0.0f, 0.0f, 0.0f, 0.25);
  }
  ASSERT_EQ(0.1875f, c.integrator_theta);  // 3 * 0.25 * 0.25

  // 2 s later the body has turned to roll 0.5, yaw 0.5: no rate across the
  // gap, no 2 s of error integrated, the pitch integrator acts as it stands:
  // phi_r = 0.5 * -0.5 = -0.25, e_phi = -0.75, tau/d = -6;
  // F = 1 + 0.5 * 0.1875 + 8 = 9.09375: left 3.09375/16, right 15.09375/16.
  expectCommand(0.193359375f, 0.943359375f, state(c, 0.5f, 0.0f, 0.5f, 2.0), "across the gap");
  EXPECT_EQ(0.1875f, c.integrator_theta);
  EXPECT_EQ(0.0f, c.integrator_phi);
  EXPECT_EQ(0.0f, c.integrator_psi);

  // Timing restarted from it: the same angles 0.25 s later are an ordinary
  // step with zero rates: I_psi -0.125, phi_r = -0.28125, tau/d = -6.25;
  // I_theta 0.25, F = 9.125: left 2.875/16 = 0.1796875, right 15.375/16 = 0.9609375.
  expectCommand(0.1796875f, 0.9609375f, state(c, 0.5f, 0.0f, 0.5f, 0.25), "after the gap");
}

TEST_F(ControllerTest, DisarmedRigGetsZerosAndLoopsStandStillUntilArmed)
{
  PIDController c;
  // Before /zv_armed speaks the controller flies as usual.
  reference(c, 0.0f, 0.2f);
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  const zv_msgs::Command flying = state(c, 0.0f, 0.001f, 0.0f, 0.01);
  EXPECT_GT(flying.left_motor, 0.0f);
  const float i_theta = c.integrator_theta;
  ASSERT_GT(i_theta, 0.0f);
  const ros::Time t = c.prev_time;

  setArmed(c, false);
  for (float pitch : {-0.5f, 0.3f, kNaN})
  {
    const zv_msgs::Command cmd = state(c, 0.05f, pitch, 0.1f, 0.01);
    EXPECT_EQ(0.0f, cmd.left_motor);
    EXPECT_EQ(0.0f, cmd.right_motor);
    EXPECT_EQ(i_theta, c.integrator_theta);
    EXPECT_EQ(t, c.prev_time);
    EXPECT_EQ(0.001f, c.theta_prev);
  }

  // Arming starts the loops afresh: integrators cleared, and the next state
  // is stepped like a first one (a rate against the pitch before disarming
  // would be -12.5 rad/s).
  setArmed(c, true);
  EXPECT_EQ(0.0f, c.integrator_theta);
  state(c, 0.0f, -0.5f, 0.0f, 0.01);
  EXPECT_EQ(0.0f, c.integrator_theta);
  EXPECT_EQ(now_, c.prev_time);
  // A latched true heard again is no new arming.
  state(c, 0.0f, -0.5f, 0.0f, 0.01);
  const float wound = c.integrator_theta;
  ASSERT_GT(wound, 0.0f);
  std_msgs::Bool::Ptr again(new std_msgs::Bool);
  again->data = true;
  c.armedCallback(again);
  EXPECT_EQ(wound, c.integrator_theta);
}

TEST_F(ControllerTest, BodyHeldOnItsStopWindsUpOnlyToTheBoundAndArmingStartsAfresh)
{
  // Default rig, armed on the -0.5 rad stop, propellers without effect: e_theta
  // = 0.5 for as long as it lasts. The pitch integral adds ki * 0.5 * t
  // = 0.025 N per second, 0.0025 per motor per second, until its bound
  // 0.2 * F_e = 1.1772 N (0.11772 per motor) is reached after 47.1 s.
  PIDController c;
  setArmed(c, true);
  state(c, 0.0f, -0.5f, 0.0f, 0.05);  // first state: kOnStopFresh
  const zv_msgs::Command at30 = hold(c, 0.0f, -0.5f, 0.0f, 30.0);
  EXPECT_NEAR(kOnStopFresh + 0.075, at30.left_motor, 1e-4);
  EXPECT_NEAR(kOnStopFresh + 0.075, at30.right_motor, 1e-4);
  const zv_msgs::Command at90 = hold(c, 0.0f, -0.5f, 0.0f, 60.0);
  EXPECT_NEAR(kOnStopFresh + 0.11772, at90.left_motor, 1e-5);  // 0.91789, not 1
  EXPECT_NEAR(kOnStopFresh + 0.11772, at90.right_motor, 1e-5);
  EXPECT_NEAR(23.544, c.integrator_theta, 1e-4);

  // STOP, ARM: the first command is a fresh controller's, to the bit.
  setArmed(c, false);
  state(c, 0.0f, -0.5f, 0.0f, 0.05);
  setArmed(c, true);
  const zv_msgs::Command rearmed = state(c, 0.0f, -0.5f, 0.0f, 0.05);
  EXPECT_NEAR(kOnStopFresh, rearmed.left_motor, 1e-5);
  PIDController fresh;
  expectSameBits(state(fresh, 0.0f, -0.5f, 0.0f, 0.0), rearmed, "re-armed");

  // Yaw reference 0.5 on the stop. Fresh, by hand: phi_r = kp_psi * 0.5 =
  // 0.271767 * 0.5 = 0.135883, tau/d = 1.5488 * 0.135883 / 0.2 = 1.052280, so
  // (8.001691 +- 1.052280) / 10 = 0.905397 / 0.694941. After 10 s the
  // integrals add 0.1 rad of roll and 0.25 N and the left motor sits at its
  // limit (proportional terms and integrals together); re-armed, it starts
  // from the fresh values again.
  reference(c, 0.5f, 0.0f);
  hold(c, 0.0f, -0.5f, 0.0f, 10.0);
  setArmed(c, false);
  state(c, 0.0f, -0.5f, 0.0f, 0.05);
  setArmed(c, true);
  const zv_msgs::Command yawed = state(c, 0.0f, -0.5f, 0.0f, 0.05);
  EXPECT_NEAR(0.905397, yawed.left_motor, 1e-5);
  EXPECT_NEAR(0.694941, yawed.right_motor, 1e-5);

  // Held on, the yaw integral stops at its bound, 0.2 rad / ki_psi = 10 rad*s
  // (0.5 rad*s per second: 20 s).
  hold(c, 0.0f, -0.5f, 0.0f, 25.0);
  EXPECT_NEAR(10.0, c.integrator_psi, 1e-5);
}

TEST_F(ControllerTest, IntegralsAtTheirBoundsAloneKeepEveryThrottleOffItsLimits)
{
  // Default rig, level and still at its reference, both integrals wound up to
  // their bounds by whatever came before. Pitch: F = 5.886 +- 1.1772;
  // yaw: phi_r = +-0.2 rad, tau/d = 1.5488 * 0.2 / 0.2 = +-1.5488. Throttles
  // (F +- tau/d) / 10: 0.8612 / 0.55144 when wound up positive, 0.316 / 0.62576
  // when negative.
  for (const float sign : {1.0f, -1.0f})
  {
    PIDController c;
    state(c, 0.0f, 0.0f, 0.0f, 0.01);
    c.integrator_theta = sign * 1e6f;
    c.integrator_psi = sign * 1e6f;
    const zv_msgs::Command cmd = state(c, 0.0f, 0.0f, 0.0f, 0.01);
    EXPECT_NEAR(sign > 0 ? 0.8612 : 0.316, cmd.left_motor, 1e-5) << sign;
    EXPECT_NEAR(sign > 0 ? 0.55144 : 0.62576, cmd.right_motor, 1e-5) << sign;
  }
}

TEST_F(ControllerTest, SkippedStatesRepeatTheLastCommandForAQuarterSecondOnly)
{
  PIDController c;
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  const zv_msgs::Command last = state(c, 0.0f, 0.0f, 0.0f, 0.01);
  ASSERT_GT(last.left_motor, 0.0f);

  // Non-finite states every 10 ms: the last command up to 0.24 s after it,
  // zeros from 0.25 s on.
  for (int i = 1; i <= 30; ++i)
  {
    const zv_msgs::Command cmd = state(c, kNaN, 0.0f, 0.0f, 0.01);
    if (i < 25)
    {
      expectSameBits(last, cmd, "repeat " + std::to_string(i));
    }
    else
    {
      expectCommand(0.0f, 0.0f, cmd, "stale " + std::to_string(i));
    }
  }

  // A state that can be stepped ends it; after a second of silence a skipped
  // state gets zeros at once, since the last command is too old to repeat.
  EXPECT_GT(state(c, 0.0f, 0.0f, 0.0f, 0.01).left_motor, 0.0f);
  expectCommand(0.0f, 0.0f, state(c, kNaN, 0.0f, 0.0f, 1.0), "after silence");
}

TEST_F(ControllerTest, StoppedRosClockEndsTheRepeatOnTheMonotonicClock)
{
  PIDController c;
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  const ros::SteadyTime start = ros::SteadyTime::now();
  const zv_msgs::Command last = state(c, 0.0f, 0.0f, 0.0f, 0.01);
  ASSERT_GT(last.left_motor, 0.0f);

  // ROS time stands still from here on (a /clock that stopped): every state
  // is a zero step and ROS time can never reach 0.25 s.
  zv_msgs::Command cmd = state(c, 0.0f, 0.1f, 0.0f, 0.0);
  expectSameBits(last, cmd, "first zero step");
  while (cmd.left_motor != 0.0f && ros::SteadyTime::now() - start < ros::WallDuration(10.0))
  {
    ros::WallDuration(0.02).sleep();
    cmd = state(c, 0.0f, 0.1f, 0.0f, 0.0);
  }
  expectCommand(0.0f, 0.0f, cmd, "stopped clock");
  EXPECT_GE((ros::SteadyTime::now() - start).toSec(), 0.25);
}

// --- Parameters that cannot drive the motors --------------------------------

TEST_F(ControllerTest, MissingOrZeroDivisorHoldsThrottlesAtZeroWithOneError)
{
  LogAtLeast log(ros::console::levels::Error);
  for (const char* key : {"km", "d", "lT", "J1x"})
  {
    for (bool zero : {false, true})
    {
      std::map<std::string, double> rig = defaultRig();
      if (zero)
      {
        rig[key] = 0.0;
      }
      else
      {
        rig.erase(key);
      }
      loadRig(rig);
      log.lines.clear();
      PIDController c;
      EXPECT_TRUE(c.throttles_held) << key;
      ASSERT_EQ(1u, log.lines.size()) << key;
      const std::string& text = log.lines[0];
      const std::string named = std::string("/zorvik/") + key + (zero ? " is 0" : " is missing");
      EXPECT_NE(std::string::npos, text.find(named)) << text;
      EXPECT_NE(std::string::npos, text.find("held at 0")) << text;
      EXPECT_NE(std::string::npos, text.find("zorvik_params.yaml")) << text;

      // Every state is still answered, with zero throttles, whatever it says.
      for (float pitch : {0.0f, -1.0f, 1.0f, kNaN})
      {
        expectCommand(0.0f, 0.0f, state(c, 0.0f, pitch, 0.0f, 0.01), key);
      }
    }
  }
}

TEST_F(ControllerTest, NoParametersAtAllStillAnswersWithZeros)
{
  ros::param::del("/zorvik");
  PIDController c;
  EXPECT_EQ(0.0f, c.l1);
  EXPECT_EQ(0.0f, c.km);
  EXPECT_EQ(0.0f, c.g);
  EXPECT_TRUE(c.throttles_held);
  for (int i = 0; i < 3; ++i)
  {
    expectCommand(0.0f, 0.0f, state(c, 0.1f, 0.2f, 0.3f, 0.01), "no parameters");
  }
}

TEST_F(ControllerTest, MissingMassesMakeInfiniteGainAndHold)
{
  std::map<std::string, double> rig = defaultRig();
  rig.erase("m1");
  rig.erase("m2");
  loadRig(rig);
  LogAtLeast log(ros::console::levels::Error);
  PIDController c;
  EXPECT_TRUE(std::isinf(c.kp_psi));
  EXPECT_TRUE(c.throttles_held);
  ASSERT_EQ(1u, log.lines.size());
  EXPECT_NE(std::string::npos, log.lines[0].find("/zorvik/m1 is missing")) << log.lines[0];
  EXPECT_NE(std::string::npos, log.lines[0].find("kp_psi = inf")) << log.lines[0];
  EXPECT_EQ(0.0f, state(c, 0.0f, 0.0f, 0.0f, 0.01).left_motor);
}

TEST_F(ControllerTest, ValidParametersLogNothing)
{
  LogAtLeast log(ros::console::levels::Error);
  PIDController c;
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  EXPECT_TRUE(log.lines.empty());
}
}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_pid_controller");
  ros::NodeHandle nh;  // starts the node before simulated time is set
  return RUN_ALL_TESTS();
}
