#include "encoders.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

#include "zv_firmware/quadrature.h"
#include "zv_firmware/rig_config.h"

namespace zv_firmware
{
namespace encoders
{
namespace
{
using config::Pin;

// Each external interrupt sits on a fixed pin: INT0..INT3 on PD0..PD3,
// INT4..INT5 on PE4..PE5 (INT6, INT7 are not wired out on the Mega).
constexpr bool onItsInterruptPin(const Pin& p)
{
  return (p.ext_int >= 0 && p.ext_int <= 3) ? (p.port == 'D' && p.bit == p.ext_int)
                                            : (p.ext_int >= 4 && p.ext_int <= 5) && p.port == 'E' && p.bit == p.ext_int;
}
static_assert(onItsInterruptPin(config::kRollA) && onItsInterruptPin(config::kRollB) &&
                  onItsInterruptPin(config::kPitchA) && onItsInterruptPin(config::kPitchB) &&
                  onItsInterruptPin(config::kYawA) && onItsInterruptPin(config::kYawB),
              "every encoder channel in rig_config.h must sit on the pin of its INTn (INT0..INT5)");

__attribute__((always_inline)) inline uint8_t readPort(char port)
{
  return port == 'D' ? PIND : PINE;
}

// Both channels from one read of the port where they share one, so that the
// pair is of one instant: an edge of B landing between two reads would look
// like a jump of both levels. Constant pins fold this into a few instructions.
__attribute__((always_inline)) inline void step(QuadratureDecoder& decoder, const Pin& a, const Pin& b)
{
  const uint8_t port_a = readPort(a.port);
  const uint8_t port_b = b.port == a.port ? port_a : readPort(b.port);
  decoder.onEdge((port_a >> a.bit) & 1, (port_b >> b.bit) & 1);
}

QuadratureDecoder g_roll;
QuadratureDecoder g_pitch;
QuadratureDecoder g_yaw;


// The handler of INTn serves the axis that has a channel on it.
template <int8_t n>
__attribute__((always_inline)) inline void edge()
{
  if (config::kRollA.ext_int == n || config::kRollB.ext_int == n)
    step(g_roll, config::kRollA, config::kRollB);
  else if (config::kPitchA.ext_int == n || config::kPitchB.ext_int == n)
    step(g_pitch, config::kPitchA, config::kPitchB);
  else if (config::kYawA.ext_int == n || config::kYawB.ext_int == n)
    step(g_yaw, config::kYawA, config::kYawB);
}

void resetTo(QuadratureDecoder& decoder, const Pin& a, const Pin& b)
{
  decoder.reset((readPort(a.port) >> a.bit) & 1, (readPort(b.port) >> b.bit) & 1);
}

void pullUp(const Pin& p)
{
  if (p.port == 'D')
    PORTD |= _BV(p.bit);
  else
    PORTE |= _BV(p.bit);
}
}  // namespace

void init()
{
  const Pin* pins[] = {&config::kRollA,  &config::kRollB, &config::kPitchA,
                       &config::kPitchB, &config::kYawA,  &config::kYawB};
  // Pull-ups let open-collector encoders work and hold unwired inputs still;
  // push-pull encoders override them.
  for (const Pin* p : pins)
    pullUp(*p);

  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    resetTo(g_roll, config::kRollA, config::kRollB);
    resetTo(g_pitch, config::kPitchA, config::kPitchB);
    resetTo(g_yaw, config::kYawA, config::kYawB);
    // Any edge (ISCn1:0 = 01) on INT0..INT5.
    EICRA = _BV(ISC00) | _BV(ISC10) | _BV(ISC20) | _BV(ISC30);
    EICRB = _BV(ISC40) | _BV(ISC50);
    EIFR = 0x3F;  // forget edges seen while the pins settled
    EIMSK = 0x3F;
  }
}

Counts sample()
{
  Counts c;
  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    c.roll = g_roll.count;
    c.pitch = g_pitch.count;
    c.yaw = g_yaw.count;
  }
  return c;
}

}  // namespace encoders
}  // namespace zv_firmware

using zv_firmware::encoders::edge;

ISR(INT0_vect)
{
  edge<0>();
}
ISR(INT1_vect)
{
  edge<1>();
}
ISR(INT2_vect)
{
  edge<2>();
}
ISR(INT3_vect)
{
  edge<3>();
}
ISR(INT4_vect)
{
  edge<4>();
}
ISR(INT5_vect)
{
  edge<5>();
}
