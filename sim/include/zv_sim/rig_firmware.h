// The rig as the simulator plays it, free of ROS and of I/O: the firmware's own
// core (zv_firmware::RigCore: arming, clamping, throttle timeout, frame schedule,
// heartbeat) around the rig model, stepped in steps of 1/physics_rate and up
// to the very moment of each frame and each command. The core's clock is this
// class's time axis in whole microseconds; times here are seconds on any
// monotonic clock.
//
// What belongs to the simulation only: the physics, the encoder's optional
// quantisation and noise, and fault injection (swap_motors).
#ifndef ZV_SIM_RIG_FIRMWARE_H
#define ZV_SIM_RIG_FIRMWARE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <zv_firmware/rig_core.h>

#include "zv_sim/rig_model.h"

namespace zv_sim
{
struct FirmwareConfig
{
  double physics_rate = 1000.0;   // model steps per second
  double encoder_rate = 200.0;    // encoder frames per second
  double heartbeat_rate = 5.0;    // heartbeat frames per second
  double throttle_timeout = 0.5;  // motors cut when no THROTTLE frame arrived for this long, s
  double quantization = 0.0;      // encoder resolution, rad per count; 0 = exact
  double noise_stddev = 0.0;      // Gaussian encoder noise, rad
  unsigned noise_seed = 1;
  bool swap_motors = false;  // wires the left throttle to the right motor and back (fault injection)
};

class RigFirmware
{
 public:
  // Returns "" when the configuration is usable, else what is wrong with it.
  static std::string validate(const FirmwareConfig& config);

  // Boots at time t0: disarmed, motors off, no throttle received yet. The
  // configuration must pass validate().
  RigFirmware(const RigModel& model, const FirmwareConfig& config, double t0);

  // Bytes from the host, received at time t (after advance(t)).
  void receive(const uint8_t* data, size_t n, double t);

  // Runs the model up to time t, then, as the firmware's main loop would at t,
  // appends the frames due by then to `out`, their angles sampled at t.
  void advance(double t, std::vector<uint8_t>& out);

  // The host went away (port closed): a partial frame is dropped.
  void linkLost();

  // Earliest time at which advance() has a frame to send.
  double nextFrameTime() const;

  bool armed() const
  {
    return core_.armed();
  }
  // True while no THROTTLE frame arrived within the timeout (also before the first one).
  bool throttleTimedOut() const
  {
    return core_.motorsCut();
  }
  uint8_t heartbeatStatus() const
  {
    return core_.heartbeatStatus();
  }
  // Throttles the motors actually get (after arming, timeout, clamping).
  double motorLeft() const
  {
    return model_.throttleLeft();
  }
  double motorRight() const
  {
    return model_.throttleRight();
  }
  const RigModel& model() const
  {
    return model_;
  }
  zv_firmware::RigCore::Counters counters() const
  {
    return core_.counters();
  }

 private:
  uint32_t clockAt(double t);
  double timeOfClock() const;
  void stepModelTo(double t);
  void applyMotors();
  float encoderValue(double angle);

  RigModel model_;
  FirmwareConfig config_;
  double t0_;
  // Microseconds since t0 as last given to the core; it never runs backwards.
  int64_t clock_us_ = 0;
  zv_firmware::RigCore core_;
  std::mt19937 rng_;
  std::normal_distribution<double> noise_;

  double t_model_;
  double step_;
};

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_FIRMWARE_H
