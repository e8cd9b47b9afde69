// Configuration of the rig's board, an Arduino Mega 2560 (ATmega2560 at 16 MHz),
// and of its firmware: serial link, schedule, encoders, ESC pulses and pins.
// Pure data, free of AVR headers, so that host code (the core's tests, the
// simulated board's harness) reads the very same values.
//
// Conventions:
//  - Angles in rad with the signs of the rig model (sim/include/zv_sim/rig_model.h):
//    pitch > 0 lifts the body, roll > 0 when the left motor pushes harder,
//    yaw > 0 is the turn a positive roll produces.
//  - Encoder counts are x4 quadrature counts (every edge of A and B counts);
//    a channel A that leads B counts up. angle = angle_at_power_up
//    + direction * count * 2*pi / counts_per_rev.
//  - The board powers up with the body resting on its lower pitch stop, level
//    in roll, and yaw read as 0 wherever it points.
//  - ESC pulses: 1000 us = motor off, 2000 us = full thrust; throttle u in
//    [0, 1] gives 1000 + 1000*u us.
//  - Times in microseconds of the firmware's clock, a uint32_t that wraps.
//
// Changing a value: edit it here and rebuild (./zv firmware, ./zv flash). The
// port checks at compile time what the hardware dictates (the baud rate within
// 2.5 % of 16 MHz / 8 / n, the pulse rate, each pin on the unit that serves it);
// the host-side copies (the emulator, the simulated board) follow by rebuilding.
#ifndef ZV_FIRMWARE_RIG_CONFIG_H
#define ZV_FIRMWARE_RIG_CONFIG_H

#include <stdint.h>

namespace zv_firmware
{
namespace config
{
// ---- Serial link (UART0, the Mega's USB serial port) ----
// The host's ~baud must match. At 16 MHz the UART reaches 117647 baud for 115200
// (+2.1 %); the Mega's USB bridge runs off the same divisor, so the two agree.
const uint32_t kBaud = 115200;

// ---- Schedule of the core ----
const uint32_t kEncoderPeriodUs = 5000;      // encoder frames at 200 Hz
const uint32_t kHeartbeatPeriodUs = 200000;  // heartbeat at 5 Hz
const uint32_t kThrottleTimeoutUs = 500000;  // motors cut after 0.5 s without a THROTTLE frame

// ---- Encoders ----
struct EncoderAxis
{
  int32_t counts_per_rev;   // x4 counts per revolution of the axis
  int8_t direction;         // +1 or -1: sign of the angle change per count
  float angle_at_power_up;  // rad
};
constexpr EncoderAxis kRollEncoder = {4096, +1, 0.0f};
constexpr EncoderAxis kPitchEncoder = {4096, +1, -0.5f};  // the lower pitch stop
constexpr EncoderAxis kYawEncoder = {4096, +1, 0.0f};

// ---- ESC pulses (Timer1, 16 bit, 0.5 us per tick) ----
// 31 Hz (the 16-bit period) up to the rate whose period still leaves 100 us
// between a full-throttle pulse and the next (476 Hz); 50 Hz for ESCs that
// only take the classic servo rate.
const uint16_t kEscPulseRateHz = 400;
const uint16_t kEscPulseOffUs = 1000;
const uint16_t kEscPulseFullUs = 2000;

// ---- Pins ----
// port: the AVR port letter; bit: its bit; arduino_pin: the number printed on
// the Mega; ext_int: the external interrupt (INTn) on that pin, -1 for none.
struct Pin
{
  char port;
  uint8_t bit;
  uint8_t arduino_pin;
  int8_t ext_int;
};
// Quadrature channels: the six external interrupts of the ATmega2560, each on
// its fixed pin (INT0..INT3 = PD0..PD3, INT4..INT5 = PE4..PE5); the channels
// may be reassigned among them (best A and B of one axis on one port: both
// levels are then read at one instant).
constexpr Pin kRollA = {'E', 4, 2, 4};
constexpr Pin kRollB = {'E', 5, 3, 5};
constexpr Pin kPitchA = {'D', 0, 21, 0};
constexpr Pin kPitchB = {'D', 1, 20, 1};
constexpr Pin kYawA = {'D', 2, 19, 2};
constexpr Pin kYawB = {'D', 3, 18, 3};
// ESC signal outputs: Timer1's compare outputs OC1A and OC1B (fixed pins).
constexpr Pin kEscLeft = {'B', 5, 11, -1};   // OC1A
constexpr Pin kEscRight = {'B', 6, 12, -1};  // OC1B
// On-board LED: lit while armed; driven as Timer1's OC1C (fixed pin).
constexpr Pin kStatusLed = {'B', 7, 13, -1};

}  // namespace config
}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_RIG_CONFIG_H
