#include <gtest/gtest.h>

#include "zv_firmware/quadrature.h"

using zv_firmware::countsToAngle;
using zv_firmware::QuadratureDecoder;
using zv_firmware::config::EncoderAxis;

TEST(Quadrature, ALeadingBCountsUpAndBackDown)
{
  QuadratureDecoder q;
  q.reset(0, 0);
  // One full cycle with A leading: 00 -> 10 -> 11 -> 01 -> 00.
  q.onEdge(1, 0);
  q.onEdge(1, 1);
  q.onEdge(0, 1);
  q.onEdge(0, 0);
  EXPECT_EQ(4, q.count);
  // The same cycle backwards, B leading, and one step further down.
  q.onEdge(0, 1);
  q.onEdge(1, 1);
  q.onEdge(1, 0);
  q.onEdge(0, 0);
  q.onEdge(0, 1);
  EXPECT_EQ(-1, q.count);
  EXPECT_EQ(0, q.errors);
  // An interrupt that finds the levels unchanged is no step; levels may come as
  // raw pin bits.
  q.onEdge(0, 0x20);
  q.onEdge(0x10, 0x20);
  EXPECT_EQ(-2, q.count);
}

TEST(Quadrature, BothLevelsChangingIsAnErrorNeverAStep)
{
  QuadratureDecoder q;
  q.reset(0, 0);
  q.onEdge(1, 1);
  EXPECT_EQ(0, q.count);
  EXPECT_EQ(1, q.errors);
  // Decoding goes on from the levels as they are now: 11 -> 01 is up.
  q.onEdge(0, 1);
  EXPECT_EQ(1, q.count);
  q.onEdge(1, 0);
  EXPECT_EQ(1, q.count);
  EXPECT_EQ(2, q.errors);
  // The error count saturates rather than wrapping to a clean-looking 0.
  q.reset(0, 0);
  for (int i = 1; i <= 70000; ++i)
  {
    q.onEdge(i % 2, i % 2);
  }
  EXPECT_EQ(0xFFFF, q.errors);
  EXPECT_EQ(0, q.count);
}

TEST(Quadrature, CountsToAngle)
{
  const EncoderAxis pitch = {4096, +1, -0.5f};
  EXPECT_FLOAT_EQ(-0.5f, countsToAngle(0, pitch));
  EXPECT_FLOAT_EQ(1.0707963f, countsToAngle(1024, pitch));    // -0.5 + pi/2
  EXPECT_FLOAT_EQ(-3.6415927f, countsToAngle(-2048, pitch));  // -0.5 - pi
  const EncoderAxis reversed = {4000, -1, 0.0f};
  EXPECT_FLOAT_EQ(-1.5707964f, countsToAngle(1000, reversed));
  EXPECT_FLOAT_EQ(12.566371f, countsToAngle(-8000, reversed));  // two turns
  const EncoderAxis broken = {0, +1, 0.25f};
  EXPECT_EQ(0.25f, countsToAngle(12345, broken));
}
