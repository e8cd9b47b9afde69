#include "zv_sim/rig_firmware.h"
#include "default_rig.h"

#include <gtest/gtest.h>
#include <zv_protocol/frame_codec.h>

#include <cmath>
#include <limits>

using zv_ros_driver::Frame;
using zv_sim::FirmwareConfig;
using zv_sim::RigFirmware;
using zv_sim::RigModel;
using zv_sim::RigParams;
using zv_sim_test::defaultRig;

namespace
{
// The host's side: frames out of the firmware's bytes, and bytes into it.
struct Host
{
  zv_ros_driver::FrameParser parser;
  std::vector<Frame> frames;

  void read(const std::vector<uint8_t>& bytes)
  {
    parser.feed(bytes.data(), bytes.size(), frames);
  }
  size_t count(uint8_t kind) const
  {
    size_t n = 0;
    for (const Frame& f : frames)
    {
      n += f.kind == kind ? 1 : 0;
    }
    return n;
  }
  uint8_t lastHeartbeat() const
  {
    uint8_t status = 0xFF;
    for (const Frame& f : frames)
    {
      zv_ros_driver::decodeHeartbeat(f, status);
    }
    return status;
  }
};

void send(RigFirmware& fw, const std::vector<uint8_t>& bytes, double t)
{
  std::vector<uint8_t> out;
  fw.advance(t, out);
  fw.receive(bytes.data(), bytes.size(), t);
}

void throttle(RigFirmware& fw, float left, float right, double t)
{
  send(fw, zv_ros_driver::encodeThrottle(left, right), t);
}
}  // namespace

// The firmware core's own rules (clamping, the throttle cut, rejected frames) are tested in
// zv_firmware; these check the emulator's wiring of that core to the model and the link.
TEST(RigFirmwareArming, MotorsRunOnlyWhileArmedAndHeartbeatSaysSo)
{
  RigFirmware fw(RigModel(defaultRig()), FirmwareConfig(), 0.0);
  Host host;
  std::vector<uint8_t> out;
  fw.advance(0.0, out);
  host.read(out);
  EXPECT_EQ(host.lastHeartbeat(), zv_ros_driver::kHeartbeatThrottleTimeout) << "boots disarmed, no throttle yet";

  throttle(fw, 0.6, 0.6, 0.01);
  EXPECT_EQ(fw.motorLeft(), 0.0) << "disarmed firmware ignores throttles";
  EXPECT_EQ(fw.motorRight(), 0.0);

  send(fw, zv_ros_driver::encodeArm(true), 0.02);
  EXPECT_EQ(fw.motorLeft(), 0.0) << "a throttle from before arming must not start the motors";
  throttle(fw, 0.6, 0.4, 0.03);
  EXPECT_FLOAT_EQ(fw.motorLeft(), 0.6);
  EXPECT_FLOAT_EQ(fw.motorRight(), 0.4);
  out.clear();
  fw.advance(0.21, out);
  host.read(out);
  EXPECT_EQ(host.lastHeartbeat(), zv_ros_driver::kHeartbeatArmed);

  send(fw, zv_ros_driver::encodeArm(false), 0.22);
  EXPECT_EQ(fw.motorLeft(), 0.0);
  EXPECT_EQ(fw.motorRight(), 0.0);
  send(fw, zv_ros_driver::encodeArm(true), 0.23);
  EXPECT_EQ(fw.motorLeft(), 0.0) << "re-arming waits for a fresh throttle";
  throttle(fw, 0.5, 0.5, 0.24);
  EXPECT_FLOAT_EQ(fw.motorLeft(), 0.5);
}

TEST(RigFirmwareEncoder, SendsFramesAtItsRatesWithTheModelAngles)
{
  RigModel model(defaultRig());
  RigFirmware fw(model, FirmwareConfig(), 10.0);
  Host host;
  std::vector<uint8_t> out;
  // Delivered in uneven chunks, as a real-time loop would.
  for (double t = 10.0; t < 11.0; t += 0.0037)
  {
    fw.advance(t, out);
  }
  fw.advance(11.0 + 1e-9, out);  // the last sample is due at 11 s give or take rounding
  host.read(out);
  EXPECT_EQ(host.parser.counters().rejected_check, 0u);
  EXPECT_EQ(host.parser.counters().bytes_skipped, 0u);
  // Samples at 10.000, 10.005, ..., 11.000; heartbeats at 10.0, 10.2, ..., 11.0.
  EXPECT_EQ(host.count(zv_ros_driver::kEncoderFrame), 201u);
  EXPECT_EQ(host.count(zv_ros_driver::kHeartbeatFrame), 6u);
  EXPECT_EQ(out.size(), 201u * 15 + 6u * 4);
  zv_ros_driver::EncoderAngles angles = {};
  ASSERT_TRUE(zv_ros_driver::decodeEncoderAngles(host.frames.front(), angles));
  EXPECT_FLOAT_EQ(angles.pitch, -0.5f) << "motors off: at rest on the pitch stop";
  EXPECT_EQ(angles.roll, 0.0f);
}

TEST(RigFirmwareEncoder, AfterAStallTheSamplerRestartsInsteadOfBursting)
{
  RigFirmware fw(RigModel(defaultRig()), FirmwareConfig(), 0.0);
  Host host;
  std::vector<uint8_t> out;
  fw.advance(0.0, out);
  fw.advance(3.0, out);  // the process was held up for 3 s
  host.read(out);
  EXPECT_LE(host.count(zv_ros_driver::kEncoderFrame), 3u);
  EXPECT_DOUBLE_EQ(fw.nextFrameTime(), 3.0 + 0.005);
}

TEST(RigFirmwareEncoder, QuantisationAndNoise)
{
  RigModel model(defaultRig());
  zv_sim::RigState s = model.state();
  s.pitch = -0.4937;
  s.yaw = 0.0;
  model.setState(s);
  FirmwareConfig coarse;
  coarse.quantization = 0.01;
  coarse.physics_rate = 1e6;  // the rig falls onto its stop; sample before it moves measurably
  coarse.encoder_rate = 1e6;
  RigFirmware fw(model, coarse, 0.0);
  Host host;
  std::vector<uint8_t> out;
  fw.advance(0.0, out);
  host.read(out);
  zv_ros_driver::EncoderAngles angles = {};
  ASSERT_TRUE(zv_ros_driver::decodeEncoderAngles(host.frames.front(), angles));
  EXPECT_FLOAT_EQ(angles.pitch, -0.49f);

  FirmwareConfig noisy;
  noisy.noise_stddev = 0.02;
  RigFirmware nfw(RigModel(defaultRig()), noisy, 0.0);
  Host nhost;
  out.clear();
  for (double t = 0.0; t < 20.0 + 1e-9; t += 0.001)
  {
    nfw.advance(t, out);  // 4001 samples of a rig resting on its stop at -0.5 rad
  }
  nhost.read(out);
  double sum = 0, sum2 = 0;
  size_t n = 0;
  for (const Frame& f : nhost.frames)
  {
    if (zv_ros_driver::decodeEncoderAngles(f, angles))
    {
      const double e = angles.pitch + 0.5;
      sum += e;
      sum2 += e * e;
      ++n;
    }
  }
  ASSERT_GE(n, 4000u);
  const double mean = sum / n;
  const double stddev = std::sqrt(sum2 / n - mean * mean);
  EXPECT_NEAR(mean, 0.0, 0.002);
  EXPECT_NEAR(stddev, 0.02, 0.002);
}

// Between two physics steps the rig is where it is at that moment: a frame
// made then samples it then, and a throttle that arrives then drives it from
// then on, not from the step before it arrived. Steps of 10 ms make the
// difference plain.
TEST(RigFirmwareTiming, FramesAndThrottlesActAtTheirOwnMomentBetweenSteps)
{
  FirmwareConfig slow;
  slow.physics_rate = 100;
  slow.encoder_rate = 100;
  RigModel model(defaultRig());
  zv_sim::RigState s = model.state();  // on the pitch stop, motors off
  s.yaw_rate = 1.0;
  model.setState(s);
  RigFirmware fw(model, slow, 0.0);
  std::vector<uint8_t> out;
  fw.advance(0.0, out);
  out.clear();
  fw.advance(0.015, out);  // the frame due at 10 ms, made late
  Host host;
  host.read(out);
  ASSERT_EQ(host.count(zv_ros_driver::kEncoderFrame), 1u);
  zv_ros_driver::EncoderAngles angles = {};
  ASSERT_TRUE(zv_ros_driver::decodeEncoderAngles(host.frames.front(), angles));
  // Yaw coasts against Bpsi = 0.02 over the yaw inertia 0.16525 (0.02 + 0.5 * 0.5^2
  // + 0.2 * 0.25^2 + 0.004 + 0.3 * (0.1^2 + 0.05^2)): yaw = (1 - e^(-0.12103 t)) / 0.12103,
  // 0.0149864 at 15 ms (0.0099940 at the step before).
  EXPECT_NEAR(angles.yaw, 0.0149864, 2e-7);

  // Roll from a 0.6 / 0.4 split: d * km * 0.2 / J1x = 0.2 * 5 * 0.2 / 0.02 = 10 rad/s^2,
  // over the 5 ms from its arrival at 15 ms to 20 ms: 0.5 * 10 * 0.005^2 = 1.25e-4 rad
  // (Bphi takes 0.3 % of that; from the step at 10 ms it would be 5e-4).
  send(fw, zv_ros_driver::encodeArm(true), 0.015);
  throttle(fw, 0.6, 0.4, 0.015);
  out.clear();
  fw.advance(0.02, out);
  EXPECT_NEAR(fw.model().state().roll, 1.25e-4, 1e-6);
}

TEST(RigFirmwareFaults, SwappedMotorsRollTheWrongWay)
{
  FirmwareConfig wired, swapped;
  swapped.swap_motors = true;
  for (const FirmwareConfig& config : {wired, swapped})
  {
    RigFirmware fw(RigModel(defaultRig()), config, 0.0);
    send(fw, zv_ros_driver::encodeArm(true), 0.0);
    for (double t = 0.0; t < 0.3; t += 0.005)
    {
      throttle(fw, 0.9, 0.5, t);
    }
    std::vector<uint8_t> out;
    fw.advance(0.3, out);
    if (config.swap_motors)
    {
      EXPECT_LT(fw.model().state().roll, -0.01);
    }
    else
    {
      EXPECT_GT(fw.model().state().roll, 0.01) << "more left thrust rolls positive";
    }
  }
}

TEST(RigFirmwareLink, PartialFrameIsDroppedWhenTheHostGoesAway)
{
  RigFirmware fw(RigModel(defaultRig()), FirmwareConfig(), 0.0);
  send(fw, zv_ros_driver::encodeArm(true), 0.0);
  const std::vector<uint8_t> frame = zv_ros_driver::encodeThrottle(0.4f, 0.4f);
  fw.receive(frame.data(), 6, 0.01);
  fw.linkLost();
  fw.receive(frame.data() + 6, frame.size() - 6, 0.02);
  EXPECT_EQ(fw.motorLeft(), 0.0);
  send(fw, frame, 0.03);
  EXPECT_FLOAT_EQ(fw.motorLeft(), 0.4);
}

TEST(RigFirmwareConfig, RejectsRatesThatCannotWork)
{
  EXPECT_EQ(RigFirmware::validate(FirmwareConfig()), "");
  FirmwareConfig c;
  c.encoder_rate = 0;
  EXPECT_NE(RigFirmware::validate(c).find("~encoder_rate"), std::string::npos);
  c = FirmwareConfig();
  c.encoder_rate = 2000;  // faster than the model is stepped
  EXPECT_NE(RigFirmware::validate(c), "");
  c = FirmwareConfig();
  c.throttle_timeout = -1;
  EXPECT_NE(RigFirmware::validate(c).find("~throttle_timeout"), std::string::npos);
  c = FirmwareConfig();
  c.quantization = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(RigFirmware::validate(c), "");
  // The firmware's clock counts microseconds in 32 bits.
  c = FirmwareConfig();
  c.physics_rate = 1e7;
  c.encoder_rate = 2e6;
  EXPECT_NE(RigFirmware::validate(c).find("~encoder_rate"), std::string::npos);
  c = FirmwareConfig();
  c.heartbeat_rate = 1e-4;
  EXPECT_NE(RigFirmware::validate(c).find("~heartbeat_rate"), std::string::npos);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
