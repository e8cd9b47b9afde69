// The three quadrature encoders on the six external interrupts INT0..INT5,
// decoded x4 by their interrupt handlers (any edge of A or B).
#ifndef ZV_FIRMWARE_AVR_ENCODERS_H
#define ZV_FIRMWARE_AVR_ENCODERS_H

#include <stdint.h>

namespace zv_firmware
{
namespace encoders
{
struct Counts
{
  int32_t roll;
  int32_t pitch;
  int32_t yaw;
};

// Pull-ups on, decoders set to the levels the pins show now, interrupts on.
void init();

// The three counts of one instant.
Counts sample();

}  // namespace encoders
}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_AVR_ENCODERS_H
