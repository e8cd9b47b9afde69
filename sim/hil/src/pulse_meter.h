// What an ESC reads from its signal wire: the width of each high pulse, and
// from it a throttle, (width - 1000 us) / 1000 us clipped to [0, 1]. Like a
// real ESC it stops its motor when the pulses stop (signal loss). Times are
// cycles of the board's clock.
#ifndef ZV_SIM_HIL_PULSE_METER_H
#define ZV_SIM_HIL_PULSE_METER_H

#include <cstdint>

namespace zv_sim
{
namespace hil
{
// The Arduino Mega's crystal.
const uint64_t kBoardHz = 16000000;
const uint64_t kCyclesPerUs = kBoardHz / 1000000;

class PulseMeter
{
 public:
  // No complete pulse for this long (50 ms, 20 periods at 400 Hz) is a lost
  // signal: the motor stops, as a typical ESC's failsafe does.
  static const uint64_t kSignalLossCycles = 50000 * kCyclesPerUs;

  // The line's level changed at `cycle`; true when this completes a pulse.
  bool level(bool high, uint64_t cycle);
  // The line was reset (board reset): a pulse in progress does not count.
  void discard()
  {
    rising_ = 0;
    high_ = false;
  }

  bool hasPulse() const
  {
    return pulse_end_ != 0;
  }
  // Width of the last complete pulse.
  uint64_t widthCycles() const
  {
    return width_;
  }
  double widthUs() const
  {
    return static_cast<double>(width_) / kCyclesPerUs;
  }
  uint64_t pulseEnd() const
  {
    return pulse_end_;
  }
  // The throttle the ESC applies at `now`: 0 without a signal.
  double throttle(uint64_t now) const;

 private:
  bool high_ = false;
  uint64_t rising_ = 0;  // 0: no rising edge seen since the last reset
  uint64_t width_ = 0;
  uint64_t pulse_end_ = 0;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_PULSE_METER_H
