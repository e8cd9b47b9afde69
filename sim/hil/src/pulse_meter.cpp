#include "pulse_meter.h"

namespace zv_sim
{
namespace hil
{
bool PulseMeter::level(bool high, uint64_t cycle)
{
  const bool was_high = high_;
  high_ = high;
  if (high && !was_high)
  {
    rising_ = cycle;
    return false;
  }
  if (!high && was_high && rising_ != 0)
  {
    width_ = cycle - rising_;
    pulse_end_ = cycle;
    rising_ = 0;
    return true;
  }
  return false;
}

double PulseMeter::throttle(uint64_t now) const
{
  if (pulse_end_ == 0 || now - pulse_end_ > kSignalLossCycles)
  {
    return 0.0;
  }
  const double u = (widthUs() - 1000.0) / 1000.0;
  return u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
}

}  // namespace hil
}  // namespace zv_sim
