#include "clock.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

namespace zv_firmware
{
namespace clock
{
namespace
{
// One turn of the 16-bit counter at 0.5 us per tick.
const uint32_t kCounterTurnUs = 32768;

// micros() at the last counter overflow; a multiple of kCounterTurnUs, so the
// counter is always (2 * micros()) mod 65536, up to the half tick.
volatile uint32_t g_turn_start_us;
}  // namespace

void init()
{
  TCCR3A = 0;  // normal mode: counts 0..0xFFFF, OCR3A takes effect at once
  TCNT3 = 0;
  TIFR3 = _BV(TOV3) | _BV(OCF3A);
  TIMSK3 = _BV(TOIE3) | _BV(OCIE3A);
  TCCR3B = _BV(CS31);  // clk/8: 2 MHz
}

uint32_t micros()
{
  uint32_t base;
  uint16_t ticks;
  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    base = g_turn_start_us;
    ticks = TCNT3;
    // An overflow whose interrupt has not run yet: the counter already
    // started its next turn (a small value) but the base does not know.
    if ((TIFR3 & _BV(TOV3)) && ticks < 0x8000)
      base += kCounterTurnUs;
  }
  return base + (ticks >> 1);
}

void wakeAt(uint32_t at_us)
{
  // A match flag left from an earlier alarm is not cleared: it costs one
  // spurious wake-up at most, and a write to TIFR3 here could clear a pending
  // overflow on a simulated board, losing a turn of the clock.
  OCR3A = static_cast<uint16_t>(at_us << 1);
}

}  // namespace clock
}  // namespace zv_firmware

ISR(TIMER3_OVF_vect)
{
  zv_firmware::clock::g_turn_start_us += zv_firmware::clock::kCounterTurnUs;
}

// The alarm only wakes the main loop; the compare match stays enabled, so
// between alarms it adds at most one spurious wake-up per counter turn.
EMPTY_INTERRUPT(TIMER3_COMPA_vect)
