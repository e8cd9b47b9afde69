// The controller in this process under simulated time: each state is handed
// to the controller and its command is compared, bit for bit, with the law
// worked out here step by step.
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

// By hand from the rig parameters, in double: each motor's throttle when the
// roll and yaw loops give no torque and only the pitch loop's force
//   F = kp_theta * e_theta + ki_theta * integrator_theta + F_e * cos(theta)
// is shared out, with kp_theta = 4.4^2 * (m1 l1^2 + m2 l2^2 + J1y + J2y) / lT
// (rise time 0.5 s) and ki_theta = 0.05.
double pitchOnlyThrottle(double e_theta, double integrator_theta, double theta)
{
  const auto& r = defaultRig();
  const double arm = r.at("m1") * r.at("l1") * r.at("l1") + r.at("m2") * r.at("l2") * r.at("l2");
  const double kp_theta = 4.4 * 4.4 * (arm + r.at("J1y") + r.at("J2y")) / r.at("lT");
  const double F_e = (r.at("m1") * r.at("l1") + r.at("m2") * r.at("l2")) * r.at("g") / r.at("lT");
  return (kp_theta * e_theta + 0.05 * integrator_theta + F_e * std::cos(theta)) / (2.0 * r.at("km"));
}

bool sameBits(float a, float b)
{
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The law for one state, in the precision of each step.
struct LawModel
{
  // Gains copied from the controller under test; the design has its own test.
  float kp_phi, ki_phi, kd_phi, kp_theta, ki_theta, kd_theta, kp_psi, ki_psi, kd_psi, F_e, d, km;
  float i_phi, i_theta, i_psi;
  float phi_prev, theta_prev, psi_prev;
  float theta_r, psi_r;
  ros::Time prev;
  float u_left = 0, u_right = 0;  // before clipping

  explicit LawModel(const PIDController& c)
      : kp_phi(c.kp_phi),
        ki_phi(c.ki_phi),
        kd_phi(c.kd_phi),
        kp_theta(c.kp_theta),
        ki_theta(c.ki_theta),
        kd_theta(c.kd_theta),
        kp_psi(c.kp_psi),
        ki_psi(c.ki_psi),
        kd_psi(c.kd_psi),
        F_e(c.F_e),
        d(c.d),
        km(c.km)
  {
    sync(c);
  }

  // Takes over the loop state the controller has reached.
  void sync(const PIDController& c)
  {
    i_phi = c.integrator_phi;
    i_theta = c.integrator_theta;
    i_psi = c.integrator_psi;
    phi_prev = c.phi_prev;
    theta_prev = c.theta_prev;
    psi_prev = c.psi_prev;
    theta_r = c.theta_r;
    psi_r = c.psi_r;
    prev = c.prev_time;
  }

  static float clip(float u)
  {
    return u < 0.0f ? 0.0f : (u > 1.0f ? 1.0f : u);
  }

  zv_msgs::Command step(float phi, float theta, float psi, ros::Time now)
  {
    const float F_ff = cosf(theta) * F_e;
    const float dt = static_cast<float>((now - prev).toSec());
    prev = now;

    const float psi_dot = (psi - psi_prev) / dt;
    psi_prev = psi;
    const float e_psi = psi_r - psi;
    i_psi = i_psi + e_psi * dt;
    const float phi_r = (kp_psi * e_psi - kd_psi * psi_dot) + ki_psi * i_psi;

    const float phi_dot = (phi - phi_prev) / dt;
    phi_prev = phi;
    const float e_phi = phi_r - phi;
    i_phi = i_phi + e_phi * dt;
    const float tau = (kp_phi * e_phi - kd_phi * phi_dot) + ki_phi * i_phi;

    const float theta_dot = (theta - theta_prev) / dt;
    theta_prev = theta;
    const float e_theta = theta_r - theta;
    if (static_cast<double>(theta_dot) < 0.2)
    {
      i_theta = i_theta + e_theta * dt;
    }
    const float F = ((kp_theta * e_theta - kd_theta * theta_dot) + ki_theta * i_theta) + F_ff;

    u_left = ((tau / d + F) / 2.0f) / km;
    u_right = ((-tau / d + F) / 2.0f) / km;
    zv_msgs::Command c;
    c.left_motor = clip(u_left);
    c.right_motor = clip(u_right);
    return c;
  }
};

class ErrorLog : public ros::console::LogAppender
{
 public:
  void log(ros::console::Level level, const char* str, const char*, const char*, int) override
  {
    if (level >= ros::console::levels::Error)
    {
      errors.push_back(str);
    }
  }
  std::vector<std::string> errors;
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

  void expectCommand(const zv_msgs::Command& expected, const zv_msgs::Command& got, const char* what)
  {
    EXPECT_TRUE(sameBits(expected.left_motor, got.left_motor))
        << what << ": left " << got.left_motor << " expected " << expected.left_motor;
    EXPECT_TRUE(sameBits(expected.right_motor, got.right_motor))
        << what << ": right " << got.right_motor << " expected " << expected.right_motor;
  }

  ros::NodeHandle nh_;
  ros::Subscriber command_sub_;
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
  PIDController c;
  for (int i = 0; i < 5; ++i)
  {
    const zv_msgs::Command cmd = state(c, 0.0f, 0.0f, 0.0f, 0.01);
    EXPECT_EQ(c.F_e / (2.0f * c.km), cmd.left_motor);
    EXPECT_EQ(c.F_e / (2.0f * c.km), cmd.right_motor);
    EXPECT_NEAR(pitchOnlyThrottle(0.0, 0.0, 0.0), cmd.left_motor, 1e-6);
  }
  EXPECT_EQ(c.F_e, c.F_ff);
}

TEST_F(ControllerTest, SequenceWithReferencesMatchesLawCommandByCommand)
{
  PIDController c;
  LawModel m(c);
  struct Step
  {
    float roll, pitch, yaw;
    double advance;
  };
  // The first state only starts timing (FirstStateIsSteppedWithoutRates);
  // the law is followed from the second one on.
  const Step steps[] = {{0.01f, -0.02f, 0.03f, 0.25},  {0.015f, -0.01f, 0.02f, 0.01},  {0.02f, 0.0f, 0.01f, 0.01},
                        {0.01f, 0.005f, -0.01f, 0.02}, {-0.01f, 0.01f, -0.02f, 0.005}, {-0.02f, 0.012f, 0.0f, 0.01},
                        {0.0f, 0.011f, 0.01f, 0.01},   {0.01f, 0.1f, 0.02f, 0.01},     {0.02f, 0.09f, 0.0f, 0.03}};
  int inside = 0;
  int n = 0;
  for (const Step& s : steps)
  {
    if (n == 0)
    {
      state(c, s.roll, s.pitch, s.yaw, s.advance);
      m.sync(c);
      ++n;
      continue;
    }
    if (n == 3)
    {
      // Several references between two states: only the last one counts,
      // and only from the next state on.
      reference(c, 0.5f, 0.3f);
      reference(c, -0.1f, 0.05f);
      drain();
      EXPECT_EQ(static_cast<std::size_t>(n), commands_.size()) << "a reference is never answered";
      m.psi_r = -0.1f;
      m.theta_r = 0.05f;
    }
    const zv_msgs::Command expected = m.step(s.roll, s.pitch, s.yaw, now_ + ros::Duration(s.advance));
    const zv_msgs::Command got = state(c, s.roll, s.pitch, s.yaw, s.advance);
    expectCommand(expected, got, ("state " + std::to_string(n)).c_str());
    EXPECT_EQ(m.i_phi, c.integrator_phi);
    EXPECT_EQ(m.i_theta, c.integrator_theta);
    EXPECT_EQ(m.i_psi, c.integrator_psi);
    inside += (got.left_motor > 0.0f && got.left_motor < 1.0f) + (got.right_motor > 0.0f && got.right_motor < 1.0f);
    ++n;
  }
  EXPECT_GE(inside, 10) << "the sequence should mostly exercise the unclipped law";
}

TEST_F(ControllerTest, PitchIntegratorFrozenOnlyWhileRisingAtPointTwoOrFaster)
{
  PIDController c;
  reference(c, 0.0f, 1.0f);
  state(c, 0.0f, 0.0f, 0.0f, 0.5);  // the first state only starts timing
  state(c, 0.0f, 0.0f, 0.0f, 0.5);  // exactly 0.5 s is an ordinary step
  const float before = c.integrator_theta;
  ASSERT_NE(0.0f, before);

  // 0.1 rad in 0.5 s is exactly 0.2f rad/s: frozen.
  state(c, 0.0f, 0.1f, 0.0f, 0.5);
  EXPECT_EQ(before, c.integrator_theta);

  // 0.1999 rad/s: runs.
  LawModel m(c);
  m.i_theta = c.integrator_theta;
  m.theta_prev = c.theta_prev;
  const float th = 0.1f + 0.09995f;
  const float e = 1.0f - th;
  state(c, 0.0f, th, 0.0f, 0.5);
  ASSERT_LT((th - 0.1f) / 0.5f, 0.2f);
  EXPECT_EQ(before + e * 0.5f, c.integrator_theta);

  // Falling fast, -5 rad/s: runs too.
  const float after_slow = c.integrator_theta;
  const float low = th - 2.5f;
  state(c, 0.0f, low, 0.0f, 0.5);
  EXPECT_EQ(after_slow + (1.0f - low) * 0.5f, c.integrator_theta);
}

TEST_F(ControllerTest, ThrottlesClipIndependently)
{
  // A large yaw error asks for a large roll: the torque drives one motor
  // above full throttle and the other below zero.
  PIDController c;
  state(c, 0.0f, 0.0f, 0.0f, 0.01);  // the first state only starts timing
  LawModel m(c);
  reference(c, 3.0f, 0.0f);
  m.psi_r = 3.0f;
  const zv_msgs::Command expected = m.step(0.0f, 0.0f, 0.0f, now_ + ros::Duration(0.01));
  ASSERT_GT(m.u_left, 1.0f);
  ASSERT_LT(m.u_right, 0.0f);
  const zv_msgs::Command got = state(c, 0.0f, 0.0f, 0.0f, 0.01);
  expectCommand(expected, got, "both clipped");
  EXPECT_EQ(1.0f, got.left_motor);
  EXPECT_EQ(0.0f, got.right_motor);

  // Pitched up, less force: the torque takes only the right motor below zero
  // and the left one passes unchanged.
  PIDController c2;
  state(c2, 0.0f, 0.0f, 0.0f, 0.01);
  LawModel m2(c2);
  reference(c2, 2.5f, 0.0f);
  m2.psi_r = 2.5f;
  const zv_msgs::Command e2 = m2.step(0.0f, 0.3f, 0.0f, now_ + ros::Duration(0.5));
  const zv_msgs::Command g2 = state(c2, 0.0f, 0.3f, 0.0f, 0.5);
  ASSERT_GT(m2.u_left, 0.0f);
  ASSERT_LT(m2.u_left, 1.0f);
  ASSERT_LT(m2.u_right, 0.0f);
  expectCommand(e2, g2, "right clipped");
  EXPECT_EQ(m2.u_left, g2.left_motor);
}

TEST_F(ControllerTest, ExactFullThrottlePassesUnchanged)
{
  // km = F_e / 2 puts the level hover exactly at 1.
  std::map<std::string, double> rig = defaultRig();
  const float F_e =
      (rigValue("m1") * rigValue("l1") + rigValue("m2") * rigValue("l2")) * rigValue("g") / rigValue("lT");
  rig["km"] = static_cast<double>(F_e / 2.0f);
  loadRig(rig);
  PIDController c;
  const zv_msgs::Command cmd = state(c, 0.0f, 0.0f, 0.0f, 0.01);
  EXPECT_EQ(1.0f, cmd.left_motor);
  EXPECT_EQ(1.0f, cmd.right_motor);
}

TEST_F(ControllerTest, StatesOverRealTopicsAnsweredOneEach)
{
  PIDController c;
  LawModel m(c);
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
  ref.yaw = 0.2f;
  ref.pitch = 0.1f;
  ref_pub.publish(ref);
  const ros::WallTime ref_deadline = ros::WallTime::now() + ros::WallDuration(2.0);
  while (c.psi_r != 0.2f && ros::WallTime::now() < ref_deadline)
  {
    ros::spinOnce();
  }
  EXPECT_EQ(0.2f, c.psi_r);
  EXPECT_EQ(0.1f, c.theta_r);
  state(c, 0.0f, 0.0f, 0.0f, 0.02);  // the first state only starts timing
  m.sync(c);
  const std::size_t before = commands_.size();

  for (int i = 0; i < 3; ++i)
  {
    now_ += ros::Duration(0.02);
    ros::Time::setNow(now_);
    zv_msgs::State s;
    s.roll = 0.01f * i;
    s.pitch = 0.02f * i;
    s.yaw = -0.01f * i;
    const zv_msgs::Command expected = m.step(s.roll, s.pitch, s.yaw, now_);
    state_pub.publish(s);
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(2.0);
    while (commands_.size() < before + i + 1 && ros::WallTime::now() < deadline)
    {
      ros::spinOnce();
    }
    ros::spinOnce();
    ASSERT_EQ(before + i + 1, commands_.size());
    expectCommand(expected, commands_.back(), "over topics");
  }
}

// --- Steps that cannot be computed -----------------------------------------

TEST_F(ControllerTest, ZeroOrNegativeStepRepeatsLastCommandAndRestartsTiming)
{
  PIDController c;
  LawModel m(c);
  reference(c, 0.1f, 0.2f);
  state(c, 0.0f, 0.0f, 0.0f, 0.01);  // the first state only starts timing
  const zv_msgs::Command last = state(c, 0.01f, 0.02f, 0.03f, 0.01);
  m.sync(c);
  const float i_phi = c.integrator_phi, i_theta = c.integrator_theta, i_psi = c.integrator_psi;

  // Same ROS time, then a clock jumping back by 0.5 s.
  for (double advance : {0.0, -0.5})
  {
    const zv_msgs::Command again = state(c, 0.05f, 0.06f, 0.07f, advance);
    expectCommand(last, again, "skipped step");
    EXPECT_EQ(i_phi, c.integrator_phi);
    EXPECT_EQ(i_theta, c.integrator_theta);
    EXPECT_EQ(i_psi, c.integrator_psi);
    EXPECT_EQ(now_, c.prev_time);
    EXPECT_EQ(0.05f, c.phi_prev);
    EXPECT_EQ(0.06f, c.theta_prev);
    EXPECT_EQ(0.07f, c.psi_prev);
  }

  // Timing restarted from the last skipped message: the law resumes from it.
  m.prev = now_;
  m.phi_prev = 0.05f;
  m.theta_prev = 0.06f;
  m.psi_prev = 0.07f;
  for (int i = 0; i < 3; ++i)
  {
    const zv_msgs::Command expected = m.step(0.05f, 0.06f, 0.07f, now_ + ros::Duration(0.01));
    expectCommand(expected, state(c, 0.05f, 0.06f, 0.07f, 0.01), "after restart");
  }
  EXPECT_TRUE(std::isfinite(c.integrator_phi) && std::isfinite(c.integrator_theta) && std::isfinite(c.integrator_psi));
}

TEST_F(ControllerTest, SkipBeforeAnyCommandAnswersZero)
{
  PIDController c;
  const zv_msgs::Command cmd = state(c, kNaN, 0.1f, 0.1f, 0.01);
  EXPECT_EQ(0.0f, cmd.left_motor);
  EXPECT_EQ(0.0f, cmd.right_motor);
}

TEST_F(ControllerTest, NonFiniteAngleOrResultChangesNothing)
{
  PIDController c;
  const zv_msgs::Command first = state(c, 0.01f, 0.02f, 0.03f, 0.01);
  const float i_phi = c.integrator_phi, i_theta = c.integrator_theta, i_psi = c.integrator_psi;
  const float p_phi = c.phi_prev, p_theta = c.theta_prev, p_psi = c.psi_prev;
  const ros::Time t = c.prev_time;

  const float inf = std::numeric_limits<float>::infinity();
  const float bad[][3] = {{kNaN, 0.0f, 0.0f},
                          {0.0f, kNaN, 0.0f},
                          {0.0f, 0.0f, inf},
                          // Finite, but its rate over 1 ms overflows.
                          {0.0f, 0.0f, 3e38f}};
  for (const auto& s : bad)
  {
    expectCommand(first, state(c, s[0], s[1], s[2], 0.001), "bad state");
    EXPECT_EQ(i_phi, c.integrator_phi);
    EXPECT_EQ(i_theta, c.integrator_theta);
    EXPECT_EQ(i_psi, c.integrator_psi);
    EXPECT_EQ(p_phi, c.phi_prev);
    EXPECT_EQ(p_theta, c.theta_prev);
    EXPECT_EQ(p_psi, c.psi_prev);
    EXPECT_EQ(t, c.prev_time);
  }

  // A good state afterwards is stepped from the last good one.
  LawModel m(c);
  m.i_phi = i_phi;
  m.i_theta = i_theta;
  m.i_psi = i_psi;
  m.phi_prev = p_phi;
  m.theta_prev = p_theta;
  m.psi_prev = p_psi;
  const zv_msgs::Command expected = m.step(0.0f, 0.0f, 0.0f, now_ + ros::Duration(0.01));
  expectCommand(expected, state(c, 0.0f, 0.0f, 0.0f, 0.01), "recovered");
}

// --- Timing restarts, arming and the limit on repeats -----------------------

TEST_F(ControllerTest, FirstStateIsSteppedWithoutRates)
{
  // The rig rests on its lower pitch stop. Rates against the zeros of
  // construction would read a fall of 0.5 rad in 5 ms and ask for full
  // throttle; only the proportional term and the feed-forward act instead:
  // with the default rig (5.672 * 0.5 + 5.886 * cos 0.5) / (2 * 5) = 0.800.
  const double expected = pitchOnlyThrottle(0.5, 0.0, -0.5);
  ASSERT_LT(expected, 0.95);
  for (double advance : {0.005, 0.0})  // no dt is used, so even 0 will do
  {
    PIDController c;
    const zv_msgs::Command cmd = state(c, 0.0f, -0.5f, 0.0f, advance);
    EXPECT_NEAR(expected, cmd.left_motor, 1e-5) << advance;
    EXPECT_NEAR(expected, cmd.right_motor, 1e-5) << advance;
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
  reference(c, 0.0f, 0.2f);
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  for (int i = 0; i < 3; ++i)
  {
    state(c, 0.0f, 0.05f, 0.0f, 0.01);
  }
  const float i_theta = c.integrator_theta;
  ASSERT_GT(i_theta, 0.0f);

  // 2 s later the body has sunk to -0.3 rad: no rate across the gap, no
  // 2 s of error integrated, the integrator acts as it stands.
  const zv_msgs::Command cmd = state(c, 0.0f, -0.3f, 0.0f, 2.0);
  EXPECT_EQ(i_theta, c.integrator_theta);
  EXPECT_EQ(0.0f, c.integrator_phi);
  EXPECT_EQ(0.0f, c.integrator_psi);
  const double expected = pitchOnlyThrottle(0.5, i_theta, -0.3);
  EXPECT_NEAR(expected, cmd.left_motor, 1e-5);
  EXPECT_NEAR(expected, cmd.right_motor, 1e-5);

  // Timing restarted from it: the next state is an ordinary step.
  LawModel m(c);
  const zv_msgs::Command next = m.step(0.0f, -0.29f, 0.0f, now_ + ros::Duration(0.01));
  expectCommand(next, state(c, 0.0f, -0.29f, 0.0f, 0.01), "after the gap");
}

TEST_F(ControllerTest, DisarmedRigGetsZerosAndLoopsStandStillUntilArmed)
{
  PIDController c;
  ros::Publisher armed_pub = nh_.advertise<std_msgs::Bool>("/zv_armed", 1, true);
  const auto setArmed = [&](bool armed)
  {
    std_msgs::Bool msg;
    msg.data = armed;
    armed_pub.publish(msg);
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(10.0);
    while (!(c.armed_heard && c.armed == armed) && ros::WallTime::now() < deadline)
    {
      ros::spinOnce();
      ros::WallDuration(0.001).sleep();
    }
    ASSERT_TRUE(c.armed_heard && c.armed == armed) << "/zv_armed " << armed << " never reached the controller";
  };

  // Before /zv_armed speaks the controller flies as usual.
  reference(c, 0.0f, 0.2f);
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  const zv_msgs::Command flying = state(c, 0.0f, 0.001f, 0.0f, 0.01);
  EXPECT_GT(flying.left_motor, 0.0f);
  const float i_theta = c.integrator_theta;
  ASSERT_GT(i_theta, 0.0f);
  const ros::Time t = c.prev_time;

  setArmed(false);
  for (float pitch : {-0.5f, 0.3f, kNaN})
  {
    const zv_msgs::Command cmd = state(c, 0.05f, pitch, 0.1f, 0.01);
    EXPECT_EQ(0.0f, cmd.left_motor);
    EXPECT_EQ(0.0f, cmd.right_motor);
    EXPECT_EQ(i_theta, c.integrator_theta);
    EXPECT_EQ(0.0f, c.integrator_phi);
    EXPECT_EQ(0.0f, c.integrator_psi);
    EXPECT_EQ(t, c.prev_time);
    EXPECT_EQ(0.001f, c.theta_prev);
  }

  // Armed 40 ms after the last step: the next state is stepped like a first
  // one (a rate against the pitch before disarming would be -12.5 rad/s).
  setArmed(true);
  const zv_msgs::Command first = state(c, 0.0f, -0.5f, 0.0f, 0.01);
  const double expected = pitchOnlyThrottle(0.7, i_theta, -0.5);
  EXPECT_NEAR(expected, first.left_motor, 1e-5);
  EXPECT_NEAR(expected, first.right_motor, 1e-5);
  EXPECT_EQ(i_theta, c.integrator_theta);
  EXPECT_EQ(now_, c.prev_time);

  LawModel m(c);
  const zv_msgs::Command next = m.step(0.0f, -0.48f, 0.0f, now_ + ros::Duration(0.01));
  expectCommand(next, state(c, 0.0f, -0.48f, 0.0f, 0.01), "armed again");
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
      expectCommand(last, cmd, ("repeat " + std::to_string(i)).c_str());
    }
    else
    {
      EXPECT_EQ(0.0f, cmd.left_motor) << i;
      EXPECT_EQ(0.0f, cmd.right_motor) << i;
    }
  }

  // A state that can be stepped ends it; after a second of silence a skipped
  // state gets zeros at once, since the last command is too old to repeat.
  EXPECT_GT(state(c, 0.0f, 0.0f, 0.0f, 0.01).left_motor, 0.0f);
  const zv_msgs::Command late = state(c, kNaN, 0.0f, 0.0f, 1.0);
  EXPECT_EQ(0.0f, late.left_motor);
  EXPECT_EQ(0.0f, late.right_motor);
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
  expectCommand(last, cmd, "first zero step");
  while (cmd.left_motor != 0.0f && ros::SteadyTime::now() - start < ros::WallDuration(10.0))
  {
    ros::WallDuration(0.02).sleep();
    cmd = state(c, 0.0f, 0.1f, 0.0f, 0.0);
  }
  EXPECT_EQ(0.0f, cmd.left_motor);
  EXPECT_EQ(0.0f, cmd.right_motor);
  EXPECT_GE((ros::SteadyTime::now() - start).toSec(), 0.25);
}

// --- Parameters that cannot drive the motors --------------------------------

TEST_F(ControllerTest, MissingOrZeroDivisorHoldsThrottlesAtZeroWithOneError)
{
  ErrorLog log;
  ros::console::register_appender(&log);
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
      log.errors.clear();
      PIDController c;
      EXPECT_TRUE(c.throttles_held) << key;
      ASSERT_EQ(1u, log.errors.size()) << key;
      const std::string& text = log.errors[0];
      const std::string named = std::string("/zorvik/") + key + (zero ? " is 0" : " is missing");
      EXPECT_NE(std::string::npos, text.find(named)) << text;
      EXPECT_NE(std::string::npos, text.find("held at 0")) << text;
      EXPECT_NE(std::string::npos, text.find("zorvik_params.yaml")) << text;

      // Every state is still answered, with zero throttles, whatever it says.
      for (float pitch : {0.0f, -1.0f, 1.0f, kNaN})
      {
        const zv_msgs::Command cmd = state(c, 0.0f, pitch, 0.0f, 0.01);
        EXPECT_EQ(0.0f, cmd.left_motor) << key;
        EXPECT_EQ(0.0f, cmd.right_motor) << key;
      }
    }
  }
  ros::console::deregister_appender(&log);
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
    const zv_msgs::Command cmd = state(c, 0.1f, 0.2f, 0.3f, 0.01);
    EXPECT_EQ(0.0f, cmd.left_motor);
    EXPECT_EQ(0.0f, cmd.right_motor);
  }
}

TEST_F(ControllerTest, MissingMassesMakeInfiniteGainAndHold)
{
  ErrorLog log;
  ros::console::register_appender(&log);
  std::map<std::string, double> rig = defaultRig();
  rig.erase("m1");
  rig.erase("m2");
  loadRig(rig);
  PIDController c;
  ros::console::deregister_appender(&log);
  EXPECT_TRUE(std::isinf(c.kp_psi));
  EXPECT_TRUE(c.throttles_held);
  ASSERT_EQ(1u, log.errors.size());
  EXPECT_NE(std::string::npos, log.errors[0].find("/zorvik/m1 is missing")) << log.errors[0];
  EXPECT_NE(std::string::npos, log.errors[0].find("kp_psi = inf")) << log.errors[0];
  EXPECT_EQ(0.0f, state(c, 0.0f, 0.0f, 0.0f, 0.01).left_motor);
}

TEST_F(ControllerTest, ValidParametersLogNothing)
{
  ErrorLog log;
  ros::console::register_appender(&log);
  PIDController c;
  state(c, 0.0f, 0.0f, 0.0f, 0.01);
  ros::console::deregister_appender(&log);
  EXPECT_TRUE(log.errors.empty());
}
}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_pid_controller");
  ros::NodeHandle nh;  // starts the node before simulated time is set
  return RUN_ALL_TESTS();
}
