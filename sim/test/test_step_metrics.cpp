#include "zv_sim/step_metrics.h"

#include <gtest/gtest.h>

#include <cmath>

using zv_sim::analyseStep;
using zv_sim::StepMetrics;

namespace
{
// Unit step response of wn^2 / (s^2 + 2 zeta wn s + wn^2), zeta < 1.
double secondOrder(double t, double wn, double zeta)
{
  const double wd = wn * std::sqrt(1 - zeta * zeta);
  const double phi = std::acos(zeta);
  return 1 - std::exp(-zeta * wn * t) / std::sqrt(1 - zeta * zeta) * std::sin(wd * t + phi);
}
}  // namespace

TEST(StepMetrics, SecondOrderResponseGivesTheTextbookFigures)
{
  // Pitch loop of the design: wn = 4.4 rad/s, zeta = 0.8; a step of -0.1 -> 0.2 rad at t = 2 s.
  const double wn = 4.4, zeta = 0.8, t_step = 2.0, y0 = -0.1, yr = 0.2;
  std::vector<double> t, y;
  for (int i = 0; i <= 2000; ++i)
  {
    const double ti = i * 0.005;
    t.push_back(ti);
    y.push_back(ti < t_step ? y0 : y0 + (yr - y0) * secondOrder(ti - t_step, wn, zeta));
  }
  const StepMetrics m = analyseStep(t, y, t_step, y0, yr, 1.0);

  // Overshoot exp(-pi zeta / sqrt(1 - zeta^2)) = 1.52 %.
  EXPECT_NEAR(m.overshoot, std::exp(-M_PI * zeta / std::sqrt(1 - zeta * zeta)), 1e-4);
  // 10-90 % rise time of this system, found by bisection on the closed form.
  auto crossing = [&](double level)
  {
    double lo = 0, hi = 2;
    for (int k = 0; k < 60; ++k)
    {
      const double mid = (lo + hi) / 2;
      (secondOrder(mid, wn, zeta) < level ? lo : hi) = mid;
    }
    return lo;
  };
  EXPECT_NEAR(m.rise_time, crossing(0.9) - crossing(0.1), 2e-4);
  EXPECT_NEAR(m.rise_time, 2.47 / wn, 0.02);
  // The envelope bound 4 / (zeta wn) = 1.14 s; the response itself is inside the band a bit earlier.
  EXPECT_GT(m.settling_time, 0.6);
  EXPECT_LT(m.settling_time, 4 / (zeta * wn));
  EXPECT_NEAR(m.steady_state_error, 0.0, 1e-6);
  // A wider band is entered for good earlier.
  EXPECT_LT(analyseStep(t, y, t_step, y0, yr, 1.0, 0.05).settling_time, m.settling_time);
}

TEST(StepMetrics, DownwardStepsOffsetsAndResponsesThatNeverArrive)
{
  // A downward step that settles 0.01 short of its target: no overshoot, offset reported with its sign.
  std::vector<double> t, y;
  for (int i = 0; i <= 100; ++i)
  {
    t.push_back(i * 0.1);
    y.push_back(i < 10 ? 1.0 : 0.01 + 0.99 * std::exp(-(i - 10) * 0.1 * 3.0));
  }
  StepMetrics m = analyseStep(t, y, 1.0, 1.0, 0.0, 2.0);
  EXPECT_EQ(m.overshoot, 0.0);
  EXPECT_NEAR(m.steady_state_error, -0.01, 1e-4);
  EXPECT_GT(m.settling_time, 0.0);

  // A response that stays put: no rise, never settles.
  std::vector<double> flat(t.size(), 1.0);
  m = analyseStep(t, flat, 1.0, 1.0, 0.0, 2.0);
  EXPECT_TRUE(std::isnan(m.rise_time));
  EXPECT_TRUE(std::isnan(m.settling_time));
  EXPECT_NEAR(m.steady_state_error, -1.0, 1e-12);

  // A step down to 0.5 while the response hangs at 0.3, below the new target, and then comes up to it:
  // it never rose through the step (140 % of the way when it came), yet it went 40 % beyond.
  std::vector<double> hanging;
  for (int i = 0; i <= 100; ++i)
  {
    hanging.push_back(i < 10 ? 0.3 : 0.5 - 0.2 * std::exp(-(i - 10) * 0.1 * 3.0));
  }
  m = analyseStep(t, hanging, 1.0, 1.0, 0.5, 2.0);
  EXPECT_TRUE(std::isnan(m.rise_time));
  EXPECT_NEAR(m.overshoot, 0.4, 1e-12);
  // One that holds 10 % of the step towards the new target (a rig 1 deg off on a 10 deg step) still rises:
  // the first downward response 0.1 lower goes from 10 % at the step to 90 % when 0.99 * exp(-3 t) = 0.19,
  // 0.550 s later (0.554 s between the samples at 0.5 and 0.6 s).
  std::vector<double> offset;
  for (double v : y)
  {
    offset.push_back(v - 0.1);
  }
  EXPECT_NEAR(analyseStep(t, offset, 1.0, 1.0, 0.0, 2.0).rise_time, 0.554, 0.001);

  // Nothing recorded after the step.
  m = analyseStep(t, y, 20.0, 1.0, 0.0, 2.0);
  EXPECT_TRUE(std::isnan(m.overshoot));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
