#include "quadrature_drive.h"

#include <algorithm>
#include <cmath>

namespace zv_sim
{
namespace hil
{
QuadratureDrive::QuadratureDrive(const zv_firmware::config::EncoderAxis& axis)
    : scale_(axis.direction * axis.counts_per_rev / (2.0 * M_PI)), zero_(axis.angle_at_power_up)
{
}

double QuadratureDrive::position(double angle) const
{
  return (angle - zero_) * scale_;
}

int64_t QuadratureDrive::countAt(double angle) const
{
  return static_cast<int64_t>(std::floor(position(angle) + 0.5));
}

void QuadratureDrive::levels(int64_t count, uint8_t& a, uint8_t& b)
{
  static const uint8_t kA[4] = {0, 1, 1, 0};
  static const uint8_t kB[4] = {0, 0, 1, 1};
  const int64_t phase = ((count % 4) + 4) % 4;
  a = kA[phase];
  b = kB[phase];
}

void QuadratureDrive::place(double angle)
{
  if (!std::isfinite(angle))
  {
    return;
  }
  last_position_ = position(angle);
  count_ = countAt(angle);
}

void QuadratureDrive::moveTo(double angle, uint64_t t0, uint64_t t1, std::vector<EncoderEdge>& out)
{
  if (!std::isfinite(angle))
  {
    return;  // the model never gives one; a pin cannot show it anyway
  }
  const double x0 = last_position_;
  const double x1 = position(angle);
  const double span = static_cast<double>(t1 > t0 ? t1 - t0 : 0);
  const int64_t target = countAt(angle);
  while (count_ != target)
  {
    const int step = target > count_ ? 1 : -1;
    // The count changes where the motion crosses the half-way point between two counts.
    const double boundary = static_cast<double>(count_) + 0.5 * step;
    const double fraction = x1 != x0 ? std::min(std::max((boundary - x0) / (x1 - x0), 0.0), 1.0) : 1.0;
    uint64_t cycle = t0 + static_cast<uint64_t>(std::ceil(fraction * span));
    if (last_edge_ != 0)
    {
      cycle = std::max(cycle, last_edge_ + kMinEdgeSpacing);
    }
    count_ += step;
    EncoderEdge edge;
    edge.cycle = cycle;
    levels(count_, edge.a, edge.b);
    out.push_back(edge);
    last_edge_ = cycle;
  }
  last_position_ = x1;
}

}  // namespace hil
}  // namespace zv_sim
