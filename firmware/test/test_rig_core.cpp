#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "zv_firmware/rig_core.h"

using zv_firmware::CoreTiming;
using zv_firmware::RigCore;
namespace wire = zv_ros_driver;

namespace
{
typedef std::vector<uint8_t> Bytes;

const CoreTiming kTiming = {5000, 200000, 500000};

Bytes throttleFrame(float left, float right)
{
  uint8_t out[wire::kMaxFrameLength];
  return Bytes(out, out + wire::encodeThrottleInto(left, right, out));
}

Bytes armFrame(uint8_t payload)
{
  uint8_t out[wire::kMaxFrameLength];
  return Bytes(out, out + wire::encodeFrameInto(wire::kArmFrame, &payload, 1, out));
}

void send(RigCore& core, const Bytes& bytes, uint32_t now)
{
  core.receive(bytes.data(), bytes.size(), now);
}

// Serves every frame due at `now` as a main loop would; returns their kinds.
std::vector<RigCore::Due> serve(RigCore& core, uint32_t now)
{
  std::vector<RigCore::Due> sent;
  uint8_t out[wire::kMaxFrameLength];
  for (RigCore::Due d = core.due(now); d != RigCore::kNothingDue && sent.size() < 10; d = core.due(now))
  {
    EXPECT_GT(d == RigCore::kEncoderDue ? core.encoderFrame(0, 0, 0, now, out) : core.heartbeatFrame(now, out), 0u);
    sent.push_back(d);
  }
  return sent;
}
}  // namespace

TEST(RigCoreArming, BootsDisarmedAndDrivesOnlyWhileArmed)
{
  RigCore core(kTiming, 1000);
  EXPECT_FALSE(core.armed());
  EXPECT_EQ(0x02, core.heartbeatStatus()) << "cut from boot: no THROTTLE yet";

  send(core, throttleFrame(0.6f, 0.4f), 2000);
  EXPECT_EQ(0.0f, core.motorLeft()) << "disarmed: motors off whatever THROTTLE says";
  EXPECT_EQ(0x00, core.heartbeatStatus());
  send(core, armFrame(0x01), 3000);
  EXPECT_EQ(0.0f, core.motorLeft()) << "a command from before arming never starts the motors";
  send(core, throttleFrame(0.25f, 0.75f), 4000);
  EXPECT_EQ(0.25f, core.motorLeft());
  EXPECT_EQ(0.75f, core.motorRight());
  EXPECT_EQ(0x01, core.heartbeatStatus());
  send(core, armFrame(0x01), 5000);
  EXPECT_EQ(0.25f, core.motorLeft()) << "a repeated ARM changes nothing";

  send(core, armFrame(0x02), 6000);
  EXPECT_FALSE(core.armed()) << "any payload but 0x01 disarms";
  EXPECT_EQ(0.0f, core.motorLeft());
  send(core, armFrame(0x01), 7000);
  EXPECT_EQ(0.0f, core.motorRight()) << "re-arming waits for a fresh THROTTLE";
}

TEST(RigCoreThrottle, ClampedWithNotANumberAsZero)
{
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float cases[][4] = {
      // left, right in; left, right out
      {-0.5f, 1.5f, 0.0f, 1.0f},
      {nan, inf, 0.0f, 1.0f},
      {-inf, 0.5886f, 0.0f, 0.5886f},
      {-nan, 1.0f, 0.0f, 1.0f},
  };
  RigCore core(kTiming, 0);
  send(core, armFrame(0x01), 0);
  for (const auto& c : cases)
  {
    send(core, throttleFrame(c[0], c[1]), 1000);
    EXPECT_EQ(c[2], core.motorLeft()) << c[0];
    EXPECT_EQ(c[3], core.motorRight()) << c[1];
  }
}

TEST(RigCoreThrottle, CutAfterHalfASecondWithoutThrottleAcrossTheClockWrap)
{
  // The last THROTTLE comes 0.1 s before the clock wraps.
  const uint32_t t = 0xFFFFFFFFu - 100000u;
  RigCore core(kTiming, t - 10);
  send(core, armFrame(0x01), t - 5);
  send(core, throttleFrame(0.7f, 0.7f), t);
  core.update(t + 499999u);
  EXPECT_EQ(0.7f, core.motorLeft());
  EXPECT_EQ(0x01, core.heartbeatStatus());
  core.update(t + 500000u);
  EXPECT_EQ(0.0f, core.motorLeft());
  EXPECT_EQ(0.0f, core.motorRight());
  EXPECT_EQ(0x03, core.heartbeatStatus()) << "armed, cut";
  // Frames other than THROTTLE do not revive the motors; a THROTTLE does.
  send(core, armFrame(0x01), t + 600000u);
  EXPECT_EQ(0.0f, core.motorLeft());
  send(core, throttleFrame(0.3f, 0.2f), t + 700000u);
  EXPECT_EQ(0.3f, core.motorLeft());
  EXPECT_EQ(0x01, core.heartbeatStatus());
  // A clock running backwards reads as a long silence: cut.
  core.update(t + 690000u);
  EXPECT_EQ(0.0f, core.motorLeft());
}

TEST(RigCoreSchedule, RatesOverOneSecondAcrossTheClockWrap)
{
  // The clock wraps 0.3 s into the second.
  const uint32_t t0 = 0xFFFFFFFFu - 299999u;
  RigCore core(kTiming, t0);
  size_t encoders = 0, heartbeats = 0;
  for (uint32_t dt = 0; dt <= 1000000u; dt += 100)
  {
    for (RigCore::Due d : serve(core, t0 + dt))
    {
      ++(d == RigCore::kEncoderDue ? encoders : heartbeats);
    }
  }
  // Encoder frames at 0, 5, ..., 1000 ms; heartbeats at 0, 200, ..., 1000 ms.
  EXPECT_EQ(201u, encoders);
  EXPECT_EQ(6u, heartbeats);
  EXPECT_EQ(5000u, core.usUntilDue(t0 + 1000000u));
}

TEST(RigCoreSchedule, LateFramesKeepTheCadenceAStallRestartsIt)
{
  RigCore core(kTiming, 0);
  ASSERT_EQ(2u, serve(core, 0).size());
  EXPECT_EQ(1u, core.usUntilDue(4999));

  // Served 3 ms late: the next one stays due at 10 ms.
  EXPECT_EQ(3000u, core.usOverdue(8000));
  serve(core, 8000);
  EXPECT_EQ(2000u, core.usUntilDue(8000));
  // Served 6 ms late, more than a period: the schedule restarts rather than
  // sending the next frame right behind it.
  EXPECT_EQ(1u, serve(core, 16000).size());
  EXPECT_EQ(5000u, core.usUntilDue(16000));
  // A 3 s stall: one frame of each kind, no burst, then a fresh schedule.
  EXPECT_EQ(2u, serve(core, 3016000).size());
  EXPECT_EQ(5000u, core.usUntilDue(3016000));
}

TEST(RigCoreSchedule, TheFrameDueLongestGoesFirst)
{
  RigCore core(CoreTiming{5000, 12000, 500000}, 0);
  serve(core, 0);
  serve(core, 5000);
  serve(core, 10000);
  // At 15 ms the heartbeat has been due for 3 ms, the encoder frame just fell due.
  EXPECT_EQ((std::vector<RigCore::Due>{RigCore::kHeartbeatDue, RigCore::kEncoderDue}), serve(core, 15000));
}

TEST(RigCoreBadInput, DroppedCountedAndNeverActing)
{
  RigCore core(kTiming, 0);
  send(core, armFrame(0x01), 0);
  send(core, throttleFrame(0.5f, 0.5f), 100);

  Bytes stream = throttleFrame(1.0f, 1.0f);
  stream.back() ^= 0x40;                                  // bad check
  stream.insert(stream.end(), {0xA5, 0x07, 0xA5, 0x09});  // two unknown kinds
  const Bytes cut = throttleFrame(0.9f, 0.9f);
  stream.insert(stream.end(), cut.begin(), cut.begin() + 6);
  // Noise without a magic byte completes the cut frame's 11 bytes, then a good frame.
  for (uint8_t b = 0x10; b < 0x60; b += 2)
  {
    stream.push_back(b);
  }
  const Bytes good = throttleFrame(0.25f, 0.25f);
  stream.insert(stream.end(), good.begin(), good.end());
  send(core, stream, 200);

  EXPECT_EQ(0.25f, core.motorLeft()) << "only the good frame acted";
  EXPECT_EQ(4u, core.counters().frames_rejected);
  EXPECT_EQ(3u, core.counters().frames_accepted);
  EXPECT_EQ((4 << 2) | 0x01, core.heartbeatStatus());
  // 64 more rejections bring bits 2-7 round to the same count.
  for (int i = 0; i < 64; ++i)
  {
    send(core, {0xA5, 0x05}, 300);
  }
  EXPECT_EQ(68u, core.counters().frames_rejected);
  EXPECT_EQ((4 << 2) | 0x01, core.heartbeatStatus());
}

TEST(RigCoreBadInput, MotorsNeverOnWithoutARecentGoodThrottle)
{
  // Random traffic: good frames, frames with one bit flipped, noise without a
  // magic byte, and time passing. Whenever a motor runs, the rig is armed and
  // the last good THROTTLE is younger than the timeout.
  RigCore core(kTiming, 0);
  uint32_t seed = 12345, now = 0, last_throttle = 0;
  size_t driving = 0;
  auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int step = 0; step < 20000; ++step)
  {
    now += (next() % 8) * 25000;
    const unsigned pick = next() % 5;
    Bytes bytes = pick == 0 ? armFrame(next() % 4 == 0 ? 0x00 : 0x01)
                            : throttleFrame(static_cast<float>(next() % 300) / 100.0f - 1.0f, std::nanf(""));
    if (pick == 1)
    {
      bytes[2 + next() % 9] ^= static_cast<uint8_t>(1u << (next() % 8));
    }
    else if (pick == 2)
    {
      bytes.assign(next() % 30, 0);
      for (uint8_t& b : bytes)
      {
        b = static_cast<uint8_t>(next() % 0xA5);
      }
    }
    const uint32_t throttles = core.counters().throttle_frames;
    send(core, bytes, now);
    if (core.counters().throttle_frames != throttles)
    {
      ASSERT_GE(pick, 3u) << "only a good THROTTLE may act, step " << step;
      last_throttle = now;
    }
    core.update(now);
    const float left = core.motorLeft();
    ASSERT_TRUE(left >= 0.0f && left <= 1.0f);
    ASSERT_EQ(0.0f, core.motorRight()) << "NaN is off";
    if (left > 0.0f)
    {
      ++driving;
      ASSERT_TRUE(core.armed());
      ASSERT_LT(now - last_throttle, kTiming.throttle_timeout_us) << "step " << step;
    }
  }
  EXPECT_GT(driving, 100u) << "the traffic drove the motors at times";
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
