#include "zv_sim/rig_firmware.h"

#include <cmath>
#include <limits>
#include <sstream>

namespace zv_sim
{
namespace
{
// Latency samples kept at most (about 80 minutes at 200 Hz).
const size_t kMaxLatencySamples = 1000000;

bool positiveFinite(double v)
{
  return std::isfinite(v) && v > 0;
}
}  // namespace

std::string RigFirmware::validate(const FirmwareConfig& c)
{
  std::ostringstream err;
  if (!positiveFinite(c.physics_rate))
  {
    err << "physics rate " << c.physics_rate << " Hz: give a positive rate, e.g. 1000";
  }
  else if (!positiveFinite(c.encoder_rate) || c.encoder_rate > c.physics_rate)
  {
    err << "~encoder_rate " << c.encoder_rate << " Hz: give a positive rate no higher than the physics rate ("
        << c.physics_rate << " Hz)";
  }
  else if (!positiveFinite(c.heartbeat_rate))
  {
    err << "~heartbeat_rate " << c.heartbeat_rate << " Hz: give a positive rate, e.g. 5";
  }
  else if (!positiveFinite(c.throttle_timeout))
  {
    err << "~throttle_timeout " << c.throttle_timeout << " s: give a positive time, e.g. 0.5";
  }
  else if (!std::isfinite(c.quantization) || c.quantization < 0)
  {
    err << "~quantization " << c.quantization << " rad: give 0 (off) or a positive resolution";
  }
  else if (!std::isfinite(c.noise_stddev) || c.noise_stddev < 0)
  {
    err << "~noise_stddev " << c.noise_stddev << " rad: give 0 (off) or a positive deviation";
  }
  return err.str();
}

RigFirmware::RigFirmware(const RigModel& model, const FirmwareConfig& config, double t0)
    : model_(model),
      config_(config),
      rng_(config.noise_seed),
      noise_(0.0, config.noise_stddev > 0 ? config.noise_stddev : 1.0),
      t_model_(t0),
      step_(1.0 / config.physics_rate),
      next_encoder_(t0),
      next_heartbeat_(t0),
      last_throttle_time_(t0)
{
  model_.setThrottles(0, 0);
}

double RigFirmware::nextFrameTime() const
{
  return std::min(next_encoder_, next_heartbeat_);
}

uint8_t RigFirmware::heartbeatStatus() const
{
  uint8_t status = 0;
  if (armed_)
  {
    status |= zv_ros_driver::kHeartbeatArmed;
  }
  if (throttle_timed_out_)
  {
    status |= zv_ros_driver::kHeartbeatThrottleTimeout;
  }
  return status;
}

void RigFirmware::updateMotors()
{
  if (!armed_ || throttle_timed_out_)
  {
    model_.setThrottles(0, 0);
  }
  else if (config_.swap_motors)
  {
    model_.setThrottles(cmd_right_, cmd_left_);
  }
  else
  {
    model_.setThrottles(cmd_left_, cmd_right_);
  }
}

void RigFirmware::stepModelTo(double t)
{
  while (t_model_ + step_ <= t)
  {
    // The watchdog is checked at every step so the cut happens on time, not at the next frame.
    if (!throttle_timed_out_ && t_model_ - last_throttle_time_ >= config_.throttle_timeout)
    {
      throttle_timed_out_ = true;
      updateMotors();
    }
    model_.step(step_);
    t_model_ += step_;
  }
}

float RigFirmware::encoderValue(double angle)
{
  if (config_.noise_stddev > 0)
  {
    angle += noise_(rng_);
  }
  if (config_.quantization > 0)
  {
    angle = std::round(angle / config_.quantization) * config_.quantization;
  }
  return static_cast<float>(angle);
}

void RigFirmware::advance(double t, std::vector<uint8_t>& out)
{
  const double encoder_period = 1.0 / config_.encoder_rate;
  const double heartbeat_period = 1.0 / config_.heartbeat_rate;
  while (nextFrameTime() <= t)
  {
    const bool encoder_first = next_encoder_ <= next_heartbeat_;
    const double due = encoder_first ? next_encoder_ : next_heartbeat_;
    stepModelTo(due);
    std::vector<uint8_t> frame;
    if (encoder_first)
    {
      const RigState& s = model_.state();
      frame = zv_ros_driver::encodeEncoder(encoderValue(s.roll), encoderValue(s.pitch), encoderValue(s.yaw));
      next_encoder_ += encoder_period;
      // After a stall the sampler restarts rather than sending a burst of stale samples.
      if (next_encoder_ < t - encoder_period)
      {
        next_encoder_ = t;
      }
      if (config_.record_latency)
      {
        encoder_unanswered_ = true;
        last_encoder_time_ = t;
      }
    }
    else
    {
      frame = zv_ros_driver::encodeHeartbeat(heartbeatStatus());
      next_heartbeat_ += heartbeat_period;
      if (next_heartbeat_ < t - heartbeat_period)
      {
        next_heartbeat_ = t;
      }
    }
    out.insert(out.end(), frame.begin(), frame.end());
  }
  stepModelTo(t);
}

void RigFirmware::receive(const uint8_t* data, size_t n, double t)
{
  frames_.clear();
  parser_.feed(data, n, frames_);
  for (const zv_ros_driver::Frame& frame : frames_)
  {
    handleFrame(frame, t);
  }
}

void RigFirmware::handleFrame(const zv_ros_driver::Frame& frame, double t)
{
  float left = 0, right = 0;
  bool arm = false;
  if (zv_ros_driver::decodeThrottle(frame, left, right))
  {
    // Firmware does not trust the host's clamping.
    cmd_left_ = zv_ros_driver::sanitizeThrottle(left);
    cmd_right_ = zv_ros_driver::sanitizeThrottle(right);
    last_throttle_time_ = t;
    throttle_timed_out_ = false;
    if (encoder_unanswered_ && latencies_.size() < kMaxLatencySamples)
    {
      latencies_.push_back(t - last_encoder_time_);
    }
    encoder_unanswered_ = false;
    updateMotors();
  }
  else if (zv_ros_driver::decodeArm(frame, arm))
  {
    if (arm != armed_)
    {
      // A change of arming never starts the motors on a command from before it.
      cmd_left_ = cmd_right_ = 0.0;
    }
    armed_ = arm;
    updateMotors();
  }
  // Frames meant for the host (encoder, heartbeat) are ignored.
}

void RigFirmware::linkLost()
{
  parser_.reset();
}

}  // namespace zv_sim
