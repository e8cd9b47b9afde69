#include "zv_sim/rig_model.h"
#include "default_rig.h"

#include <ceres/jet.h>
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

namespace
{
// The default rig with one real-rig feature or more switched on.
zv_rig::RigDescription realRig()
{
  zv_rig::RigDescription r;
  r.zorvik = defaultRig();
  return r;
}

RigModel runFor(RigModel model, double left, double right, int steps)
{
  model.setThrottles(left, right);
  for (int i = 0; i < steps; ++i)
  {
    model.step(0.001);
  }
  return model;
}
}  // namespace

TEST(RigModelMotors, LagReachesOneMinusOneOverEAfterOneTimeConstantUpAndDown)
{
  zv_rig::RigDescription r = realRig();
  r.actuator.tau_up = 0.05;
  r.actuator.tau_down = 0.08;
  r.actuator.left_gain = 1.02;
  RigModel model(r);
  // Up: full throttle from rest, 50 ms = tau_up: 5.1 N * (1 - 1/e) = 3.22382 N
  // on the left, 5 N * 0.632121 = 3.16060 N on the right.
  model = runFor(model, 1.0, 1.0, 50);
  EXPECT_NEAR(model.state().thrust_left, 3.22382, 1e-5);
  EXPECT_NEAR(model.state().thrust_right, 3.16060, 1e-5);
  // Down: from the steady 5 N (2 s = 40 tau_up later), 80 ms = tau_down of
  // motors off leaves 5 N / e = 1.83940 N.
  model = runFor(model, 1.0, 1.0, 2000);
  model = runFor(model, 1.0, 0.0, 80);
  EXPECT_NEAR(model.state().thrust_right, 1.83940, 1e-5);
  EXPECT_NEAR(model.state().thrust_left, 5.1, 1e-9);
}

TEST(RigModelMotors, ThrustCurveAndItsInverseAtHandWorkedPoints)
{
  // (1 - 0.65) * 0.5 + 0.65 * 0.25 = 0.3375.
  EXPECT_NEAR(zv_sim::thrustFraction(0.5, 0.65, 0.0), 0.3375, 1e-12);
  // With s = 0.05: u = 0.525 is x = 0.475 / 0.95 = 0.5 again; at or below s the motor is off.
  EXPECT_NEAR(zv_sim::thrustFraction(0.525, 0.65, 0.05), 0.3375, 1e-12);
  EXPECT_EQ(zv_sim::thrustFraction(0.05, 0.65, 0.05), 0.0);
  EXPECT_EQ(zv_sim::thrustFraction(0.0, 0.65, 0.05), 0.0);
  EXPECT_NEAR(zv_sim::thrustFraction(1.0, 0.65, 0.05), 1.0, 1e-12);
  // Hover fraction 0.5886: x = (sqrt(0.35^2 + 2.6 * 0.5886) - 0.35) / 1.3 = 0.71972,
  // u = 0.05 + 0.95 x = 0.7337.
  EXPECT_NEAR(zv_sim::throttleForThrustFraction(0.5886, 0.65, 0.05), 0.7337, 5e-5);
  EXPECT_NEAR(zv_sim::throttleForThrustFraction(0.3375, 0.65, 0.05), 0.525, 1e-12);
  EXPECT_EQ(zv_sim::throttleForThrustFraction(0.0, 0.65, 0.05), 0.0);
  EXPECT_EQ(zv_sim::throttleForThrustFraction(1.0, 0.65, 0.05), 1.0);
  EXPECT_NEAR(zv_sim::throttleForThrustFraction(0.3, 0.0, 0.0), 0.3, 1e-15);

  // In the model, without lag: thrust = gain * km * fraction = 0.98 * 5 * 0.3375 = 1.65375 N.
  zv_rig::RigDescription r = realRig();
  r.actuator.thrust_expo = 0.65;
  r.actuator.throttle_start = 0.05;
  r.actuator.right_gain = 0.98;
  const RigModel model = runFor(RigModel(r), 0.04, 0.525, 1);
  EXPECT_EQ(model.state().thrust_left, 0.0) << "below the start threshold the motor does not turn";
  EXPECT_NEAR(model.state().thrust_right, 1.65375, 1e-12);
}

TEST(RigModelFriction, StictionHoldsABodyBelowTheCoulombLevelAndReleasesItAbove)
{
  zv_rig::RigDescription r = realRig();
  r.zorvik.g = 0;
  r.friction.coulomb_phi = 0.05;
  r.friction.coulomb_theta = 1.0;  // holds pitch against the thrust's 0.5 m * F
  RigModel model(r);
  model.setState(at(0, 0, 0));
  // Roll torque d * km * (u_left - u_right) = 0.2 * 5 * 0.04 = 0.04 N*m < 0.05: stays still.
  model = runFor(model, 0.04, 0.0, 1000);
  EXPECT_EQ(model.state().roll, 0.0);
  EXPECT_EQ(model.state().roll_rate, 0.0);
  EXPECT_EQ(model.state().pitch, 0.0);
  // 0.06 N*m: starts with 0.01 N*m net, roll'' = 0.01 / 0.02 = 0.5 rad/s^2 at first.
  model = runFor(model, 0.06, 0.0, 10);
  EXPECT_NEAR(model.state().roll_rate, 0.5 * 0.010, 2e-4);

  // A spinning yaw with Coulomb friction only comes to rest and stays there:
  // w0 * J / c = 0.1 rad/s * 0.16525 kg*m^2 / 0.01 N*m = 1.6525 s, after
  // w0^2 * J / (2c) = 0.082625 rad.
  zv_rig::RigDescription y = realRig();
  y.zorvik.g = 0;
  y.zorvik.Bpsi = 0;
  y.friction.coulomb_psi = 0.01;
  RigModel spinning(y);
  spinning.setState(at(0, 0, 0, 0, 0, 0.1));
  spinning = runFor(spinning, 0, 0, 1600);
  EXPECT_GT(spinning.state().yaw_rate, 0.0);
  spinning = runFor(spinning, 0, 0, 1000);
  EXPECT_EQ(spinning.state().yaw_rate, 0.0);
  EXPECT_NEAR(spinning.state().yaw, 0.082625, 1e-4);
}

// A roll pushed to and fro (0.1 N*m, ten times its Coulomb level) passes
// through rest every 50 ms. Where it does, the step must not matter: the
// fit steps the rig at 2.5 ms, the simulated rig at 1 ms. (Each reversal's
// rate set to 0 left the two 2.2 and 3.7 mrad short of 0.1 ms steps after
// 1 s, more than the encoders resolve.)
TEST(RigModelFriction, AReversalUnderTorqueBeyondStictionDoesNotDependOnTheStep)
{
  auto rollAfterOneSecond = [](double dt) {
    zv_rig::RigDescription r = realRig();
    r.zorvik.g = 0;
    r.friction.coulomb_phi = 0.01;
    RigModel model(r);
    model.setState(at(0, 0, 0));
    const int half_period = static_cast<int>(std::lround(0.05 / dt));
    for (int i = 0; i < static_cast<int>(std::lround(1.0 / dt)); ++i)
    {
      const bool left = (i / half_period) % 2 == 0;
      model.setThrottles(left ? 0.55 : 0.45, left ? 0.45 : 0.55);
      model.step(dt);
    }
    return model.state().roll;
  };
  const double fine = rollAfterOneSecond(0.0001);
  EXPECT_GT(fine, 0.02);  // it does turn
  EXPECT_NEAR(rollAfterOneSecond(0.001), fine, 1e-5);
  EXPECT_NEAR(rollAfterOneSecond(0.0025), fine, 1e-5);
}

TEST(RigModelMotors, ReactionTorqueTurnsYawWithItsSign)
{
  // Level, 3 N per motor: yaw'' = 0.005 N*m/N * 6 N / 0.16525 kg*m^2 = 0.181543 rad/s^2.
  for (double sign : {1.0, -1.0})
  {
    zv_rig::RigDescription r = realRig();
    r.actuator.reaction_torque = sign * 0.005;
    const RigModel model(r);
    EXPECT_NEAR(model.accelerations(at(0, 0, 0), 3.0, 3.0).yaw, sign * 0.181543, 1e-6);
  }
}

TEST(RigDynamics, AutomaticDerivativesGiveTheDoubleStepAndItsSlope)
{
  // Every real-rig term on, moving, so that each branch of the step is taken with Jets.
  zv_rig::RigDescription r = realRig();
  r.actuator.tau_up = 0.05;
  r.actuator.tau_down = 0.08;
  r.actuator.thrust_expo = 0.65;
  r.actuator.throttle_start = 0.05;
  r.actuator.left_gain = 1.02;
  r.actuator.right_gain = 0.98;
  r.actuator.reaction_torque = 0.005;
  r.friction.coulomb_phi = 0.002;
  r.friction.coulomb_theta = 0.005;
  r.friction.coulomb_psi = 0.005;
  const zv_sim::RigGeometry g = zv_sim::rigGeometryOf(r.zorvik);
  const zv_sim::RigDynamicParams<double> p = zv_sim::rigDynamicParamsOf(r);
  const RigState s0 = at(0.05, 0.1, 0.2, 0.3, -0.2, 0.1);

  typedef ceres::Jet<double, 1> Jet;
  zv_sim::RigDynamicParams<Jet> pj = zv_sim::rigDynamicParamsCast<Jet>(p);
  pj.km.v[0] = 1.0;  // d/dkm
  zv_sim::RigStateT<Jet> sj;
  sj.roll = Jet(s0.roll);
  sj.pitch = Jet(s0.pitch);
  sj.yaw = Jet(s0.yaw);
  sj.roll_rate = Jet(s0.roll_rate);
  sj.pitch_rate = Jet(s0.pitch_rate);
  sj.yaw_rate = Jet(s0.yaw_rate);
  RigState sd = s0;
  for (int i = 0; i < 100; ++i)
  {
    sj = zv_sim::rigStep(sj, Jet(0.8), Jet(0.7), pj, g, 0.001);
    sd = zv_sim::rigStep(sd, 0.8, 0.7, p, g, 0.001);
  }
  EXPECT_EQ(sj.pitch.a, sd.pitch);
  EXPECT_EQ(sj.roll.a, sd.roll);
  EXPECT_EQ(sj.thrust_left.a, sd.thrust_left);

  // The slope against a central difference in km.
  const double h = 1e-5;
  RigState up = s0, down = s0;
  zv_sim::RigDynamicParams<double> p_up = p, p_down = p;
  p_up.km += h;
  p_down.km -= h;
  for (int i = 0; i < 100; ++i)
  {
    up = zv_sim::rigStep(up, 0.8, 0.7, p_up, g, 0.001);
    down = zv_sim::rigStep(down, 0.8, 0.7, p_down, g, 0.001);
  }
  EXPECT_NEAR(sj.pitch.v[0], (up.pitch - down.pitch) / (2 * h), 1e-6);
  EXPECT_NEAR(sj.roll.v[0], (up.roll - down.roll) / (2 * h), 1e-6);
  EXPECT_NE(sj.pitch.v[0], 0.0);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
