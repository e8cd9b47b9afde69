#include "zv_firmware/rig_core.h"

#include "zv_firmware/rig_config.h"

namespace zv_firmware
{
using zv_ros_driver::Frame;

namespace
{
uint32_t atLeastOne(uint32_t us)
{
  return us == 0 ? 1 : us;
}
}  // namespace

CoreTiming defaultTiming()
{
  CoreTiming t;
  t.encoder_period_us = config::kEncoderPeriodUs;
  t.heartbeat_period_us = config::kHeartbeatPeriodUs;
  t.throttle_timeout_us = config::kThrottleTimeoutUs;
  return t;
}

// Frames act at the time their last byte was handed over.
struct RigCore::FrameSink
{
  RigCore& core;
  uint32_t now_us;

  void operator()(const Frame& frame)
  {
    core.onFrame(frame, now_us);
  }
};

void RigCore::Schedule::advance(uint32_t now_us)
{
  anchor_us += period_us;
  // Late by a whole period or more: catching up would send a burst of frames
  // sampled back to back, so the schedule restarts from now instead.
  if (now_us - anchor_us >= period_us)
  {
    anchor_us = now_us;
  }
}

RigCore::RigCore(const CoreTiming& timing, uint32_t now_us)
    : throttle_timeout_us_(atLeastOne(timing.throttle_timeout_us)),
      last_throttle_us_(now_us),
      throttle_frames_(0),
      cmd_left_(0.0f),
      cmd_right_(0.0f),
      armed_(false),
      motors_cut_(true)
{
  // Both frames fall due at boot.
  encoder_.period_us = atLeastOne(timing.encoder_period_us);
  encoder_.anchor_us = now_us - encoder_.period_us;
  heartbeat_.period_us = atLeastOne(timing.heartbeat_period_us);
  heartbeat_.anchor_us = now_us - heartbeat_.period_us;
}

void RigCore::receive(const uint8_t* data, size_t n, uint32_t now_us)
{
  update(now_us);
  parser_.feed(data, n, FrameSink{*this, now_us});
}

void RigCore::linkLost()
{
  parser_.reset();
}

void RigCore::update(uint32_t now_us)
{
  if (!motors_cut_ && now_us - last_throttle_us_ >= throttle_timeout_us_)
  {
    motors_cut_ = true;
  }
}

void RigCore::onFrame(const Frame& frame, uint32_t now_us)
{
  float left = 0.0f, right = 0.0f;
  bool arm = false;
  if (zv_ros_driver::decodeThrottle(frame, left, right))
  {
    // The host clamps too; the motors must not depend on it.
    cmd_left_ = zv_ros_driver::sanitizeThrottle(left);
    cmd_right_ = zv_ros_driver::sanitizeThrottle(right);
    last_throttle_us_ = now_us;
    motors_cut_ = false;
    ++throttle_frames_;
  }
  else if (zv_ros_driver::decodeArm(frame, arm))
  {
    if (arm != armed_)
    {
      cmd_left_ = cmd_right_ = 0.0f;
    }
    armed_ = arm;
  }
  // Frames meant for the host (encoder, heartbeat) are ignored.
}

uint8_t RigCore::heartbeatStatus() const
{
  const zv_ros_driver::BasicFrameParser<uint32_t>::Counters& c = parser_.counters();
  const uint32_t rejected = c.rejected_check + c.rejected_kind;
  uint8_t status = static_cast<uint8_t>((rejected % zv_ros_driver::kHeartbeatRejectedModulo)
                                        << zv_ros_driver::kHeartbeatRejectedShift);
  if (armed_)
  {
    status |= zv_ros_driver::kHeartbeatArmed;
  }
  if (motors_cut_)
  {
    status |= zv_ros_driver::kHeartbeatThrottleTimeout;
  }
  return status;
}

RigCore::Due RigCore::due(uint32_t now_us) const
{
  const bool encoder = encoder_.isDue(now_us);
  const bool heartbeat = heartbeat_.isDue(now_us);
  if (encoder && heartbeat)
  {
    return heartbeat_.overdue(now_us) > encoder_.overdue(now_us) ? kHeartbeatDue : kEncoderDue;
  }
  return encoder ? kEncoderDue : (heartbeat ? kHeartbeatDue : kNothingDue);
}

uint32_t RigCore::usOverdue(uint32_t now_us) const
{
  switch (due(now_us))
  {
    case kEncoderDue:
      return encoder_.overdue(now_us);
    case kHeartbeatDue:
      return heartbeat_.overdue(now_us);
    default:
      return 0;
  }
}

uint32_t RigCore::usUntilDue(uint32_t now_us) const
{
  const uint32_t encoder = encoder_.until(now_us);
  const uint32_t heartbeat = heartbeat_.until(now_us);
  return encoder < heartbeat ? encoder : heartbeat;
}

size_t RigCore::encoderFrame(float roll, float pitch, float yaw, uint32_t now_us, uint8_t* out)
{
  encoder_.advance(now_us);
  return zv_ros_driver::encodeEncoderInto(roll, pitch, yaw, out);
}

size_t RigCore::heartbeatFrame(uint32_t now_us, uint8_t* out)
{
  update(now_us);  // the cut bit as of now, even if the caller skipped update()
  heartbeat_.advance(now_us);
  return zv_ros_driver::encodeHeartbeatInto(heartbeatStatus(), out);
}

RigCore::Counters RigCore::counters() const
{
  const zv_ros_driver::BasicFrameParser<uint32_t>::Counters& c = parser_.counters();
  Counters out;
  out.frames_accepted = c.frames_accepted;
  out.frames_rejected = c.rejected_check + c.rejected_kind;
  out.bytes_skipped = c.bytes_skipped;
  out.throttle_frames = throttle_frames_;
  return out;
}

}  // namespace zv_firmware
