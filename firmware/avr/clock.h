// The firmware's microsecond clock and the wake-up alarm of the main loop,
// both on Timer3 (16 bit, free running, 0.5 us per tick). Timer1 is left to
// the ESC pulses alone, so the clock does not depend on the pulse rate.
#ifndef ZV_FIRMWARE_AVR_CLOCK_H
#define ZV_FIRMWARE_AVR_CLOCK_H

#include <stdint.h>

namespace zv_firmware
{
namespace clock
{
void init();

// Microseconds since init(); wraps after 71.6 min. Safe with interrupts on or off.
uint32_t micros();

// Call with interrupts off, right before sleeping: the Timer3 compare
// interrupt wakes the CPU when micros() reaches at_us, which must lie between
// kMinAheadUs and kMaxAheadUs ahead (the caller clamps: a wake-up too far ahead
// would wait for the counter to come round again).
const uint32_t kMinAheadUs = 8;
const uint32_t kMaxAheadUs = 30000;
void wakeAt(uint32_t at_us);

}  // namespace clock
}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_AVR_CLOCK_H
