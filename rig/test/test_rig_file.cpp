#include "zv_rig/mixing.h"
#include "zv_rig/rig_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using zv_rig::RigDescription;
using zv_rig::readRigFile;

namespace
{
// The 24 keys with made-up values.
const char kZorvik[] =
    "zorvik:\n  l1: 1\n  l2: 2\n  l3x: 3\n  l3y: 4\n  l3z: 5\n  lT: 6\n  d: 7\n  m1: 8\n  m2: 9\n  m3: 10\n"
    "  J1x: 11\n  J1y: 12\n  J1z: 13\n  J2x: 14\n  J2y: 15\n  J2z: 16\n  J3x: 17\n  J3y: 18\n  J3z: 19\n"
    "  Bphi: 20\n  Bth: 21\n  Bpsi: 22\n  km: 23\n  g: 24\n";

class RigFile : public testing::Test
{
 protected:
  std::string write(const std::string& text)
  {
    std::ofstream(path_) << text;
    return path_;
  }
  ~RigFile() override
  {
    std::remove(path_.c_str());
  }
  std::string path_ = testing::TempDir() + "zv_rig_file_test.yaml";
};
}  // namespace

TEST_F(RigFile, TheParameterFileIsTheIdealRig)
{
  RigDescription rig;
  ASSERT_EQ("", readRigFile(ZV_RIG_PARAMS_YAML, rig));
  // Values typed from the file; hover throttle F_e / (2 km) = (0.5*0.5 + 0.2*0.25) * 9.81 / 0.5 / 10 = 0.5886.
  EXPECT_EQ(0.5, rig.zorvik.l1);
  EXPECT_EQ(0.0005, rig.zorvik.J2x);
  EXPECT_EQ(5.0, rig.zorvik.km);
  EXPECT_NEAR(0.5886, (rig.zorvik.m1 * rig.zorvik.l1 + rig.zorvik.m2 * rig.zorvik.l2) * rig.zorvik.g / rig.zorvik.lT /
                          (2 * rig.zorvik.km),
              1e-12);
  // No section beyond zorvik: the ideal actuator, friction and sensor.
  EXPECT_EQ(0, rig.actuator.tau_up);
  EXPECT_EQ(0, rig.actuator.thrust_expo);
  EXPECT_EQ(1, rig.actuator.left_gain);
  EXPECT_EQ(0, rig.friction.coulomb_psi);

  RigDescription ideal, with_defaults;
  ASSERT_EQ("", readRigFile(ZV_RIG_IDEAL_YAML, ideal));
  ASSERT_EQ("", readRigFile(ZV_RIG_DEFAULT_YAML, with_defaults));
  for (const auto& f : zv_rig::kRigParamFields)
  {
    EXPECT_EQ(rig.zorvik.*f.member, ideal.zorvik.*f.member) << f.key;
    EXPECT_EQ(rig.zorvik.*f.member, with_defaults.zorvik.*f.member) << f.key << " of the default rig";
  }
  EXPECT_EQ(0, ideal.actuator.tau_down);
  EXPECT_EQ(0.65, with_defaults.actuator.thrust_expo);
  EXPECT_EQ(0.98, with_defaults.actuator.right_gain);
}

TEST_F(RigFile, SectionsAndKeysLeftOutAreIdeal)
{
  RigDescription rig;
  rig.actuator.tau_up = 9;
  ASSERT_EQ("", readRigFile(write(std::string(kZorvik) + "actuator:\n  thrust_expo: 0.5  # e\nfriction:\n"), rig));
  EXPECT_EQ(24, rig.zorvik.g);
  EXPECT_EQ(0.5, rig.actuator.thrust_expo);
  EXPECT_EQ(0, rig.actuator.tau_up) << "not what `out` held before";
  EXPECT_EQ(1, rig.actuator.right_gain);
  EXPECT_EQ(0, rig.sensor.angle_noise);
  EXPECT_EQ(0, rig.sensor.counts_per_rev) << "exact angles";
}

TEST_F(RigFile, RefusalsNameTheFileLineKeyValueAndWhatIsAllowed)
{
  const std::string z = kZorvik;
  const struct
  {
    std::string text;
    std::string expected;
  } cases[] = {
      {z + "actuator:\n  tau_up: -0.01\n", ":27: actuator/tau_up is -0.01: allowed is 0 or more"},
      {z + "actuator:\n  thrust_expo: 1.5\n", "actuator/thrust_expo is 1.5: allowed is 0 to 1"},
      {z + "actuator:\n  throttle_start: 0.5\n", "actuator/throttle_start is 0.5: allowed is 0 or more and below 0.5"},
      {z + "actuator:\n  tau_upp: 0.1\n", "actuator/tau_upp is not a key of a rig file: allowed under 'actuator:' are "
                                          "tau_up, tau_down, thrust_expo"},
      {z + "motor:\n  tau_up: 0.1\n", ":26: 'motor' is not a section of a rig file: allowed are zorvik, actuator, "
                                      "friction and sensor"},
      {z + "  km: 4\n", ":26: zorvik/km is given twice"},
      {z + "  colour: red\n", "zorvik/colour is not a key of a rig file"},
      {"zorvik:\n  g: fast\n", ":2: zorvik/g is 'fast', not a finite number"},
      {"zorvik:\n  g: .nan\n", "zorvik/g is '.nan', not a finite number"},
      {"zorvik:\n  g: '9.81'\n", "zorvik/g is '9.81', not a finite number"},
      {"zorvik:\n  g: 9.81\n", ": zorvik/l1 is missing"},
      {"actuator:\n  tau_up: 0\n", "has no 'zorvik:' section"},
      {"zorvik: [1, 2]\n", "'zorvik:' must hold 'key: value' lines"},
      {"zorvik:\n  l1: [1\n", "not readable as YAML"},
  };
  for (const auto& c : cases)
  {
    RigDescription rig;
    rig.zorvik.g = -1;
    const std::string error = readRigFile(write(c.text), rig);
    EXPECT_NE(std::string::npos, error.find(path_)) << error;
    EXPECT_NE(std::string::npos, error.find(c.expected)) << error;
    EXPECT_EQ(-1, rig.zorvik.g) << "a refused file leaves `out` alone: " << c.text;
  }
  RigDescription rig;
  EXPECT_NE(std::string::npos, readRigFile(path_ + ".absent", rig).find("cannot read the rig file from " + path_ + ".absent"));
}

TEST_F(RigFile, WhatIsWrittenReadsBackExactly)
{
  RigDescription rig;
  ASSERT_EQ("", readRigFile(ZV_RIG_DEFAULT_YAML, rig));
  // Values without a short decimal form, one tiny and one large.
  rig.zorvik.J1x = 0.1 + 0.2;
  rig.zorvik.km = 1.0 / 3.0;
  rig.actuator.tau_up = 1e-300;
  rig.actuator.reaction_torque = -2.5e17;
  rig.friction.coulomb_psi = 3;
  ASSERT_EQ("", zv_rig::writeRigFile(path_, rig, "identified 2026-12-08\n\nfrom run 7"));
  RigDescription back;
  ASSERT_EQ("", readRigFile(path_, back));
  for (const auto& f : zv_rig::kRigParamFields)
  {
    EXPECT_EQ(rig.zorvik.*f.member, back.zorvik.*f.member) << f.key;
  }
  EXPECT_EQ(rig.actuator.tau_up, back.actuator.tau_up);
  EXPECT_EQ(rig.actuator.tau_down, back.actuator.tau_down);
  EXPECT_EQ(rig.actuator.thrust_expo, back.actuator.thrust_expo);
  EXPECT_EQ(rig.actuator.throttle_start, back.actuator.throttle_start);
  EXPECT_EQ(rig.actuator.left_gain, back.actuator.left_gain);
  EXPECT_EQ(rig.actuator.right_gain, back.actuator.right_gain);
  EXPECT_EQ(rig.actuator.reaction_torque, back.actuator.reaction_torque);
  EXPECT_EQ(rig.friction.coulomb_phi, back.friction.coulomb_phi);
  EXPECT_EQ(rig.friction.coulomb_theta, back.friction.coulomb_theta);
  EXPECT_EQ(rig.friction.coulomb_psi, back.friction.coulomb_psi);
  EXPECT_EQ(rig.sensor.angle_noise, back.sensor.angle_noise);
  EXPECT_EQ(4096, back.sensor.counts_per_rev) << "the default rig's encoders";

  std::ifstream in(path_);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, text.find("# identified 2026-12-08\n#\n# from run 7\nzorvik:\n  l1: 0.5\n")) << text;
  // Floats as YAML 1.1 (rosparam) reads them: a '.' and a signed exponent.
  EXPECT_NE(std::string::npos, text.find("  coulomb_psi: 3.0\n")) << text;
  EXPECT_NE(std::string::npos, text.find("  reaction_torque: -2.5e+17\n")) << text;
  EXPECT_NE(std::string::npos, text.find("  tau_up: 1.0e-300\n")) << text;

  rig.actuator.thrust_expo = 2;
  EXPECT_NE(std::string::npos,
            zv_rig::writeRigFile(path_, rig, "").find("actuator/thrust_expo is 2.0: allowed is 0 to 1"));
  EXPECT_EQ("", readRigFile(path_, back)) << "a refused write leaves the old file";
}

TEST(Mixing, TorqueAndForceToThrottles)
{
  // tau 0.1 N*m over d 0.2 m: the motors differ by 0.5 N; force 6 N: 3.25 N and
  // 2.75 N; over km 5 N: 0.65 and 0.55 (exact in binary up to the last division).
  const zv_rig::Throttles<double> u = zv_rig::mixThrottles(0.1, 6.0, 0.2, 5.0);
  EXPECT_DOUBLE_EQ(0.65, u.left);
  EXPECT_DOUBLE_EQ(0.55, u.right);
  // Powers of two are exact in float: tau 1, d 0.5, force 4, km 2: (2 + 4)/2/2 = 1.5, (-2 + 4)/2/2 = 0.5.
  const zv_rig::Throttles<float> f = zv_rig::mixThrottles(1.0f, 4.0f, 0.5f, 2.0f);
  EXPECT_EQ(1.5f, f.left);
  EXPECT_EQ(0.5f, f.right);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
