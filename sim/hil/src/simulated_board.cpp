#include "simulated_board.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include <simavr/avr_extint.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_irq.h>

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

// ATmega2560 addresses in data space (I/O address + 0x20 where it has one).
const uint16_t kGpior0 = 0x3E;
const uint16_t kUcsr0b = 0xC1;
const uint8_t kRxen0 = 1 << 4;
const int kUsart0RxVector = 25;
// UART0's receive buffer in libsimavr holds 64 bytes; keep clear of its
// overrun (a real one holds 2, but the firmware empties it by interrupt).
const size_t kUartRxRoom = 48;
// What the host may have on the line ahead of the board: about 0.35 s at
// 115200 baud. The serial driver never gets near; a flood is cut here.
const size_t kMaxHostBytes = 4096;

struct Tap
{
  SimulatedBoard* board;
  int index;
};

SimulatedBoard* boardOf(avr_t* avr)
{
  return static_cast<SimulatedBoard*>(avr->custom.data);
}

int64_t encoderIndex(Axis axis, bool b)
{
  return axis * 2 + (b ? 1 : 0);
}

const cfg::Pin& encoderPin(int index)
{
  static const cfg::Pin* pins[kAxisCount * 2] = {&cfg::kRollA,  &cfg::kRollB, &cfg::kPitchA,
                                                 &cfg::kPitchB, &cfg::kYawA,  &cfg::kYawB};
  return *pins[index];
}

avr_irq_t* pinIrq(avr_t* avr, const cfg::Pin& pin)
{
  return avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(pin.port), pin.bit);
}

// Data-space address of a port's DDR register (ports A to G).
uint16_t ddrAddress(char port)
{
  return static_cast<uint16_t>(0x21 + 3 * (port - 'A'));
}
static_assert(cfg::kEscLeft.port >= 'A' && cfg::kEscLeft.port <= 'G' && cfg::kEscRight.port >= 'A' &&
                  cfg::kEscRight.port <= 'G',
              "the simulated board reads the ESC pins' direction on ports A to G only");
}  // namespace

// Per-callback parameters with a stable address: the board and which pin,
// vector or axis the callback is about.
struct SimulatedBoard::Taps
{
  Tap esc[kEscCount];
  Tap axis[kAxisCount];
  Tap vector[64];
};

SimulatedBoard::SimulatedBoard(const std::string& elf_path, const std::array<int64_t, kAxisCount>& counts)
    : taps_(new Taps)
{
  elf_firmware_t firmware;
  std::memset(&firmware, 0, sizeof firmware);
  if (elf_read_firmware(elf_path.c_str(), &firmware) != 0)
  {
    throw std::runtime_error("cannot read the firmware image " + elf_path +
                             ": build it (./zv firmware) or give the path of an AVR ELF in ~firmware");
  }
  avr_ = avr_make_mcu_by_name("atmega2560");
  if (!avr_ || avr_init(avr_) != 0)
  {
    throw std::runtime_error("libsimavr has no ATmega2560: install simavr's libsimavr2");
  }
  avr_load_firmware(avr_, &firmware);
  avr_->frequency = kBoardHz;  // the image carries no clock of its own
  avr_->log = LOG_ERROR;       // its errors too (UART overruns, crashes), not its traces
  avr_->custom.data = this;
  avr_->sleep = &SimulatedBoard::onSleep;
  core_reset_ = avr_->reset;
  avr_->reset = &SimulatedBoard::onReset;
  setBaud(cfg::kBaud);
  wire();
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    QuadratureDrive::levels(counts[axis], encoder_levels_[encoderIndex(static_cast<Axis>(axis), false)],
                            encoder_levels_[encoderIndex(static_cast<Axis>(axis), true)]);
  }
  for (int i = 0; i < kAxisCount * 2; ++i)
  {
    driveEncoderPin(i);
  }
}

SimulatedBoard::~SimulatedBoard()
{
  avr_terminate(avr_);
}

void SimulatedBoard::wire()
{
  for (int i = 0; i < kAxisCount * 2; ++i)
  {
    encoder_pins_[i] = pinIrq(avr_, encoderPin(i));
    // Re-asserting a level after a reset must reach the PIN register, which
    // the reset cleared, so the pins pass equal values on.
    avr_irq_set_flags(encoder_pins_[i], avr_irq_get_flags(encoder_pins_[i]) & ~IRQ_FLAG_FILTERED);
  }
  const cfg::Pin* esc_pins[kEscCount] = {&cfg::kEscLeft, &cfg::kEscRight};
  for (int e = 0; e < kEscCount; ++e)
  {
    esc_ddr_[e] = ddrAddress(esc_pins[e]->port);
    esc_bit_[e] = static_cast<uint8_t>(1u << esc_pins[e]->bit);
    taps_->esc[e] = Tap{this, e};
    avr_irq_register_notify(pinIrq(avr_, *esc_pins[e]), &SimulatedBoard::onPin, &taps_->esc[e]);
  }
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    taps_->axis[axis] = Tap{this, axis};
  }
  applySimulatorSettings();
  uart_in_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), &SimulatedBoard::onUartOut,
                          this);
  const int vectors = avr_->interrupts.vector_count;
  for (int i = 0; i < vectors && i < 64; ++i)
  {
    avr_int_vector_t* v = avr_->interrupts.vector[i];
    taps_->vector[i] = Tap{this, v->vector};
    avr_irq_register_notify(v->irq + AVR_INT_IRQ_RUNNING, &SimulatedBoard::onVector, &taps_->vector[i]);
  }
  vector_entry_.assign(256, 0);
  figures_.isr_max_by_vector.assign(256, 0);
  avr_irq_register_notify(avr_iomem_getirq(avr_, kGpior0, nullptr, AVR_IOMEM_IRQ_ALL), &SimulatedBoard::onGpior0, this);
}

uint64_t SimulatedBoard::now() const
{
  return avr_->cycle + held_cycles_;
}

uint64_t SimulatedBoard::toAvr(uint64_t cycle) const
{
  return cycle > held_cycles_ ? cycle - held_cycles_ : 0;
}

bool SimulatedBoard::inReset() const
{
  return hold_until_ != 0;
}

bool SimulatedBoard::running() const
{
  return avr_->state != cpu_Crashed && avr_->state != cpu_Done && avr_->state != cpu_Stopped;
}

void SimulatedBoard::runUntil(uint64_t until)
{
  while (now() < until)
  {
    if (inReset() || !running())
    {
      // The core does not run: time passes outside its cycle count.
      const uint64_t stop = inReset() && hold_until_ < until ? hold_until_ : until;
      held_cycles_ += stop - now();
      if (inReset() && now() >= hold_until_)
      {
        hold_until_ = 0;
        resetCore();
      }
      continue;
    }
    // A timer at `until` stops a sleeping core there instead of past it
    // (a sleeping core skips ahead to its next timer).
    avr_cycle_timer_register(avr_, toAvr(until) - avr_->cycle, &SimulatedBoard::onFence, this);
    while (now() < until && running() && !reset_seen_)
    {
      avr_run(avr_);
    }
    avr_cycle_timer_cancel(avr_, &SimulatedBoard::onFence, this);
    if (reset_seen_)
    {
      // The firmware reset the MCU itself (watchdog): our timers went with it.
      ++figures_.resets_by_firmware;
      afterReset();
    }
  }
}

void SimulatedBoard::resetCore()
{
  in_reset_call_ = true;
  avr_reset(avr_);
  in_reset_call_ = false;
  afterReset();
}

void SimulatedBoard::holdInReset(uint64_t cycles)
{
  ++figures_.resets_by_host;
  // The motion so far is where the encoders are now; the bytes on their way are lost.
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    if (!edges_[axis].empty())
    {
      applyEncoderLevels(static_cast<Axis>(axis), edges_[axis].back().a, edges_[axis].back().b);
      edges_[axis].clear();
    }
  }
  host_bytes_.clear();
  resetCore();
  hold_until_ = now() + (cycles > 0 ? cycles : 1);
}

void SimulatedBoard::afterReset()
{
  reset_seen_ = false;
  resetting_ = false;
  applySimulatorSettings();
  for (int i = 0; i < kAxisCount * 2; ++i)
  {
    driveEncoderPin(i);
  }
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    encoder_timer_[axis] = false;
    scheduleEncoder(static_cast<Axis>(axis));
  }
  uart_timer_ = false;
  scheduleUart();
  in_uart_.clear();
  taken_parser_.reset();
  for (int e = 0; e < kEscCount; ++e)
  {
    esc_[e].discard();
    pending_[e] = false;
  }
  std::fill(vector_entry_.begin(), vector_entry_.end(), 0);
  pass_started_ = false;
}

// ---- Encoders ----

void SimulatedBoard::applyEncoderLevels(Axis axis, uint8_t a, uint8_t b)
{
  const int ia = encoderIndex(axis, false), ib = encoderIndex(axis, true);
  if (encoder_levels_[ia] != a)
  {
    encoder_levels_[ia] = a;
    driveEncoderPin(ia);
  }
  if (encoder_levels_[ib] != b)
  {
    encoder_levels_[ib] = b;
    driveEncoderPin(ib);
  }
}

// The encoders drive their lines push-pull, over the firmware's pull-ups: the
// port is told the level from outside first, else libsimavr lets a pull-up
// written later win over it.
void SimulatedBoard::driveEncoderPin(int index)
{
  const cfg::Pin& pin = encoderPin(index);
  avr_ioport_external_t external;
  std::memset(&external, 0, sizeof external);
  external.name = static_cast<unsigned>(pin.port);
  unsigned mask = 0, value = 0;
  for (int i = 0; i < kAxisCount * 2; ++i)
  {
    const cfg::Pin& other = encoderPin(i);
    if (other.port == pin.port)
    {
      mask |= 1u << other.bit;
      value |= static_cast<unsigned>(encoder_levels_[i]) << other.bit;
    }
  }
  external.mask = mask;
  external.value = value;
  avr_ioctl(avr_, AVR_IOCTL_IOPORT_SET_EXTERNAL(pin.port), &external);
  avr_raise_irq(encoder_pins_[index], encoder_levels_[index]);
}

void SimulatedBoard::encoderEdges(Axis axis, const std::vector<EncoderEdge>& edges)
{
  if (edges.empty())
  {
    return;
  }
  if (inReset())
  {
    applyEncoderLevels(axis, edges.back().a, edges.back().b);
    return;
  }
  edges_[axis].insert(edges_[axis].end(), edges.begin(), edges.end());
  scheduleEncoder(axis);
}

void SimulatedBoard::scheduleEncoder(Axis axis)
{
  if (encoder_timer_[axis] || edges_[axis].empty())
  {
    return;
  }
  const uint64_t at = toAvr(edges_[axis].front().cycle);
  const uint64_t in = at > avr_->cycle ? at - avr_->cycle : 1;
  avr_cycle_timer_register(avr_, in, &SimulatedBoard::onEncoderTimer, &taps_->axis[axis]);
  encoder_timer_[axis] = true;
}

uint64_t SimulatedBoard::onEncoderTimer(avr_t* avr, uint64_t when, void* param)
{
  (void)when;
  Tap* tap = static_cast<Tap*>(param);
  SimulatedBoard* self = tap->board;
  const Axis axis = static_cast<Axis>(tap->index);
  std::deque<EncoderEdge>& queue = self->edges_[axis];
  const uint64_t now = self->now();
  while (!queue.empty() && queue.front().cycle <= now)
  {
    self->applyEncoderLevels(axis, queue.front().a, queue.front().b);
    queue.pop_front();
  }
  if (queue.empty())
  {
    self->encoder_timer_[axis] = false;
    return 0;
  }
  const uint64_t next = self->toAvr(queue.front().cycle);
  return next > avr->cycle ? next : avr->cycle + 1;
}

// ---- UART0 ----

// libsimavr's UART prints what the firmware sends as text lines and sleeps on
// the wall clock when the firmware polls it; the bytes are binary frames here
// and the pacing is ours. And libsimavr polls a low INTn pin every few cycles
// to repeat a level-triggered interrupt, slowing the simulation a
// thousandfold while an encoder line is low; the firmware's interrupts are
// any-edge and never need it.
void SimulatedBoard::applySimulatorSettings()
{
  for (int n = 0; n < EXTINT_COUNT; ++n)
  {
    avr_extint_set_strict_lvl_trig(avr_, n, 0);
  }
  uint32_t flags = 0;
  avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
  flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
  avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
}

void SimulatedBoard::setBaud(uint32_t baud)
{
  byte_cycles_ = baud > 0 ? kBoardHz * 10 / baud : kBoardHz * 10 / cfg::kBaud;
}

void SimulatedBoard::uartSend(const uint8_t* data, size_t n)
{
  for (size_t i = 0; i < n; ++i)
  {
    if (host_bytes_.size() >= kMaxHostBytes)
    {
      ++figures_.uart_bytes_lost;
      continue;
    }
    host_bytes_.push_back(data[i]);
  }
  if (!inReset())
  {
    scheduleUart();
  }
}

void SimulatedBoard::scheduleUart()
{
  if (uart_timer_ || host_bytes_.empty())
  {
    return;
  }
  avr_cycle_timer_register(avr_, byte_cycles_, &SimulatedBoard::onUartTimer, this);
  uart_timer_ = true;
}

uint64_t SimulatedBoard::onUartTimer(avr_t* avr, uint64_t when, void* param)
{
  (void)avr;
  SimulatedBoard* self = static_cast<SimulatedBoard*>(param);
  if (self->host_bytes_.empty())
  {
    self->uart_timer_ = false;
    return 0;
  }
  const uint8_t byte = self->host_bytes_.front();
  self->host_bytes_.pop_front();
  const bool receiver_on = (self->avr_->data[kUcsr0b] & kRxen0) != 0;
  if (receiver_on && self->in_uart_.size() < kUartRxRoom)
  {
    self->in_uart_.push_back(byte);
    avr_raise_irq(self->uart_in_, byte);
  }
  else
  {
    ++self->figures_.uart_bytes_lost;
  }
  return when + self->byte_cycles_;
}

void SimulatedBoard::onUartOut(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  SimulatedBoard* self = static_cast<SimulatedBoard*>(param);
  self->out_bytes_.push_back(static_cast<uint8_t>(value));
  self->out_cycles_.push_back(self->now());
}

void SimulatedBoard::takeUartOutput(std::vector<uint8_t>& bytes, std::vector<uint64_t>& cycles)
{
  bytes.swap(out_bytes_);
  cycles.swap(out_cycles_);
  out_bytes_.clear();
  out_cycles_.clear();
}

// A byte left UART0's receive buffer for the firmware: when it ends a THROTTLE
// frame, the ESC pulses it asks for are awaited.
void SimulatedBoard::byteTaken(uint8_t byte)
{
  frames_.clear();
  taken_parser_.feed(&byte, 1, frames_);
  for (const zv_ros_driver::Frame& frame : frames_)
  {
    float u[kEscCount] = {0, 0};
    if (!zv_ros_driver::decodeThrottle(frame, u[kEscLeft], u[kEscRight]))
    {
      continue;
    }
    for (int e = 0; e < kEscCount; ++e)
    {
      const double throttle = zv_ros_driver::sanitizeThrottle(u[e]);
      const double width = cfg::kEscPulseOffUs + (cfg::kEscPulseFullUs - cfg::kEscPulseOffUs) * throttle;
      // Only a change the pulses can show (their resolution is 0.5 us); a
      // newer frame supersedes one whose pulse has not come yet.
      pending_[e] = !esc_[e].hasPulse() || std::fabs(width - esc_[e].widthUs()) >= 2.0;
      pending_width_us_[e] = width;
      pending_since_[e] = now();
    }
  }
}

// ---- ESC pulses ----

void SimulatedBoard::onPin(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  Tap* tap = static_cast<Tap*>(param);
  SimulatedBoard* self = tap->board;
  PulseMeter& meter = self->esc_[tap->index];
  const bool output = (self->avr_->data[self->esc_ddr_[tap->index]] & self->esc_bit_[tap->index]) != 0;
  if (self->resetting_ || self->in_reset_call_ || !output)
  {
    // A released pin (reset, or not yet an output) floats: the ESC sees no pulse.
    meter.discard();
    return;
  }
  if (meter.level(value != 0, self->now()))
  {
    self->pulseDone(static_cast<Esc>(tap->index));
  }
}

void SimulatedBoard::pulseDone(Esc e)
{
  const PulseMeter& meter = esc_[e];
  Pulse p;
  p.esc = e;
  p.width_us = meter.widthUs();
  p.end = meter.pulseEnd();
  if (pulses_.size() < 100000)
  {
    pulses_.push_back(p);
  }
  if (pending_[e] && std::fabs(p.width_us - pending_width_us_[e]) <= 1.0)
  {
    pending_[e] = false;
    figures_.throttle_to_pulse_us.push_back(static_cast<double>(p.end - pending_since_[e]) / kCyclesPerUs);
  }
}

void SimulatedBoard::takePulses(std::vector<Pulse>& out)
{
  out.swap(pulses_);
  pulses_.clear();
}

// ---- Measurement of the firmware ----

void SimulatedBoard::onVector(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  Tap* tap = static_cast<Tap*>(param);
  SimulatedBoard* self = tap->board;
  const int vector = tap->index & 0xFF;
  const uint64_t now = self->now();
  if (value != 0)
  {
    self->vector_entry_[vector] = now;
    if (vector == kUsart0RxVector && !self->in_uart_.empty())
    {
      const uint8_t byte = self->in_uart_.front();
      self->in_uart_.pop_front();
      self->byteTaken(byte);
    }
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
  BoardFigures& f = self->figures_;
  f.isr_max_by_vector[vector] = std::max(f.isr_max_by_vector[vector], cycles);
  if (cycles > f.isr_max_cycles)
  {
    f.isr_max_cycles = cycles;
    f.isr_max_vector = vector;
  }
}

void SimulatedBoard::onGpior0(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  (void)value;
  SimulatedBoard* self = static_cast<SimulatedBoard*>(param);
  const uint64_t now = self->now();
  if (self->pass_started_)
  {
    const uint64_t awake = (now - self->pass_start_) - (self->slept_cycles_ - self->pass_slept_);
    const uint64_t isr = self->isr_cycles_ - self->pass_isr_;
    BoardFigures& f = self->figures_;
    ++f.loop_passes;
    f.loop_max_cycles = std::max(f.loop_max_cycles, awake);
    f.loop_own_max_cycles = std::max(f.loop_own_max_cycles, awake > isr ? awake - isr : 0);
  }
  self->pass_started_ = true;
  self->pass_start_ = now;
  self->pass_slept_ = self->slept_cycles_;
  self->pass_isr_ = self->isr_cycles_;
}

void SimulatedBoard::onSleep(avr_t* avr, uint64_t cycles)
{
  // Pacing against the wall clock is the caller's: a sleeping core only skips ahead.
  boardOf(avr)->slept_cycles_ += cycles;
}

void SimulatedBoard::onReset(avr_t* avr)
{
  SimulatedBoard* self = boardOf(avr);
  if (self->core_reset_)
  {
    self->core_reset_(avr);
  }
  self->resetting_ = true;
  if (!self->in_reset_call_)
  {
    self->reset_seen_ = true;
  }
}

// Stays armed one cycle ahead: a core that goes to sleep right at the fence
// would otherwise skip on to its next timer, past edges not yet scheduled.
uint64_t SimulatedBoard::onFence(avr_t* avr, uint64_t when, void* param)
{
  (void)avr;
  (void)param;
  return when + 1;
}

}  // namespace hil
}  // namespace zv_sim
