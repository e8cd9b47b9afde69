#include "zv_sim/rig_firmware.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace zv_sim
{
namespace
{
bool positiveFinite(double v)
{
  return std::isfinite(v) && v > 0;
}

// The core counts whole microseconds in 32 bits and compares differences, so a
// period must be at least 1 us and under 2^31 us (35 min).
bool fitsTheClock(double seconds)
{
  return std::isfinite(seconds) && seconds * 1e6 >= 0.999999 && seconds < 2147.0;
}

// s: a remainder this short is left to the next step (it moves no angle measurably).
const double kShortestStep = 1e-7;

uint32_t microseconds(double seconds)
{
  return static_cast<uint32_t>(std::llround(seconds * 1e6));
}

zv_firmware::CoreTiming timingOf(const FirmwareConfig& c)
{
  zv_firmware::CoreTiming t;
  t.encoder_period_us = microseconds(1.0 / c.encoder_rate);
  t.heartbeat_period_us = microseconds(1.0 / c.heartbeat_rate);
  t.throttle_timeout_us = microseconds(c.throttle_timeout);
  return t;
}
}  // namespace

std::string RigFirmware::validate(const FirmwareConfig& c)
{
  std::ostringstream err;
  if (!positiveFinite(c.physics_rate))
  {
    err << "physics rate " << c.physics_rate << " Hz: give a positive rate, e.g. 1000";
  }
  else if (!positiveFinite(c.encoder_rate) || c.encoder_rate > c.physics_rate || !fitsTheClock(1.0 / c.encoder_rate))
  {
    err << "~encoder_rate " << c.encoder_rate << " Hz: give a positive rate no higher than the physics rate ("
        << c.physics_rate << " Hz) nor 1000000 Hz";
  }
  else if (!positiveFinite(c.heartbeat_rate) || !fitsTheClock(1.0 / c.heartbeat_rate))
  {
    err << "~heartbeat_rate " << c.heartbeat_rate << " Hz: give a rate from 0.001 to 1000000 Hz, e.g. 5";
  }
  else if (!positiveFinite(c.throttle_timeout) || !fitsTheClock(c.throttle_timeout))
  {
    err << "~throttle_timeout " << c.throttle_timeout << " s: give a time from 1e-6 to 2000 s, e.g. 0.5";
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
      t0_(t0),
      core_(timingOf(config), 0),
      rng_(config.noise_seed),
      noise_(0.0, config.noise_stddev > 0 ? config.noise_stddev : 1.0),
      t_model_(t0),
      step_(1.0 / config.physics_rate)
{
  model_.setThrottles(0, 0);
}

uint32_t RigFirmware::clockAt(double t)
{
  const int64_t us = std::llround((t - t0_) * 1e6);
  if (us > clock_us_)
  {
    clock_us_ = us;
  }
  // The core's clock is this one modulo 2^32.
  return static_cast<uint32_t>(clock_us_);
}

double RigFirmware::timeOfClock() const
{
  return t0_ + static_cast<double>(clock_us_) * 1e-6;
}

double RigFirmware::nextFrameTime() const
{
  return timeOfClock() + core_.usUntilDue(static_cast<uint32_t>(clock_us_)) * 1e-6;
}

void RigFirmware::applyMotors()
{
  const double left = core_.motorLeft();
  const double right = core_.motorRight();
  if (config_.swap_motors)
  {
    model_.setThrottles(right, left);
  }
  else
  {
    model_.setThrottles(left, right);
  }
}

void RigFirmware::stepModelTo(double t)
{
  // Whole steps, then what is left of one: the encoder samples the rig as it
  // is at t, and a throttle received at t drives it from t on, not from the
  // step before it arrived.
  while (t - t_model_ > kShortestStep)
  {
    const double dt = std::min(step_, t - t_model_);
    // The timeout is applied at every step so the cut happens on time, not at
    // the next frame.
    core_.update(clockAt(t_model_));
    applyMotors();
    model_.step(dt);
    t_model_ += dt;
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
  stepModelTo(t);
  const uint32_t now = clockAt(t);
  core_.update(now);
  applyMotors();
  uint8_t frame[zv_ros_driver::kMaxFrameLength];
  for (zv_firmware::RigCore::Due due = core_.due(now); due != zv_firmware::RigCore::kNothingDue; due = core_.due(now))
  {
    size_t n = 0;
    if (due == zv_firmware::RigCore::kEncoderDue)
    {
      const RigState& s = model_.state();
      n = core_.encoderFrame(encoderValue(s.roll), encoderValue(s.pitch), encoderValue(s.yaw), now, frame);
    }
    else
    {
      n = core_.heartbeatFrame(now, frame);
    }
    out.insert(out.end(), frame, frame + n);
  }
}

void RigFirmware::receive(const uint8_t* data, size_t n, double t)
{
  core_.receive(data, n, clockAt(t));
  applyMotors();
}

void RigFirmware::linkLost()
{
  core_.linkLost();
}

}  // namespace zv_sim
