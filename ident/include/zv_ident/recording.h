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

// Frames on a regular clock. Frame k was measured at t0 + k * period; over
// [k, k+1] the rig ran throttle_before[k] for `delay` seconds, then
// throttle_after[k] (the command that answered frame k, as the driver sent it).
struct Series
{
  double period = 0.005;
  double delay = 0;
  std::vector<std::array<double, 3>> angles;
  std::vector<bool> measured;  // false: a frame the host never got (angles interpolated)
  std::vector<std::array<double, 2>> throttle_before;
  std::vector<std::array<double, 2>> throttle_after;

  size_t size() const
  {
    return angles.size();
  }
  // Frames [begin, end) as a series of their own.
  Series slice(size_t begin, size_t end) const;
};

// Puts the frames on the rig's clock (the frame period is the median spacing;
// frames delayed by a stalled host go back to their slot, lost frames are
// interpolated and marked) and pairs each interval with its throttles.
// Returns "" or what makes the recording unusable.
std::string alignRecording(const RawRecording& raw, Series& out);

}  // namespace zv_ident

#endif  // ZV_IDENT_RECORDING_H
