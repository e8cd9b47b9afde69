#include "zv_firmware/quadrature.h"

namespace zv_firmware
{
void QuadratureDecoder::reset(uint8_t a, uint8_t b)
{
  count = 0;
  errors = 0;
  state = static_cast<uint8_t>((a ? 2 : 0) | (b ? 1 : 0));
}

// With A leading B the levels (A, B) run 00 -> 10 -> 11 -> 01 -> 00: when A
// changes the count goes up if A and B now differ, when B changes if they are
// now equal, and down otherwise.
void QuadratureDecoder::onEdge(uint8_t a, uint8_t b)
{
  const uint8_t levels = static_cast<uint8_t>((a ? 2 : 0) | (b ? 1 : 0));
  const uint8_t changed = levels ^ state;
  state = levels;
  if (changed == 0)
  {
    return;  // the other channel's edge already seen, or a glitch that settled
  }
  if (changed == 3)
  {
    // Both changed: an edge was missed and the direction is unknown.
    if (errors != 0xFFFF)
    {
      ++errors;
    }
    return;
  }
  const bool differ = (levels == 1 || levels == 2);
  const bool up = (changed == 2) ? differ : !differ;
  count += up ? 1 : -1;
}

float countsToAngle(int32_t count, const config::EncoderAxis& axis)
{
  if (axis.counts_per_rev <= 0)
  {
    return axis.angle_at_power_up;  // no usable resolution: never a non-finite angle
  }
  const float kTwoPi = 6.28318530718f;
  const float turns = static_cast<float>(count) / static_cast<float>(axis.counts_per_rev);
  return axis.angle_at_power_up + (axis.direction < 0 ? -kTwoPi : kTwoPi) * turns;
}

}  // namespace zv_firmware
