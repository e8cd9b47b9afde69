// The loop's latency as the rig's end of the line measures it, for the emulator
// and the simulated board alike. Times chosen by hand.
#include <gtest/gtest.h>

#include <zv_protocol/frame_codec.h>

#include "zv_sim/link_latency_probe.h"

namespace
{
void write(zv_sim::LinkLatencyProbe& probe, const std::vector<uint8_t>& bytes, double t)
{
  probe.written(bytes.data(), bytes.size(), t);
}
void read(zv_sim::LinkLatencyProbe& probe, const std::vector<uint8_t>& bytes, double t)
{
  probe.read(bytes.data(), bytes.size(), t);
}
}  // namespace

TEST(LinkLatencyProbe, FromTheLastEncoderFrameToTheNextThrottle)
{
  zv_sim::LinkLatencyProbe probe;
  const std::vector<uint8_t> encoder = zv_protocol::encodeEncoder(0.1f, -0.5f, 0.0f);
  const std::vector<uint8_t> throttle = zv_protocol::encodeThrottle(0.5f, 0.5f);
  write(probe, encoder, 1.000);
  write(probe, zv_protocol::encodeHeartbeat(1), 1.001);  // a heartbeat is no sample
  read(probe, zv_protocol::encodeArm(true), 1.002);      // nor an ARM frame an answer
  read(probe, throttle, 1.003);                          // 1.003 - 1.000
  read(probe, throttle, 1.004);                          // the same sample answered twice counts once
  write(probe, encoder, 2.000);
  write(probe, encoder, 2.005);                          // only the newest unanswered one counts
  // A THROTTLE frame that arrives in two reads is read when its last byte is.
  read(probe, std::vector<uint8_t>(throttle.begin(), throttle.begin() + 3), 2.006);
  read(probe, std::vector<uint8_t>(throttle.begin() + 3, throttle.end()), 2.0062);  // 2.0062 - 2.005
  ASSERT_EQ(probe.latencies().size(), 2u);
  EXPECT_NEAR(probe.latencies()[0], 0.003, 1e-12);
  EXPECT_NEAR(probe.latencies()[1], 0.0012, 1e-12);

  // After the host went away, an answer to a frame from before is no sample.
  write(probe, encoder, 3.000);
  probe.linkLost();
  read(probe, throttle, 4.000);
  EXPECT_EQ(probe.latencies().size(), 2u);
}

TEST(LinkLatencyProbe, HandsBackEachFrameWithWhereItEnds)
{
  zv_sim::LinkLatencyProbe probe;
  std::vector<uint8_t> bytes = {0x00, 0x13};  // noise first
  const std::vector<uint8_t> throttle = zv_protocol::encodeThrottle(0.25f, 0.75f);
  bytes.insert(bytes.end(), throttle.begin(), throttle.end());
  std::vector<zv_sim::LinkFrame> frames;
  probe.read(bytes.data(), bytes.size(), 0.0, &frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].end, bytes.size() - 1);
  float left = 0, right = 0;
  ASSERT_TRUE(zv_protocol::decodeThrottle(frames[0].frame, left, right));
  EXPECT_EQ(left, 0.25f);
  EXPECT_EQ(right, 0.75f);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
