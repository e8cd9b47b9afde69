// The two ESC signal outputs: RC pulses from Timer1 in fast PWM mode (TOP in
// ICR1, 0.5 us per tick) on OC1A (left) and OC1B (right), config::kEscPulseRateHz
// pulses a second. A pulse of config::kEscPulseOffUs holds a motor off;
// throttle u in [0, 1] gives off + u * (full - off) us.
#ifndef ZV_FIRMWARE_AVR_ESC_H
#define ZV_FIRMWARE_AVR_ESC_H

#include <stdint.h>

namespace zv_firmware
{
namespace esc
{
// Starts the pulses with both motors off. Runs first at boot: the ESCs see
// "off" from the first pulse on, and the pulses never stop after that.
void init();

// Sets both throttles; anything outside [0, 1], NaN included, is taken as the
// nearest safe value (NaN as 0). The pulse in progress finishes unchanged: the
// new width starts with the next pulse.
void write(float left, float right);

// Pulse width of a throttle, in timer ticks of 0.5 us.
uint16_t pulseTicks(float throttle);

// The on-board LED (pin 13, PB7) is Timer1's third output, OC1C: lit by
// connecting OC1C with its compare one tick short of TOP (high all period but
// 0.5 us), put out by disconnecting it (the pin falls back to its PORTB bit, 0).
// PORTB is never written after init(): a simulated board may take a PORTB
// write as a write to the ESC pins on the same port.
void setLed(bool lit);

}  // namespace esc
}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_AVR_ESC_H
