// The closed loop with a fault wired on the simulated board (ESC outputs
// swapped, pitch encoder counting backwards): the rig must fail to do what the
// working loop does in closed_loop_test.cpp, lift off and settle level, then
// hold pitch +10 deg and yaw +20 deg within 0.5 deg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <ros/ros.h>

#include "zv_sim/step_experiment.h"

namespace
{
const double kDeg = M_PI / 180.0;

bool rolledOver(const zv_sim::StepExperiment& experiment)
{
  for (const zv_sim::StepSample& s : experiment.samples())
  {
    if (std::fabs(s.roll) >= 0.5)
    {
      return true;
    }
  }
  return false;
}
}  // namespace

TEST(FaultyLoop, CannotLiftOffAndHoldPitchAndYaw)
{
  zv_sim::StepExperiment experiment;
  ASSERT_TRUE(experiment.waitForState(30.0)) << "no /zv_state: board or driver did not come up";
  // The working loop's references, tolerances and time limits. A loop that
  // throws the body against a roll stop (beyond the 0.5 rad the working
  // loop's test allows) has failed already: no need to wait the limit out.
  const bool level = experiment.holdUntilSettled(0.0, 0.0, 0.5 * kDeg, 1.0, 15.0);
  bool held = false;
  for (int chunk = 0; level && !held && chunk < 10 && !rolledOver(experiment); ++chunk)
  {
    held = experiment.holdUntilSettled(10 * kDeg, 20 * kDeg, 0.5 * kDeg, 2.0, 5.0);
  }

  double roll_peak = 0, pitch_lo = 0, pitch_hi = 0;
  for (const zv_sim::StepSample& s : experiment.samples())
  {
    roll_peak = std::max(roll_peak, std::fabs(s.roll));
    pitch_lo = std::min(pitch_lo, s.pitch);
    pitch_hi = std::max(pitch_hi, s.pitch);
  }
  const zv_sim::StepSample& last = experiment.samples().back();
  const char* outcome = !level ? "never settled level" : (held ? "held the steps" : "settled level, missed the steps");
  std::printf("faulty loop: %s; |roll| up to %.1f deg, pitch read %.1f to %.1f deg, last yaw %.1f deg\n", outcome,
              roll_peak / kDeg, pitch_lo / kDeg, pitch_hi / kDeg, last.yaw / kDeg);
  EXPECT_FALSE(level && held) << "the loop flew with the fault wired in as without it";
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "faulty_loop_test");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
