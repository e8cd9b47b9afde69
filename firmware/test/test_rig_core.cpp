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

// Serves every frame due at `now` the way a main loop would; returns their kinds.
std::vector<RigCore::Due> serve(RigCore& core, uint32_t now)
{
  std::vector<RigCore::Due> sent;
  uint8_t out[wire::kMaxFrameLength];
  for (RigCore::Due d = core.due(now); d != RigCore::kNothingDue; d = core.due(now))
  {
    const size_t n = d == RigCore::kEncoderDue ? core.encoderFrame(0, 0, 0, now, out) : core.heartbeatFrame(now, out);
    EXPECT_GT(n, 0u);
    sent.push_back(d);
    if (sent.size() > 10)
    {
      ADD_FAILURE() << "frames keep falling due at " << now;
      break;
    }
  }
  return sent;
}

}  // namespace

TEST(RigCoreArming, BootsDisarmedAndDrivesOnlyWhileArmed)
{
  RigCore core(kTiming, 1000);
  EXPECT_FALSE(core.armed());
  EXPECT_TRUE(core.motorsCut());
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
  send(core, throttleFrame(0.5f, 0.5f), 8000);
  EXPECT_EQ(0.5f, core.motorRight());
  EXPECT_EQ(3u, core.counters().throttle_frames);
}

TEST(RigCoreThrottle, ClampedWithNotANumberAsZero)
{
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float cases[][3] = {{-0.5f, 1.5f, 0.0f}, {nan, inf, 0.0f}, {-inf, 0.5886f, 0.0f}, {-nan, 1.0f, 0.0f}};
  const float expected[][2] = {{0.0f, 1.0f}, {0.0f, 1.0f}, {0.0f, 0.5886f}, {0.0f, 1.0f}};
  RigCore core(kTiming, 0);
  send(core, armFrame(0x01), 0);
  for (size_t i = 0; i < 4; ++i)
  {
    send(core, throttleFrame(cases[i][0], cases[i][1]), 1000 * (i + 1));
    EXPECT_EQ(expected[i][0], core.motorLeft()) << "case " << i;
    EXPECT_EQ(expected[i][1], core.motorRight()) << "case " << i;
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
  // Bytes that are no THROTTLE do not revive the motors; a THROTTLE does.
  send(core, armFrame(0x01), t + 600000u);
  EXPECT_EQ(0.0f, core.motorLeft());
  send(core, throttleFrame(0.3f, 0.2f), t + 700000u);
  EXPECT_EQ(0.3f, core.motorLeft());
  EXPECT_EQ(0x01, core.heartbeatStatus());
}

TEST(RigCoreThrottle, ClockRunningBackwardsCutsTheMotors)
{
  RigCore core(kTiming, 50000);
  send(core, armFrame(0x01), 50000);
  send(core, throttleFrame(0.5f, 0.5f), 60000);
  core.update(59000);
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
      (d == RigCore::kEncoderDue ? encoders : heartbeats)++;
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
  EXPECT_EQ(RigCore::kNothingDue, core.due(4999));
  EXPECT_EQ(1u, core.usUntilDue(4999));

  // Served 3 ms late: the next one stays due at 10 ms.
  EXPECT_EQ(RigCore::kEncoderDue, core.due(8000));
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
  EXPECT_EQ(1u, serve(core, 3021000).size());
}

TEST(RigCoreSchedule, TheFrameDueLongestGoesFirst)
{
  RigCore core(CoreTiming{5000, 12000, 500000}, 0);
  serve(core, 0);
  serve(core, 5000);
  serve(core, 10000);
  // At 15 ms the heartbeat has been due for 3 ms, the encoder frame just fell due.
  const std::vector<RigCore::Due> sent = serve(core, 15000);
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(RigCore::kHeartbeatDue, sent[0]);
  EXPECT_EQ(RigCore::kEncoderDue, sent[1]);
}

TEST(RigCoreSchedule, FramesOnTheWire)
{
  RigCore core(kTiming, 0);
  uint8_t out[wire::kMaxFrameLength];
  // The worked example of the link's documentation.
  const Bytes example = {0xA5, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0xBE, 0x00, 0x00, 0x80, 0x3F, 0x55};
  EXPECT_EQ(example, Bytes(out, out + core.encoderFrame(0.5f, -0.25f, 1.0f, 0, out)));
  // Heartbeat 0x02 (cut since boot); check byte by hand: CRC-8 of 04 02 is 0x5A.
  EXPECT_EQ((Bytes{0xA5, 0x04, 0x02, 0x5A}), Bytes(out, out + core.heartbeatFrame(0, out)));
}

TEST(RigCoreBadInput, DroppedCountedAndNeverActing)
{
  RigCore core(kTiming, 0);
  send(core, armFrame(0x01), 0);
  send(core, throttleFrame(0.5f, 0.5f), 100);

  Bytes bad_check = throttleFrame(1.0f, 1.0f);
  bad_check.back() ^= 0x40;
  Bytes unknown_kind = {0xA5, 0x07, 0x00, 0x00};
  Bytes cut = throttleFrame(0.9f, 0.9f);
  cut.resize(6);
  Bytes stream = bad_check;
  for (int i = 0; i < 2; ++i)
  {
    stream.insert(stream.end(), unknown_kind.begin(), unknown_kind.end());
  }
  stream.insert(stream.end(), cut.begin(), cut.end());
  // Noise without a magic byte, then a disarm that must still be found.
  for (int i = 0; i < 40; ++i)
  {
    stream.push_back(static_cast<uint8_t>(i * 37 + 11) == 0xA5 ? 0 : static_cast<uint8_t>(i * 37 + 11));
  }
  const Bytes good = throttleFrame(0.25f, 0.25f);
  stream.insert(stream.end(), good.begin(), good.end());
  send(core, stream, 200);

  EXPECT_EQ(0.25f, core.motorLeft()) << "only the good frame acted";
  const RigCore::Counters c = core.counters();
  // Rejected: the bad check, two unknown kinds, and the cut frame once its
  // 11 bytes (reaching into the noise) failed the check.
  EXPECT_EQ(4u, c.frames_rejected);
  EXPECT_EQ(3u, c.frames_accepted);
  EXPECT_EQ(2u, c.throttle_frames);
  EXPECT_EQ((4 << 2) | 0x01, core.heartbeatStatus());

  // 64 more rejections wrap bits 2-7 back to the same count.
  for (int i = 0; i < 64; ++i)
  {
    send(core, unknown_kind, 300);
  }
  EXPECT_EQ(68u, core.counters().frames_rejected);
  EXPECT_EQ((4 << 2) | 0x01, core.heartbeatStatus());
}

TEST(RigCoreBadInput, MotorsNeverOnWithoutARecentGoodThrottle)
{
  // Random traffic: good and corrupted frames of every kind, noise without a
  // magic byte, and time passing. Whenever a motor runs, the rig is armed and
  // the last good THROTTLE is younger than the timeout; the output is in [0, 1].
  RigCore core(kTiming, 0);
  uint32_t seed = 12345, now = 0, last_throttle = 0;
  bool any_throttle = false;
  size_t driving = 0;
  auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int step = 0; step < 20000; ++step)
  {
    now += (next() % 8) * 25000;
    Bytes bytes;
    const unsigned pick = next() % 6;
    if (pick == 0)
    {
      bytes = armFrame(next() % 4 == 0 ? 0x00 : 0x01);
    }
    else if (pick <= 2)
    {
      bytes = throttleFrame(static_cast<float>(next() % 300) / 100.0f - 1.0f, std::nanf(""));
    }
    else if (pick == 3)
    {
      bytes = throttleFrame(0.9f, 0.9f);
      bytes[2 + next() % 9] ^= static_cast<uint8_t>(1u << (next() % 8));  // one bit flipped
    }
    else
    {
      for (unsigned i = next() % 30; i > 0; --i)
      {
        const uint8_t b = static_cast<uint8_t>(next());
        bytes.push_back(b == 0xA5 ? 0x5A : b);
      }
    }
    const uint32_t accepted_throttles = core.counters().throttle_frames;
    send(core, bytes, now);
    if (core.counters().throttle_frames != accepted_throttles)
    {
      ASSERT_TRUE(pick == 1 || pick == 2) << "only a good THROTTLE may act, step " << step;
      last_throttle = now;
      any_throttle = true;
    }
    core.update(now);
    const float left = core.motorLeft();
    ASSERT_TRUE(left >= 0.0f && left <= 1.0f);
    ASSERT_EQ(0.0f, core.motorRight()) << "NaN is off";
    if (left > 0.0f)
    {
      ++driving;
      ASSERT_TRUE(core.armed());
      ASSERT_TRUE(any_throttle && now - last_throttle < kTiming.throttle_timeout_us) << "step " << step;
    }
  }
  EXPECT_GT(driving, 100u) << "the traffic drove the motors at times";
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
