// The rig's firmware as the simulator plays it, free of ROS and of I/O: takes
// the host's bytes, drives the rig model in fixed steps and produces the
// encoder and heartbeat frames of the serial protocol (driver/PROTOCOL.md).
// Times are seconds on any monotonic clock.
#ifndef ZV_SIM_RIG_FIRMWARE_H
#define ZV_SIM_RIG_FIRMWARE_H

#include <cstdint>
#include <random>
#include <vector>

#include <zv_ros_driver/frame_codec.h>

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
  bool record_latency = false;
};

class RigFirmware
{
 public:
  // Returns "" when the configuration is usable, else what is wrong with it.
  static std::string validate(const FirmwareConfig& config);

  // Boots at time t0: disarmed, motors off, no throttle received yet.
  RigFirmware(const RigModel& model, const FirmwareConfig& config, double t0);

  // Bytes from the host, received at time t (after advance(t)).
  void receive(const uint8_t* data, size_t n, double t);

  // Runs the model up to time t and appends the frames due by then to `out`,
  // each sampled at its own time.
  void advance(double t, std::vector<uint8_t>& out);

  // The host went away (port closed): a partial frame is dropped.
  void linkLost();

  // Earliest time at which advance() has a frame to send.
  double nextFrameTime() const;

  bool armed() const
  {
    return armed_;
  }
  // True while no THROTTLE frame arrived within the timeout (also before the first one).
  bool throttleTimedOut() const
  {
    return throttle_timed_out_;
  }
  uint8_t heartbeatStatus() const;
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
  const zv_ros_driver::FrameParser::Counters& parserCounters() const
  {
    return parser_.counters();
  }
  // Seconds from each encoder frame to the first THROTTLE frame after it
  // (only with record_latency).
  const std::vector<double>& latencies() const
  {
    return latencies_;
  }

 private:
  void stepModelTo(double t);
  void updateMotors();
  float encoderValue(double angle);
  void handleFrame(const zv_ros_driver::Frame& frame, double t);

  RigModel model_;
  FirmwareConfig config_;
  zv_ros_driver::FrameParser parser_;
  std::vector<zv_ros_driver::Frame> frames_;
  std::mt19937 rng_;
  std::normal_distribution<double> noise_;

  double t_model_;
  double step_;
  double next_encoder_;
  double next_heartbeat_;
  bool armed_ = false;
  bool throttle_timed_out_ = true;
  double last_throttle_time_;
  double cmd_left_ = 0.0;
  double cmd_right_ = 0.0;

  bool encoder_unanswered_ = false;
  double last_encoder_time_ = 0.0;
  std::vector<double> latencies_;
};

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_FIRMWARE_H
