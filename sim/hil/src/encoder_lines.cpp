#include "encoder_lines.h"

#include <cstring>

#include <simavr/avr_ioport.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_irq.h>

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

const cfg::Pin* const kPins[kAxisCount * 2] = {&cfg::kRollA,  &cfg::kRollB, &cfg::kPitchA,
                                               &cfg::kPitchB, &cfg::kYawA,  &cfg::kYawB};

int lineOf(Axis axis, bool b)
{
  return axis * 2 + (b ? 1 : 0);
}
}  // namespace

EncoderLines::EncoderLines(BoardClock& clock, const std::array<int64_t, kAxisCount>& counts, bool pitch_reversed)
    : clock_(clock)
{
  for (int line = 0; line < kAxisCount * 2; ++line)
  {
    pin_of_line_[line] = line;
  }
  if (pitch_reversed)
  {
    pin_of_line_[lineOf(kPitch, false)] = lineOf(kPitch, true);
    pin_of_line_[lineOf(kPitch, true)] = lineOf(kPitch, false);
  }
  for (int line = 0; line < kAxisCount * 2; ++line)
  {
    const cfg::Pin& pin = *kPins[pin_of_line_[line]];
    pins_[line] = avr_io_getirq(clock_.avr(), AVR_IOCTL_IOPORT_GETIRQ(pin.port), pin.bit);
    // Re-asserting a level after a reset must reach the PIN register, which
    // the reset cleared, so the pins pass equal values on.
    avr_irq_set_flags(pins_[line], avr_irq_get_flags(pins_[line]) & ~IRQ_FLAG_FILTERED);
  }
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    taps_[axis] = Tap{this, static_cast<Axis>(axis)};
    QuadratureDrive::levels(counts[axis], levels_[lineOf(static_cast<Axis>(axis), false)],
                            levels_[lineOf(static_cast<Axis>(axis), true)]);
  }
  for (int line = 0; line < kAxisCount * 2; ++line)
  {
    drive(line);
  }
}

void EncoderLines::afterReset()
{
  for (int line = 0; line < kAxisCount * 2; ++line)
  {
    drive(line);
  }
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    timer_[axis] = false;
    schedule(static_cast<Axis>(axis));
  }
}

void EncoderLines::settle()
{
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    if (!queued_[axis].empty())
    {
      apply(static_cast<Axis>(axis), queued_[axis].back().a, queued_[axis].back().b);
      queued_[axis].clear();
    }
  }
}

void EncoderLines::apply(Axis axis, uint8_t a, uint8_t b)
{
  const int la = lineOf(axis, false), lb = lineOf(axis, true);
  if (levels_[la] != a)
  {
    levels_[la] = a;
    drive(la);
  }
  if (levels_[lb] != b)
  {
    levels_[lb] = b;
    drive(lb);
  }
}

// The port is told the level from outside first, else libsimavr lets a
// pull-up written later win over it.
void EncoderLines::drive(int line)
{
  const cfg::Pin& pin = *kPins[pin_of_line_[line]];
  avr_ioport_external_t external;
  std::memset(&external, 0, sizeof external);
  external.name = static_cast<unsigned>(pin.port);
  unsigned mask = 0, value = 0;
  for (int other = 0; other < kAxisCount * 2; ++other)
  {
    const cfg::Pin& p = *kPins[pin_of_line_[other]];
    if (p.port == pin.port)
    {
      mask |= 1u << p.bit;
      value |= static_cast<unsigned>(levels_[other]) << p.bit;
    }
  }
  external.mask = mask;
  external.value = value;
  avr_ioctl(clock_.avr(), AVR_IOCTL_IOPORT_SET_EXTERNAL(pin.port), &external);
  avr_raise_irq(pins_[line], levels_[line]);
}

void EncoderLines::edges(Axis axis, const std::vector<EncoderEdge>& edges, bool at_once)
{
  if (edges.empty())
  {
    return;
  }
  if (at_once)
  {
    apply(axis, edges.back().a, edges.back().b);
    return;
  }
  queued_[axis].insert(queued_[axis].end(), edges.begin(), edges.end());
  schedule(axis);
}

void EncoderLines::schedule(Axis axis)
{
  if (timer_[axis] || queued_[axis].empty())
  {
    return;
  }
  avr_cycle_timer_register(clock_.avr(), clock_.cyclesUntil(queued_[axis].front().cycle), &EncoderLines::onTimer,
                           &taps_[axis]);
  timer_[axis] = true;
}

uint64_t EncoderLines::onTimer(avr_t* avr, uint64_t when, void* param)
{
  (void)when;
  Tap* tap = static_cast<Tap*>(param);
  EncoderLines* self = tap->self;
  std::deque<EncoderEdge>& queue = self->queued_[tap->axis];
  const uint64_t now = self->clock_.now();
  while (!queue.empty() && queue.front().cycle <= now)
  {
    self->apply(tap->axis, queue.front().a, queue.front().b);
    queue.pop_front();
  }
  if (queue.empty())
  {
    self->timer_[tap->axis] = false;
    return 0;
  }
  const uint64_t next = self->clock_.toAvr(queue.front().cycle);
  return next > avr->cycle ? next : avr->cycle + 1;
}

}  // namespace hil
}  // namespace zv_sim
