#include "firmware_probe.h"

#include <algorithm>
#include <cmath>

#include <simavr/sim_avr.h>
#include <simavr/sim_interrupts.h>
#include <simavr/sim_io.h>
#include <simavr/sim_irq.h>

#include <zv_firmware/rig_config.h>
#include <zv_protocol/wire_codec.h>

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

// GPIOR0 in data space: the firmware writes it once per main-loop pass.
const uint16_t kGpior0 = 0x3E;
// Expected frames kept at most: the host's line holds about 370 THROTTLE frames.
const size_t kMaxExpected = 1024;
}  // namespace

FirmwareProbe::FirmwareProbe(BoardClock& clock, const EscLines& escs) : clock_(clock), escs_(escs)
{
  avr_t* avr = clock_.avr();
  for (int i = 0; i < avr->interrupts.vector_count && i < static_cast<int>(taps_.size()); ++i)
  {
    avr_int_vector_t* v = avr->interrupts.vector[i];
    taps_[i] = Tap{this, v->vector & 0xFF};
    avr_irq_register_notify(v->irq + AVR_INT_IRQ_RUNNING, &FirmwareProbe::onVector, &taps_[i]);
  }
  vector_entry_.assign(256, 0);
  figures_.isr_max_by_vector.assign(256, 0);
  avr_irq_register_notify(avr_iomem_getirq(avr, kGpior0, nullptr, AVR_IOMEM_IRQ_ALL), &FirmwareProbe::onGpior0, this);
}

void FirmwareProbe::afterReset()
{
  std::fill(vector_entry_.begin(), vector_entry_.end(), 0);
  pass_started_ = false;
  pending_[kEscLeft] = pending_[kEscRight] = false;
}

void FirmwareProbe::expectThrottle(uint64_t number, float left, float right)
{
  if (expected_.size() >= kMaxExpected)
  {
    expected_.pop_front();
  }
  Expected e;
  e.number = number;
  const float u[kEscCount] = {left, right};
  for (int i = 0; i < kEscCount; ++i)
  {
    const double throttle = zv_protocol::sanitizeThrottle(u[i]);
    e.width_us[i] = cfg::kEscPulseOffUs + (cfg::kEscPulseFullUs - cfg::kEscPulseOffUs) * throttle;
  }
  expected_.push_back(e);
}

// When the byte ends a THROTTLE frame, the ESC pulses it asks for are awaited.
void FirmwareProbe::byteTaken(uint64_t number)
{
  // Frames whose last byte never reached the firmware were not taken.
  while (!expected_.empty() && expected_.front().number < number)
  {
    expected_.pop_front();
  }
  if (expected_.empty() || expected_.front().number != number)
  {
    return;
  }
  const Expected e = expected_.front();
  expected_.pop_front();
  for (int i = 0; i < kEscCount; ++i)
  {
    const PulseMeter& meter = escs_.esc(static_cast<Esc>(i));
    // Only a change the pulses can show (their resolution is 0.5 us); a
    // newer frame supersedes one whose pulse has not come yet.
    pending_[i] = !meter.hasPulse() || std::fabs(e.width_us[i] - meter.widthUs()) >= 2.0;
    pending_width_us_[i] = e.width_us[i];
    pending_since_[i] = clock_.now();
  }
}

void FirmwareProbe::pulse(const Pulse& p)
{
  if (pending_[p.esc] && std::fabs(p.width_us - pending_width_us_[p.esc]) <= 1.0)
  {
    pending_[p.esc] = false;
    figures_.throttle_to_pulse_us.push_back(static_cast<double>(p.end - pending_since_[p.esc]) / kCyclesPerUs);
  }
}

void FirmwareProbe::onVector(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  Tap* tap = static_cast<Tap*>(param);
  FirmwareProbe* self = tap->self;
  const int vector = tap->vector;
  const uint64_t now = self->clock_.now();
  if (value != 0)
  {
    self->vector_entry_[vector] = now;
    return;
  }
  const uint64_t entry = self->vector_entry_[vector];
  if (entry == 0)
  {
    return;
  }
  self->vector_entry_[vector] = 0;
  const uint64_t cycles = now - entry;
  self->isr_cycles_ += cycles;
  FirmwareFigures& f = self->figures_;
  f.isr_max_by_vector[vector] = std::max(f.isr_max_by_vector[vector], cycles);
  if (cycles > f.isr_max_cycles)
  {
    f.isr_max_cycles = cycles;
    f.isr_max_vector = vector;
  }
}

void FirmwareProbe::onGpior0(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  (void)value;
  FirmwareProbe* self = static_cast<FirmwareProbe*>(param);
  const uint64_t now = self->clock_.now();
  if (self->pass_started_)
  {
    const uint64_t awake = (now - self->pass_start_) - (self->slept_cycles_ - self->pass_slept_);
    const uint64_t isr = self->isr_cycles_ - self->pass_isr_;
    FirmwareFigures& f = self->figures_;
    ++f.loop_passes;
    f.loop_max_cycles = std::max(f.loop_max_cycles, awake);
    f.loop_own_max_cycles = std::max(f.loop_own_max_cycles, awake > isr ? awake - isr : 0);
  }
  self->pass_started_ = true;
  self->pass_start_ = now;
  self->pass_slept_ = self->slept_cycles_;
  self->pass_isr_ = self->isr_cycles_;
}

}  // namespace hil
}  // namespace zv_sim
