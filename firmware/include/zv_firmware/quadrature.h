// x4 quadrature decoding and count-to-angle conversion, free of hardware, for
// the firmware's pin-change interrupts and for host tests.
#ifndef ZV_FIRMWARE_QUADRATURE_H
#define ZV_FIRMWARE_QUADRATURE_H

#include <stdint.h>

#include "zv_firmware/rig_config.h"

namespace zv_firmware
{
// One axis. onEdge() is called with the levels of A and B after any edge of
// either; a change of one level is one step (A leading B counts up), a change
// of both at once (an edge was missed) is an error and never a step.
struct QuadratureDecoder
{
  int32_t count;
  uint16_t errors;  // saturates
  uint8_t state;    // (A << 1) | B as last seen

  void reset(uint8_t a, uint8_t b);
  void onEdge(uint8_t a, uint8_t b);
};

// angle_at_power_up + direction * count * 2*pi / counts_per_rev, in float.
float countsToAngle(int32_t count, const config::EncoderAxis& axis);

}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_QUADRATURE_H
