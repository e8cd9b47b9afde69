// A recorded run as the identification sees it: the measured angles on the
// rig's own frame clock and, for each frame interval, the throttles that
// reached the ESCs. No ROS: the recording comes as a plain text file
// (ident/scripts/zv_bag_export.py writes one from a bag).
//
// Units: seconds, radians, throttles 0..1.
#ifndef ZV_IDENT_RECORDING_H
#define ZV_IDENT_RECORDING_H

#include <array>
#include <string>
#include <vector>

namespace zv_ident
{
// Messages as recorded: arrival times carry the host's jitter.
struct RawRecording
{
  std::vector<double> state_t;
  std::vector<std::array<double, 3>> angles;  // roll, pitch, yaw
  std::vector<double> throttle_t;
  std::vector<std::array<double, 2>> throttles;  // left, right
};

// Reads the lines "S t roll pitch yaw" and "U t left right". Returns "" or the
// message (file, line, what is wrong).
std::string readRecording(const std::string& path, RawRecording& out);

// The frames as the rig made them. Frame k was measured at time(k); over
// [k, k+1] the rig ran throttle_before[k] for delayAt(k) seconds, then
// throttle_after[k] (the command that answered frame k, as the driver sent it).
// The frames come about every `period` seconds, but not on one fixed grid: a
// frame lost leaves a longer interval, and a rig that fell behind restarts
// its clock a little later.
struct Series
{
  double period = 0.005;  // the usual interval
  double delay = 0;            // the median of `delays`
  std::vector<double> delays;  // per frame, s (empty: `delay` for every frame)
  std::vector<double> t;       // frame times, s (empty: k * period)
  std::vector<std::array<double, 3>> angles;
  std::vector<bool> measured;  // false: angles not measured (interpolated)
  std::vector<std::array<double, 2>> throttle_before;
  std::vector<std::array<double, 2>> throttle_after;

  size_t size() const
  {
    return angles.size();
  }
  double time(size_t k) const
  {
    return t.empty() ? k * period : t[k];
  }
  double delayAt(size_t k) const
  {
    return delays.empty() ? delay : delays[k];
  }
  // Frames [begin, end) as a series of their own.
  Series slice(size_t begin, size_t end) const;
};

// Puts the frames on the rig's clock: each frame's time is the earliest its
// arrival and the arrivals after it allow (a frame delayed by a stalled host
// goes back to when the rig made it), and each interval is paired with its
// throttles. Returns "" or what makes the recording unusable.
std::string alignRecording(const RawRecording& raw, Series& out);

}  // namespace zv_ident

#endif  // ZV_IDENT_RECORDING_H
