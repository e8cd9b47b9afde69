// Gain design against values worked out here from the design formulas, with
// the same single/double precision at every step, so results must match to the bit.
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

double dbl(float x)
{
  return static_cast<double>(x);
}
}  // namespace

TEST(GainDesign, DefaultRigMatchesFormulasBitForBit)
{
  const RigParameters p = defaultRig();
  const Gains k = designGains(p);

  // Equilibrium force, single precision left to right.
  const float m1l1 = p.m1 * p.l1;
  const float m2l2 = p.m2 * p.l2;
  const float F_e = ((m1l1 + m2l2) * p.g) / p.lT;
  // Inertia sums in double, squares taken in double.
  const double arm = dbl(p.m1) * (dbl(p.l1) * dbl(p.l1)) + dbl(p.m2) * (dbl(p.l2) * dbl(p.l2));
  const float S_psi =
      static_cast<float>(arm + dbl(p.J2z) + dbl(p.m3) * (dbl(p.l3x) * dbl(p.l3x) + dbl(p.l3y) * dbl(p.l3y)));
  const float b_psi = (F_e * p.lT) / (p.J1z + S_psi);
  const float b_phi = 1.0f / p.J1x;
  const float b_theta = static_cast<float>(dbl(p.lT) / (arm + dbl(p.J1y) + dbl(p.J2y)));
  // Natural frequencies 2.2/tr for tr = 0.25, 0.5 and 1 s; damping 0.8.
  const double w_phi = 8.8, w_theta = 4.4, w_psi = 2.2;

  EXPECT_EQ(F_e, k.F_e);
  EXPECT_EQ(static_cast<float>(w_phi * w_phi / dbl(b_phi)), k.kp_phi);
  EXPECT_EQ(0.0f, k.ki_phi);
  EXPECT_EQ(static_cast<float>(2.0 * w_phi * 0.8 / dbl(b_phi)), k.kd_phi);
  EXPECT_EQ(static_cast<float>(w_theta * w_theta / dbl(b_theta)), k.kp_theta);
  EXPECT_EQ(0.05f, k.ki_theta);
  EXPECT_EQ(static_cast<float>(2.0 * w_theta * 0.8 / dbl(b_theta)), k.kd_theta);
  EXPECT_EQ(static_cast<float>(w_psi * w_psi / dbl(b_psi)), k.kp_psi);
  EXPECT_EQ(0.02f, k.ki_psi);
  EXPECT_EQ(static_cast<float>(2.0 * w_psi * 0.8 / dbl(b_psi)), k.kd_psi);

  // The same figures in plain double arithmetic, as one would by hand:
  // kp = wn^2 * inertia / plant numerator, kd = 2 * wn * 0.8 * inertia / numerator.
  const double F_e_d = (dbl(p.m1) * dbl(p.l1) + dbl(p.m2) * dbl(p.l2)) * dbl(p.g) / dbl(p.lT);
  const double pitch_sum = arm + dbl(p.J1y) + dbl(p.J2y);
  const double yaw_sum =
      arm + dbl(p.J2z) + dbl(p.J1z) + dbl(p.m3) * (dbl(p.l3x) * dbl(p.l3x) + dbl(p.l3y) * dbl(p.l3y));
  EXPECT_NEAR(F_e_d, k.F_e, 1e-5);
  EXPECT_NEAR(77.44 * dbl(p.J1x), k.kp_phi, 1e-5);
  EXPECT_NEAR(14.08 * dbl(p.J1x), k.kd_phi, 1e-6);
  EXPECT_NEAR(19.36 * pitch_sum / dbl(p.lT), k.kp_theta, 1e-5);
  EXPECT_NEAR(7.04 * pitch_sum / dbl(p.lT), k.kd_theta, 1e-5);
  EXPECT_NEAR(4.84 * yaw_sum / (F_e_d * dbl(p.lT)), k.kp_psi, 1e-5);
  EXPECT_NEAR(3.52 * yaw_sum / (F_e_d * dbl(p.lT)), k.kd_psi, 1e-5);
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
