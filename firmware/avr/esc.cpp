#include "esc.h"

#include <avr/io.h>
#include <util/atomic.h>

#include "zv_firmware/rig_config.h"

namespace zv_firmware
{
namespace esc
{
namespace
{
const uint32_t kTicksPerSecond = F_CPU / 8;  // prescaler 8: 2 MHz, 0.5 us
const uint32_t kTicksPerUs = kTicksPerSecond / 1000000;
const uint32_t kPeriodTicks = kTicksPerSecond / config::kEscPulseRateHz;
const uint16_t kOffTicks = config::kEscPulseOffUs * kTicksPerUs;
const uint16_t kFullTicks = config::kEscPulseFullUs * kTicksPerUs;

static_assert(config::kEscPulseRateHz >= 31 && kPeriodTicks <= 65536,
              "config::kEscPulseRateHz below 31 Hz: the period would not fit Timer1's 16 bits");
// A low gap after the longest pulse lets an ESC tell one pulse from the next;
// 100 us is a conservative margin.
static_assert(kPeriodTicks >= kFullTicks + 100 * kTicksPerUs,
              "config::kEscPulseRateHz too high: the period must exceed the full-throttle pulse by 100 us");
static_assert(config::kEscPulseOffUs < config::kEscPulseFullUs, "ESC off pulse must be shorter than full");

static_assert(config::kEscLeft.port == 'B' && config::kEscLeft.bit == 5 && config::kEscRight.port == 'B' &&
                  config::kEscRight.bit == 6,
              "the ESC outputs are Timer1's OC1A (PB5, pin 11) and OC1B (PB6, pin 12)");
static_assert(config::kStatusLed.port == 'B' && config::kStatusLed.bit == 7,
              "the status LED is driven as Timer1's OC1C (PB7, pin 13)");

// Widths now in OCR1A and OCR1B, in ticks.
uint16_t g_a_ticks;
uint16_t g_b_ticks;

// In non-inverting fast PWM the output is high from BOTTOM through the
// compare match, OCR1x + 1 ticks.
void setCompare(volatile uint16_t& compare, uint16_t ticks)
{
  // A 16-bit timer register goes through the timer's shared TEMP byte: no
  // interrupt may touch Timer1 in between. OCR1x is double-buffered in fast
  // PWM and takes the new value at BOTTOM, so a pulse is never cut or doubled.
  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    compare = ticks - 1;
  }
}
}  // namespace

uint16_t pulseTicks(float throttle)
{
  if (!(throttle > 0.0f))  // NaN too
    return kOffTicks;
  if (throttle >= 1.0f)
    return kFullTicks;
  return kOffTicks + static_cast<uint16_t>(throttle * (kFullTicks - kOffTicks) + 0.5f);
}

void init()
{
  // Normal mode until set up, where OCR1x are written straight through: the
  // very first pulse already has the off width.
  TCCR1B = 0;
  TCCR1A = 0;
  TCNT1 = 0;
  ICR1 = static_cast<uint16_t>(kPeriodTicks - 1);
  g_a_ticks = kOffTicks;
  g_b_ticks = kOffTicks;
  OCR1A = kOffTicks - 1;
  OCR1B = kOffTicks - 1;
  OCR1C = static_cast<uint16_t>(kPeriodTicks - 2);  // the LED, when connected
  // Fast PWM with TOP = ICR1 (mode 14), OC1A and OC1B cleared on match, set at BOTTOM.
  TCCR1A = _BV(COM1A1) | _BV(COM1B1) | _BV(WGM11);
  TCCR1B = _BV(WGM13) | _BV(WGM12) | _BV(CS11);
  DDRB |= _BV(config::kEscLeft.bit) | _BV(config::kEscRight.bit) | _BV(config::kStatusLed.bit);
}

void setLed(bool lit)
{
  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    if (lit)
      TCCR1A |= _BV(COM1C1);
    else
      TCCR1A &= ~_BV(COM1C1);
  }
}

void write(float left, float right)
{
  const uint16_t a = pulseTicks(left);
  const uint16_t b = pulseTicks(right);
  if (a != g_a_ticks)
  {
    g_a_ticks = a;
    setCompare(OCR1A, a);
  }
  if (b != g_b_ticks)
  {
    g_b_ticks = b;
    setCompare(OCR1B, b);
  }
}

}  // namespace esc
}  // namespace zv_firmware
