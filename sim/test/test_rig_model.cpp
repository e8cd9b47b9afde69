#include "zv_sim/rig_model.h"
#include "default_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using zv_sim::RigLimits;
using zv_sim::RigModel;
using zv_sim::RigParams;
using zv_sim::RigState;
using zv_sim_test::defaultRig;

namespace
{
// A rig whose every term differs from the default, so a misplaced parameter shows.
RigParams oddRig()
{
  RigParams p = defaultRig();
  p.l1 = 0.6;
  p.l2 = 0.3;
  p.l3x = 0.12;
  p.l3y = 0.07;
  p.lT = 0.55;
  p.d = 0.17;
  p.m1 = 0.45;
  p.m2 = 0.25;
  p.m3 = 0.35;
  p.J1x = 0.013;
  p.J1y = 0.007;
  p.J1z = 0.023;
  p.J2y = 0.0045;
  p.J2z = 0.0052;
  p.km = 6.5;
  p.g = 9.7;
  return p;
}

RigState at(double roll, double pitch, double yaw, double roll_rate = 0, double pitch_rate = 0, double yaw_rate = 0)
{
  RigState s;
  s.roll = roll;
  s.pitch = pitch;
  s.yaw = yaw;
  s.roll_rate = roll_rate;
  s.pitch_rate = pitch_rate;
  s.yaw_rate = yaw_rate;
  return s;
}
}  // namespace

TEST(RigModelHover, DefaultHoverThrottleHoldsTheRigLevelAndStill)
{
  // F_e = (0.5*0.5 + 0.2*0.25) * 9.81 / 0.5 = 5.886 N, shared by two 5 N motors.
  RigModel model(defaultRig());
  model.setState(at(0, 0, 0));
  model.setThrottles(0.5886, 0.5886);
  for (int i = 0; i < 5000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_NEAR(model.state().pitch, 0.0, 1e-9);
  EXPECT_NEAR(model.state().pitch_rate, 0.0, 1e-9);
  EXPECT_EQ(model.state().roll, 0.0);
  EXPECT_EQ(model.state().yaw, 0.0);
}

TEST(RigModelHover, TiltedHoverNeedsCosineOfPitchTimesTheHoverThrust)
{
  const RigParams p = oddRig();
  const double hover_force = (0.45 * 0.6 + 0.25 * 0.3) * 9.7 / 0.55;
  const double theta = 0.3;
  const double u = std::cos(theta) * hover_force / (2 * 6.5);
  RigModel model(p);
  model.setState(at(0, theta, 0));
  model.setThrottles(u, u);
  for (int i = 0; i < 2000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_NEAR(model.state().pitch, theta, 1e-9);
}

TEST(RigModelLinearisation, PlantGainsAboutHoverMatchTheGainDesign)
{
  for (const RigParams& p : {defaultRig(), oddRig()})
  {
    const double F_e = (p.m1 * p.l1 + p.m2 * p.l2) * p.g / p.lT;
    const double b_phi = 1.0 / p.J1x;
    const double b_theta = p.lT / (p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2 + p.J1y + p.J2y);
    const double b_psi =
        F_e * p.lT / (p.J1z + p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2 + p.J2z + p.m3 * (p.l3x * p.l3x + p.l3y * p.l3y));

    RigModel model(p);
    const RigState hover = at(0, 0, 0);
    const double h = 1e-6;
    // Roll: a torque step tau = d * (f_left - f_right).
    const double dtau = h;
    const double a_roll_plus = model.accelerations(hover, F_e / 2 + dtau / (2 * p.d), F_e / 2 - dtau / (2 * p.d)).roll;
    const double a_roll_minus = model.accelerations(hover, F_e / 2 - dtau / (2 * p.d), F_e / 2 + dtau / (2 * p.d)).roll;
    EXPECT_NEAR((a_roll_plus - a_roll_minus) / (2 * dtau), b_phi, 1e-6 * b_phi);
    // Pitch: a step of the total force F = f_left + f_right.
    const double a_pitch_plus = model.accelerations(hover, (F_e + h) / 2, (F_e + h) / 2).pitch;
    const double a_pitch_minus = model.accelerations(hover, (F_e - h) / 2, (F_e - h) / 2).pitch;
    EXPECT_NEAR((a_pitch_plus - a_pitch_minus) / (2 * h), b_theta, 1e-6 * b_theta);
    EXPECT_NEAR(model.accelerations(hover, F_e / 2, F_e / 2).pitch, 0.0, 1e-9);
    // Yaw: per radian of roll, at hover thrust.
    const double a_yaw_plus = model.accelerations(at(h, 0, 0), F_e / 2, F_e / 2).yaw;
    const double a_yaw_minus = model.accelerations(at(-h, 0, 0), F_e / 2, F_e / 2).yaw;
    EXPECT_NEAR((a_yaw_plus - a_yaw_minus) / (2 * h), b_psi, 1e-6 * b_psi);
  }
}

TEST(RigModelIntegration, ConstantTorqueRollFollowsTheClosedFormSolution)
{
  // J*phi'' = tau - B*phi' from rest: phi(t) = (tau/B) * (t - (J/B) * (1 - exp(-B*t/J))).
  RigParams p = defaultRig();
  p.g = 0;  // keep pitch still, away from its stop
  RigModel model(p);
  model.setState(at(0, 0, 0));
  const double u_left = 0.01, u_right = 0.0;
  model.setThrottles(u_left, u_right);
  const double tau = 0.2 * 5.0 * (u_left - u_right);
  const double J = 0.02, B = 0.01;
  for (int i = 0; i < 1000; ++i)
  {
    model.step(0.001);
  }
  const double t = 1.0;
  const double expected = (tau / B) * (t - (J / B) * (1 - std::exp(-B * t / J)));
  EXPECT_NEAR(model.state().roll, expected, 1e-10);
  EXPECT_GT(model.state().yaw, 0.0) << "a positive roll under thrust must turn the rig towards positive yaw";
}

TEST(RigModelEnergy, FrictionAloneDrainsEnergy)
{
  // Without gravity: everything spins down towards rest.
  RigParams weightless = defaultRig();
  weightless.g = 0;
  RigModel model(weightless);
  model.setState(at(0, 0, 0, 0.3, -0.2, 2.0));
  double previous = model.energy();
  const double initial = previous;
  for (int i = 0; i < 60000; ++i)
  {
    model.step(0.001);
    ASSERT_LE(model.energy(), previous + 1e-12) << "step " << i;
    previous = model.energy();
  }
  EXPECT_LT(model.energy(), 0.05 * initial);

  // With gravity, while the rig swings freely between its stops.
  RigModel swinging(defaultRig());
  swinging.setState(at(0.1, -0.2, 0, 0.2, 2.0, 1.0));
  previous = swinging.energy();
  for (int i = 0; i < 250; ++i)
  {
    swinging.step(0.001);
    ASSERT_GT(swinging.state().pitch, swinging.limits().pitch_min);
    ASSERT_LT(swinging.state().pitch, swinging.limits().pitch_max);
    ASSERT_LE(swinging.energy(), previous + 1e-12) << "step " << i;
    previous = swinging.energy();
  }
}

TEST(RigModelStops, MotorsOffRestOnThePitchStopAndFullThrustOnTheUpperOne)
{
  RigModel model(defaultRig());
  EXPECT_EQ(model.state().pitch, -0.5) << "starts at rest on its stop";
  model.setState(at(0, 0.2, 0));
  for (int i = 0; i < 3000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_EQ(model.state().pitch, -0.5);
  EXPECT_EQ(model.state().pitch_rate, 0.0);

  model.setThrottles(1.0, 1.0);
  for (int i = 0; i < 3000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_EQ(model.state().pitch, 0.5);
  EXPECT_EQ(model.state().pitch_rate, 0.0);
  // Leaving the stop is allowed: motors off again pulls it away from the upper stop.
  model.setThrottles(0.0, 0.0);
  model.step(0.001);
  EXPECT_LT(model.state().pitch, 0.5);
}

TEST(RigModelStops, RollStopsHoldBothWaysAndYawTurnsFreely)
{
  RigParams p = defaultRig();
  p.g = 0;
  RigModel model(p);
  model.setState(at(0, 0, 0));
  model.setThrottles(0.6, 0.0);
  for (int i = 0; i < 3000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_EQ(model.state().roll, 0.6);
  EXPECT_EQ(model.state().roll_rate, 0.0);
  model.setThrottles(0.0, 0.6);
  for (int i = 0; i < 3000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_EQ(model.state().roll, -0.6);
  EXPECT_EQ(model.state().roll_rate, 0.0);

  model.setThrottles(0, 0);
  model.setState(at(0, 0, 0, 0, 0, 10.0));
  for (int i = 0; i < 1000; ++i)
  {
    model.step(0.001);
  }
  EXPECT_GT(model.state().yaw, 2 * M_PI) << "yaw has no stop and is not wrapped";
}

TEST(RigModelThrottles, ClippedToUnitRangeAndNotANumberIsOff)
{
  RigModel model(defaultRig());
  model.setThrottles(1.7, -0.3);
  EXPECT_EQ(model.throttleLeft(), 1.0);
  EXPECT_EQ(model.throttleRight(), 0.0);
  model.setThrottles(std::numeric_limits<double>::quiet_NaN(), 0.25);
  EXPECT_EQ(model.throttleLeft(), 0.0);
  EXPECT_EQ(model.throttleRight(), 0.25);
  model.setThrottles(std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(model.throttleLeft(), 1.0);
  EXPECT_EQ(model.throttleRight(), 0.0);
}

TEST(RigModelValidate, RejectsWhatTheDynamicsDivideByAndNamesIt)
{
  EXPECT_EQ(RigModel::validate(defaultRig()), "");
  RigParams p = defaultRig();
  p.J1x = 0;
  EXPECT_NE(RigModel::validate(p).find("/zorvik/J1x"), std::string::npos);
  p = defaultRig();
  p.m1 = p.m2 = p.J1y = p.J2y = 0;
  EXPECT_NE(RigModel::validate(p).find("pitch inertia"), std::string::npos);
  p = defaultRig();
  p.km = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(RigModel::validate(p).find("/zorvik/km"), std::string::npos);
  RigLimits inverted;
  inverted.roll_min = 0.6;
  inverted.roll_max = -0.6;
  EXPECT_NE(RigModel::validate(defaultRig(), inverted), "");
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
