// Gain design checked from first principles: the plant gains b of the three
// loops worked out by hand from the default rig, and each designed loop's
// natural frequency sqrt(kp * b) and damping kd * b / (2 * wn).
#include "zv_ta/gain_design.h"

#include "default_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using zorvik_controller::designDrivesMotors;
using zorvik_controller::designGains;
using zorvik_controller::Gains;
using zorvik_controller::nonFiniteDesignOutputs;
using zorvik_controller::RigParameters;
using zorvik_controller::saturateThrottle;

namespace
{
RigParameters defaultRig()
{
  return zv_ta_test::rigParameters(zv_ta_test::defaultRig());
}

// By hand from the default rig:
//   F_e = (0.5 * 0.5 + 0.2 * 0.25) * 9.81 / 0.5 = 5.886 N
//   roll:  b = 1 / J1x = 1 / 0.02 = 50
//   pitch: b = lT / (m1 l1^2 + m2 l2^2 + J1y + J2y)
//            = 0.5 / (0.125 + 0.0125 + 0.005 + 0.004) = 0.5 / 0.1465 = 3.412969
//   yaw:   b = F_e lT / (J1z + m1 l1^2 + m2 l2^2 + J2z + m3 (l3x^2 + l3y^2))
//            = 2.943 / (0.02 + 0.1375 + 0.004 + 0.3 * 0.0125) = 2.943 / 0.16525 = 17.809380
const double kF_e = 5.886;
const double kBPhi = 50.0;
const double kBTheta = 0.5 / 0.1465;
const double kBPsi = 2.943 / 0.16525;

// Natural frequency and damping of kp, kd on the double integrator b / s^2.
void expectLoop(double b, float kp, float kd, double wn, const char* loop)
{
  const double got_wn = std::sqrt(static_cast<double>(kp) * b);
  EXPECT_NEAR(wn, got_wn, 1e-6 * wn) << loop;
  EXPECT_NEAR(0.8, static_cast<double>(kd) * b / (2.0 * got_wn), 1e-6) << loop;
}
}  // namespace

TEST(GainDesign, DefaultRigLoopsHaveTheirRiseTimesAndDamping)
{
  const Gains k = designGains(defaultRig());
  EXPECT_NEAR(kF_e, k.F_e, 1e-6 * kF_e);
  // wn = 2.2 / rise time: 0.25 s roll, 0.5 s pitch, 1 s yaw.
  expectLoop(kBPhi, k.kp_phi, k.kd_phi, 8.8, "roll");
  expectLoop(kBTheta, k.kp_theta, k.kd_theta, 4.4, "pitch");
  expectLoop(kBPsi, k.kp_psi, k.kd_psi, 2.2, "yaw");
  EXPECT_EQ(0.0f, k.ki_phi);
  EXPECT_EQ(0.05f, k.ki_theta);
  EXPECT_EQ(0.02f, k.ki_psi);
}

TEST(GainDesign, IntegratorBoundsFromTheRig)
{
  // Pitch: 0.2 * F_e / ki_theta = 1.1772 / 0.05 = 23.544 rad*s.
  // Yaw: 0.2 rad of roll / ki_psi = 0.2 / 0.02 = 10 rad*s.
  const Gains k = designGains(defaultRig());
  EXPECT_NEAR(23.544, k.integrator_theta_limit, 1e-5);
  EXPECT_NEAR(10.0, k.integrator_psi_limit, 1e-5);
}

TEST(GainDesign, DefaultRigDrivesMotors)
{
  const RigParameters p = defaultRig();
  const Gains k = designGains(p);
  EXPECT_TRUE(designDrivesMotors(p, k));
  EXPECT_TRUE(nonFiniteDesignOutputs(k).empty());
}

TEST(GainDesign, UnusableDivisorsOrGainsHoldTheMotors)
{
  // Each divisor at 0 or not finite.
  for (float RigParameters::*key : {&RigParameters::d, &RigParameters::km, &RigParameters::lT, &RigParameters::J1x})
  {
    for (float bad : {0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
    {
      RigParameters p = defaultRig();
      p.*key = bad;
      EXPECT_FALSE(designDrivesMotors(p, designGains(p))) << "value " << bad;
    }
  }

  // A zero roll inertia leaves every gain finite (the roll gains become 0):
  // only the divisor check catches it.
  RigParameters no_inertia = defaultRig();
  no_inertia.J1x = 0.0f;
  const Gains k = designGains(no_inertia);
  EXPECT_TRUE(nonFiniteDesignOutputs(k).empty());
  EXPECT_EQ(0.0f, k.kp_phi);
  EXPECT_FALSE(designDrivesMotors(no_inertia, k));

  // Missing masses give F_e = 0, a zero yaw plant gain and an infinite yaw gain.
  RigParameters no_masses = defaultRig();
  no_masses.m1 = 0.0f;
  no_masses.m2 = 0.0f;
  const Gains km = designGains(no_masses);
  EXPECT_FALSE(designDrivesMotors(no_masses, km));
  const std::vector<std::string> bad = nonFiniteDesignOutputs(km);
  ASSERT_EQ(2u, bad.size());
  EXPECT_EQ("kp_psi = inf", bad[0]);
  EXPECT_EQ("kd_psi = inf", bad[1]);

  // A non-finite parameter that is not a divisor still poisons a gain.
  RigParameters nan_mass = defaultRig();
  nan_mass.m3 = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(designDrivesMotors(nan_mass, designGains(nan_mass)));

  // With nothing on the server every parameter is 0.
  RigParameters none = {};
  EXPECT_FALSE(designDrivesMotors(none, designGains(none)));
}

TEST(Saturation, EachValueClippedToUnitRange)
{
  EXPECT_EQ(0.0f, saturateThrottle(-0.3f));
  EXPECT_EQ(1.0f, saturateThrottle(1.7f));
  EXPECT_EQ(0.0f, saturateThrottle(0.0f));
  EXPECT_EQ(1.0f, saturateThrottle(1.0f));
  EXPECT_EQ(0.5886f, saturateThrottle(0.5886f));
  EXPECT_EQ(1.0f, saturateThrottle(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(0.0f, saturateThrottle(-std::numeric_limits<float>::infinity()));
  // Just outside the bounds still clips: the comparisons are strict but exact.
  EXPECT_EQ(1.0f, saturateThrottle(std::nextafter(1.0f, 2.0f)));
  EXPECT_EQ(0.0f, saturateThrottle(-std::numeric_limits<float>::denorm_min()));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
