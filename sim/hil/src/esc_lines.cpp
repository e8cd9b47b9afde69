#include "esc_lines.h"

#include <cstddef>
#include <utility>

#include <simavr/avr_ioport.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_irq.h>

#include <zv_firmware/rig_config.h>

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

// Pulses kept between two takePulses() at most.
const size_t kMaxPulses = 100000;

// Data-space address of a port's DDR register (ports A to G).
uint16_t ddrAddress(char port)
{
  return static_cast<uint16_t>(0x21 + 3 * (port - 'A'));
}
static_assert(cfg::kEscLeft.port >= 'A' && cfg::kEscLeft.port <= 'G' && cfg::kEscRight.port >= 'A' &&
                  cfg::kEscRight.port <= 'G',
              "the simulated board reads the ESC pins' direction on ports A to G only");
}  // namespace

EscLines::EscLines(BoardClock& clock, bool swapped, std::function<void(const Pulse&)> on_pulse)
    : clock_(clock), on_pulse_(std::move(on_pulse))
{
  const cfg::Pin* pins[kEscCount] = {&cfg::kEscLeft, &cfg::kEscRight};
  if (swapped)
  {
    std::swap(pins[kEscLeft], pins[kEscRight]);
  }
  for (int e = 0; e < kEscCount; ++e)
  {
    ddr_[e] = ddrAddress(pins[e]->port);
    bit_[e] = static_cast<uint8_t>(1u << pins[e]->bit);
    taps_[e] = Tap{this, static_cast<Esc>(e)};
    avr_irq_register_notify(avr_io_getirq(clock_.avr(), AVR_IOCTL_IOPORT_GETIRQ(pins[e]->port), pins[e]->bit),
                            &EscLines::onPin, &taps_[e]);
  }
}

void EscLines::afterReset()
{
  for (PulseMeter& m : meters_)
  {
    m.discard();
  }
}

void EscLines::onPin(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  Tap* tap = static_cast<Tap*>(param);
  EscLines* self = tap->self;
  PulseMeter& meter = self->meters_[tap->esc];
  const bool output = (self->clock_.avr()->data[self->ddr_[tap->esc]] & self->bit_[tap->esc]) != 0;
  if (self->clock_.pins_released || !output)
  {
    meter.discard();
    return;
  }
  if (!meter.level(value != 0, self->clock_.now()))
  {
    return;
  }
  Pulse p;
  p.esc = tap->esc;
  p.width_us = meter.widthUs();
  p.end = meter.pulseEnd();
  if (self->pulses_.size() < kMaxPulses)
  {
    self->pulses_.push_back(p);
  }
  if (self->on_pulse_)
  {
    self->on_pulse_(p);
  }
}

void EscLines::takePulses(std::vector<Pulse>& out)
{
  out.swap(pulses_);
  pulses_.clear();
}

}  // namespace hil
}  // namespace zv_sim
