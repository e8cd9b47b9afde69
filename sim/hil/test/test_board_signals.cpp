// The signals between the rig model and the simulated board: encoder edges
// from motion, throttles from ESC pulses. Expected values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "pulse_meter.h"
#include "quadrature_drive.h"

using zv_sim::hil::EncoderEdge;
using zv_sim::hil::PulseMeter;
using zv_sim::hil::QuadratureDrive;

namespace
{
const zv_firmware::config::EncoderAxis kAxis = {4096, +1, -0.5f};
const double kCount = 2 * M_PI / 4096;
}  // namespace

TEST(QuadratureDrive, CountsFromThePowerUpAngleAndLevelsWithALeadingA)
{
  QuadratureDrive drive(kAxis);
  EXPECT_EQ(drive.countAt(-0.5), 0);
  EXPECT_EQ(drive.countAt(-0.5 + 10.4 * kCount), 10);
  EXPECT_EQ(drive.countAt(-0.5 + 10.6 * kCount), 11);
  EXPECT_EQ(drive.countAt(-0.5 - 2.6 * kCount), -3);
  const zv_firmware::config::EncoderAxis reversed = {4096, -1, 0.0f};
  EXPECT_EQ(QuadratureDrive(reversed).countAt(5 * kCount), -5);

  // Counting up, A rises first: 00 10 11 01 00; below zero the same cycle.
  const uint8_t a_of[6] = {0, 1, 1, 0, 0, 0}, b_of[6] = {0, 0, 1, 1, 0, 1};
  const int64_t counts[6] = {0, 1, 2, 3, 4, -1};
  for (int i = 0; i < 6; ++i)
  {
    uint8_t a = 9, b = 9;
    QuadratureDrive::levels(counts[i], a, b);
    EXPECT_EQ(a, a_of[i]) << "count " << counts[i];
    EXPECT_EQ(b, b_of[i]) << "count " << counts[i];
  }
}

TEST(QuadratureDrive, EdgesFallWhereTheMotionCrossesThem)
{
  QuadratureDrive drive(kAxis);
  drive.place(-0.5);
  std::vector<EncoderEdge> edges;
  // 3.4 counts in 16000 cycles: crossings at 0.5, 1.5 and 2.5 counts.
  drive.moveTo(-0.5 + 3.4 * kCount, 1000, 17000, edges);
  ASSERT_EQ(edges.size(), 3u);
  EXPECT_EQ(edges[0].cycle, 1000u + 2353u);  // 16000 * 0.5 / 3.4 = 2352.9
  EXPECT_EQ(edges[1].cycle, 1000u + 7059u);
  EXPECT_EQ(edges[2].cycle, 1000u + 11765u);
  EXPECT_EQ(edges[2].a, 0);
  EXPECT_EQ(edges[2].b, 1);
  EXPECT_EQ(drive.count(), 3);

  // Back down: the crossings at 2.5, 1.5 and 0.5 again, in that order.
  edges.clear();
  drive.moveTo(-0.5, 17000, 33000, edges);
  ASSERT_EQ(edges.size(), 3u);
  EXPECT_EQ(edges[0].cycle, 17000u + 4236u);  // 16000 * 0.9 / 3.4 = 4235.3
  EXPECT_EQ(drive.count(), 0);
  EXPECT_EQ(edges[2].a, 0);
  EXPECT_EQ(edges[2].b, 0);
}

TEST(QuadratureDrive, FastMotionKeepsEdgesApartOnOneChannelEach)
{
  QuadratureDrive drive(kAxis);
  drive.place(-0.5);
  std::vector<EncoderEdge> edges;
  drive.moveTo(-0.5 + 2000 * kCount, 0, 16000, edges);
  ASSERT_EQ(edges.size(), 2000u);
  uint8_t a = 0, b = 0;
  for (size_t i = 0; i < edges.size(); ++i)
  {
    if (i > 0)
    {
      EXPECT_GE(edges[i].cycle, edges[i - 1].cycle + QuadratureDrive::kMinEdgeSpacing);
    }
    EXPECT_EQ((edges[i].a != a) + (edges[i].b != b), 1) << "edge " << i << " changes both channels";
    a = edges[i].a;
    b = edges[i].b;
  }
}

TEST(PulseMeter, WidthGivesTheThrottleUntilThePulsesStop)
{
  PulseMeter esc;
  EXPECT_EQ(esc.throttle(1000), 0.0) << "no pulses yet";
  EXPECT_FALSE(esc.level(true, 100));
  EXPECT_TRUE(esc.level(false, 100 + 1250 * 16));
  EXPECT_DOUBLE_EQ(esc.widthUs(), 1250.0);
  EXPECT_DOUBLE_EQ(esc.throttle(100 + 1250 * 16), 0.25);
  // 50 ms without a pulse: the ESC's failsafe stops the motor.
  EXPECT_DOUBLE_EQ(esc.throttle(100 + 1250 * 16 + 50000 * 16), 0.25);
  EXPECT_EQ(esc.throttle(100 + 1250 * 16 + 50001 * 16), 0.0);

  // Widths beyond the range clip; a pulse cut by a reset does not count.
  esc.level(true, 1000000);
  esc.level(false, 1000000 + 2100 * 16);
  EXPECT_EQ(esc.throttle(1000000 + 2100 * 16), 1.0);
  esc.level(true, 2000000);
  esc.level(false, 2000000 + 900 * 16);
  EXPECT_EQ(esc.throttle(2000000 + 900 * 16), 0.0);
  esc.level(true, 3000000);
  esc.discard();
  EXPECT_FALSE(esc.level(false, 3000000 + 16));
  EXPECT_DOUBLE_EQ(esc.widthUs(), 900.0);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
