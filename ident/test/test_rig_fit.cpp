// The fit against data that the simulator's model produced from parameters the
// test chose: it has to find them again through quantisation, noise and the
// host's timing.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <zv_rig/rig_file.h>
#include <zv_sim/rig_dynamics.h>

#include "zv_ident/rig_fit.h"

namespace
{
using zv_ident::Series;

zv_rig::RigDescription defaultRig()
{
  zv_rig::RigDescription rig;
  const std::string err = zv_rig::readRigFile(ZV_DEFAULT_RIG_YAML, rig);
  EXPECT_EQ("", err);
  return rig;
}

// A plain PD pilot flies the true rig through pitch and yaw sweeps and steps,
// as a recording of ./zv experiment would: states every 5 ms, quantised to
// 4096 counts per turn with noise, each throttle applied 0.2 to 1.8 ms after
// its frame, as a host's answer comes sooner or later. `drift` (rad rms) adds
// an error that lasts about 0.2 s to every angle, a misfit the model lacks.
Series fly(const zv_rig::RigDescription& truth, double seconds, unsigned seed, double drift = 0)
{
  const zv_sim::RigDynamicParams<double> p = zv_sim::rigDynamicParamsOf(truth);
  const zv_sim::RigGeometry g = zv_sim::rigGeometryOf(truth.zorvik);
  const double q = 2 * M_PI / 4096, frame = 0.005, h = 0.0002;
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.0005);
  std::normal_distribution<double> unit(0.0, 1.0);
  Series s;
  s.period = frame;
  s.delay = 0.001;
  zv_sim::RigState x;
  x.pitch = -0.2;
  std::array<double, 2> u = {{0, 0}};
  std::array<double, 3> lasting = {{0, 0, 0}};
  const double keep = std::exp(-frame / 0.2);
  const double hover = g.gravity_moment / g.lT;  // N, both motors
  for (int k = 0; k * frame < seconds; ++k)
  {
    const double t = k * frame;
    std::array<double, 3> y;
    const double measured[3] = {x.roll, x.pitch, x.yaw};
    for (int a = 0; a < 3; ++a)
    {
      if (drift > 0)  // drawn only then: the other tests' noise stays as it was
      {
        lasting[a] = keep * lasting[a] + drift * std::sqrt(1 - keep * keep) * unit(rng);
      }
      y[a] = std::round((measured[a] + lasting[a] + noise(rng)) / q) * q;
    }
    // References: a pitch sweep with steps, a slower yaw sweep. The gains are
    // about the controller's (rise times 0.25 s roll, 0.5 s pitch, 1 s yaw).
    const double pitch_r = 0.2 * std::sin(2 * M_PI * (0.1 + 0.02 * t) * t) + (std::fmod(t, 8.0) < 4.0 ? 0.1 : -0.1);
    const double yaw_r = 0.6 * std::sin(2 * M_PI * 0.07 * t) + 0.2 * std::sin(2 * M_PI * 0.3 * t);
    const double roll_r = 0.27 * (yaw_r - x.yaw) - 0.2 * x.yaw_rate;
    const double force = hover * std::cos(x.pitch) + 5.7 * (pitch_r - x.pitch) - 2.1 * x.pitch_rate;
    const double torque = 1.55 * (roll_r - x.roll) - 0.28 * x.roll_rate;
    const std::array<double, 2> before = u;
    for (int m = 0; m < 2; ++m)
    {
      const double fraction = (force / 2 + (m == 0 ? 1 : -1) * torque / (2 * g.d)) / p.km;
      u[m] = zv_sim::throttleForThrustFraction(std::min(std::max(fraction, 0.0), 1.0), 0.65, 0.05);
    }
    s.angles.push_back(y);
    s.measured.push_back(true);
    s.throttle_before.push_back(before);
    s.throttle_after.push_back(u);
    const int delayed = 1 + k % 9;  // steps of 0.2 ms
    s.delays.push_back(delayed * h);
    for (int i = 0; i < 25; ++i)
    {
      const std::array<double, 2>& now = i < delayed ? before : u;
      x = zv_sim::rigStep(x, now[0], now[1], p, g, h);
    }
  }
  return s;
}

// Started at the truth, the fit must stay there: the alignment, the start
// states, the noise and the integration add no bias of their own. (From a base
// 25 % off it does not yet find every value: in closed-loop data the pitch
// bearing's viscous and Coulomb friction and the thrust curve's start trade
// against each other.)
TEST(RigFit, StaysAtTheParametersTheDataWereMadeWith)
{
  const zv_rig::RigDescription base = defaultRig();
  // Every fitted value off the default rig by a factor between 0.75 and 1.3.
  const double factor[zv_ident::kFittedCount] = {1.12, 0.85, 1.25, 0.8, 1.2, 0.9, 1.15, 0.9,
                                                 1.2,  1.2,  0.85, 1.25, 0.8, 1.25, 0.9, 1.3};
  std::array<double, zv_ident::kFittedCount> truth = zv_ident::fittedValuesOf(base);
  for (int i = 0; i < zv_ident::kFittedCount; ++i)
  {
    truth[i] *= factor[i];
  }
  const zv_rig::RigDescription true_rig = zv_ident::withFittedValues(base, truth);

  const Series all = fly(true_rig, 50.0, 7);
  const std::vector<Series> data = {all.slice(0, 8000)};
  zv_ident::FitOptions options;
  options.window_s = {1.0};
  zv_ident::FitResult result;
  ASSERT_EQ("", zv_ident::fitRig(true_rig, data, options, result));
  // What is left is the encoders' own error: noise of 0.0005 rad and counts
  // of 2 pi / 4096 rad, sqrt(0.0005^2 + (2 pi / 4096)^2 / 12) = 0.00067 rad.
  EXPECT_LT(result.residual_rms, 0.0007);
  for (int i = 0; i < zv_ident::kFittedCount; ++i)
  {
    const zv_ident::FittedValue& v = result.values[i];
    EXPECT_TRUE(v.accepted) << zv_ident::fittedName(i) << ": " << v.reason;
    if (i == zv_ident::kBth || i == zv_ident::kCoulombTheta)
    {
      continue;  // below: these data fix their sum, not their split
    }
    EXPECT_NEAR(v.estimate / truth[i], 1.0, 0.10) << zv_ident::fittedName(i) << " " << v.estimate << " truth "
                                                  << truth[i] << " sd " << v.sd;
  }
  // The pitch bearing's friction torque at 0.2 rad/s, a typical pitch rate
  // here: truth 0.018 * 0.2 + 0.00625 = 0.00985 N*m.
  const double pitch_friction =
      result.values[zv_ident::kBth].estimate * 0.2 + result.values[zv_ident::kCoulombTheta].estimate;
  EXPECT_NEAR(pitch_friction / 0.00985, 1.0, 0.10) << pitch_friction;
  // The pitch inertia goes back to J1y and J2y in the file's ratio (5:4).
  EXPECT_NEAR(result.rig.zorvik.J1y / result.rig.zorvik.J2y, 1.25, 1e-9);

  // On the 10 s the fit never saw.
  const zv_ident::Validation v = zv_ident::validateRig(result.rig, all.slice(8000, all.size()), 1.0);
  for (int a = 0; a < 3; ++a)
  {
    EXPECT_GT(v.fit_percent[a], 90.0) << "axis " << a;
  }
}

// With a misfit that lasts, a window's residuals are not independent; each
// value's standard deviation must still cover its error.
TEST(RigFit, StandardDeviationsCoverTheErrorWhenTheMisfitIsNotWhite)
{
  const zv_rig::RigDescription rig = defaultRig();
  const std::vector<Series> data = {fly(rig, 40.0, 11, 0.001)};
  zv_ident::FitOptions options;
  options.window_s = {1.0};
  zv_ident::FitResult result;
  ASSERT_EQ("", zv_ident::fitRig(rig, data, options, result));
  const std::array<double, zv_ident::kFittedCount> truth = zv_ident::fittedValuesOf(rig);
  for (int i = 0; i < zv_ident::kFittedCount; ++i)
  {
    const zv_ident::FittedValue& v = result.values[i];
    if (v.determined)
    {
      EXPECT_LT(std::fabs(v.estimate - truth[i]), 3 * v.sd)
          << zv_ident::fittedName(i) << " " << v.estimate << " truth " << truth[i] << " sd " << v.sd;
    }
  }
}

TEST(RigFit, RefusesDataWithoutExcitationNamingWhatIsMissing)
{
  const zv_rig::RigDescription rig = defaultRig();
  Series resting;  // motors off on the stop for a minute
  resting.angles.assign(12000, {{0, -0.5, 0}});
  resting.measured.assign(12000, true);
  resting.throttle_before.assign(12000, {{0, 0}});
  resting.throttle_after = resting.throttle_before;
  zv_ident::FitResult result;
  const std::string err = zv_ident::fitRig(rig, {resting}, zv_ident::FitOptions(), result);
  EXPECT_NE(std::string::npos, err.find("0 s with the motors running")) << err;
  EXPECT_NE(std::string::npos, err.find("./zv experiment identify")) << err;

  // Hovering still: flight, but nothing moves.
  Series hovering = resting;
  hovering.angles.assign(12000, {{0, 0.1, 0.3}});
  hovering.throttle_after.assign(12000, {{0.7, 0.7}});
  const std::string still = zv_ident::checkExcitation({hovering});
  EXPECT_NE(std::string::npos, still.find("pitch does not move")) << still;
  EXPECT_NE(std::string::npos, still.find("yaw does not turn")) << still;
  EXPECT_NE(std::string::npos, still.find("roll")) << still;
}

TEST(Recording, TakesEachFrameBackToWhenTheRigMadeItAndPairsThrottles)
{
  zv_ident::RawRecording raw;
  // Frames every 5 ms from 0 to 210 ms; the one of 215 ms is lost; those of
  // 225 and 230 ms arrive at 231 and 231.2 ms after a stall of the host; from
  // 240 ms on the rig has fallen 2 ms behind (its frames were made at 242,
  // 247, ... ms).
  std::vector<double> t;
  for (int i = 0; i <= 42; ++i)
  {
    t.push_back(0.005 * i);
  }
  for (double late : {0.220, 0.231, 0.2312, 0.235})
  {
    t.push_back(late);
  }
  for (int j = 0; j < 30; ++j)
  {
    t.push_back(0.242 + 0.005 * j);
  }
  for (size_t i = 0; i < t.size(); ++i)
  {
    raw.state_t.push_back(t[i]);
    raw.angles.push_back({{0, 0.01 * i, 0}});
    raw.throttle_t.push_back(t[i] + 0.001);
    raw.throttles.push_back({{0.1 * i, 0}});
  }
  Series s;
  ASSERT_EQ("", zv_ident::alignRecording(raw, s));
  ASSERT_EQ(t.size(), s.size());
  EXPECT_NEAR(0.005, s.period, 1e-12);  // 33 of the 57 spans of 20 frames last exactly 100 ms
  // Frame 44 (arrived 231 ms) was made no later than 235 - 2 * 5 = 225 ms,
  // frame 45 (231.2 ms) no later than 235 - 5 = 230 ms; the fall behind
  // does not move the frames before it.
  const double made[] = {0.205, 0.210, 0.220, 0.225, 0.230, 0.235, 0.242, 0.247};
  for (int i = 0; i < 8; ++i)
  {
    EXPECT_NEAR(made[i], s.time(41 + i), 1e-12) << 41 + i;
  }
  // Each throttle left 1 ms after its frame arrived: 1 ms after the frame was
  // made, but frame 44's left after frame 45 had arrived, so it answers 45,
  // 2 ms after 45 was made, and 44 keeps the median, 1 ms.
  EXPECT_NEAR(0.001, s.delay, 1e-9);
  EXPECT_NEAR(0.001, s.delays[2], 1e-9);
  EXPECT_NEAR(0.001, s.delays[44], 1e-9);
  EXPECT_NEAR(0.002, s.delays[45], 1e-9);
  EXPECT_NEAR(0.2, s.throttle_after[2][0], 1e-12);
  EXPECT_NEAR(0.2, s.throttle_before[3][0], 1e-12);
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
