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
// of both at once (an edge was missed) is an error and never a step, no change
// is nothing. A plain struct, zeroed at boot, meant for an interrupt handler:
// count is several bytes wide, so read it with interrupts off.
struct QuadratureDecoder
{
  int32_t count;
  uint16_t errors;  // saturates
  uint8_t state;    // (A << 1) | B as last seen

  void reset(uint8_t a, uint8_t b);
  void onEdge(uint8_t a, uint8_t b);
};

// angle_at_power_up + direction * count * 2*pi / counts_per_rev, in float (a
// negative direction counts as -1, any other as +1). A counts_per_rev below 1
// gives angle_at_power_up, never a non-finite angle.
float countsToAngle(int32_t count, const config::EncoderAxis& axis);

}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_QUADRATURE_H
