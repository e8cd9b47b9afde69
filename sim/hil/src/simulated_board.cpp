#include "simulated_board.h"

#include <cstring>
#include <stdexcept>

#include <simavr/avr_extint.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>

namespace zv_sim
{
namespace hil
{
namespace
{
SimulatedBoard* boardOf(avr_t* avr)
{
  return static_cast<SimulatedBoard*>(avr->custom.data);
}

// libsimavr polls a low INTn pin every few cycles to repeat a level-triggered
// interrupt, slowing the simulation a thousandfold while an encoder line is
// low; the firmware's interrupts are any-edge and never need it.
void noLevelPolling(avr_t* avr)
{
  for (int n = 0; n < EXTINT_COUNT; ++n)
  {
    avr_extint_set_strict_lvl_trig(avr, n, 0);
  }
}
}  // namespace

SimulatedBoard::SimulatedBoard(const std::string& elf_path, const std::array<int64_t, kAxisCount>& counts,
                               const BoardWiring& wiring)
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
  noLevelPolling(avr_);

  clock_.reset(new BoardClock(avr_));
  encoders_.reset(new EncoderLines(*clock_, counts, wiring.pitch_encoder_reversed));
  escs_.reset(new EscLines(*clock_, wiring.esc_swapped, [this](const Pulse& p) { probe_->pulse(p); }));
  probe_.reset(new FirmwareProbe(*clock_, *escs_));
  uart_.reset(new HostUart(*clock_, [this](uint64_t number) { probe_->byteTaken(number); }));
}

SimulatedBoard::~SimulatedBoard()
{
  avr_terminate(avr_);
}

bool SimulatedBoard::running() const
{
  return avr_->state != cpu_Crashed && avr_->state != cpu_Done && avr_->state != cpu_Stopped;
}

BoardFigures SimulatedBoard::figures() const
{
  BoardFigures f;
  static_cast<FirmwareFigures&>(f) = probe_->figures();
  f.resets_by_host = resets_by_host_;
  f.resets_by_firmware = resets_by_firmware_;
  f.uart_bytes_lost = uart_->bytesLost();
  return f;
}

void SimulatedBoard::runUntil(uint64_t until)
{
  while (now() < until)
  {
    if (inReset() || !running())
    {
      // The core does not run: time passes outside its cycle count.
      const uint64_t stop = inReset() && hold_until_ < until ? hold_until_ : until;
      clock_->pass(stop - now());
      if (inReset() && now() >= hold_until_)
      {
        hold_until_ = 0;
        resetCore();
      }
      continue;
    }
    // A timer at `until` stops a sleeping core there instead of past it
    // (a sleeping core skips ahead to its next timer).
    avr_cycle_timer_register(avr_, clock_->toAvr(until) - avr_->cycle, &SimulatedBoard::onFence, this);
    while (now() < until && running() && !reset_seen_)
    {
      avr_run(avr_);
    }
    avr_cycle_timer_cancel(avr_, &SimulatedBoard::onFence, this);
    if (reset_seen_)
    {
      // The firmware reset the MCU itself (watchdog): our timers went with it.
      ++resets_by_firmware_;
      afterReset();
    }
  }
}

void SimulatedBoard::resetCore()
{
  in_reset_call_ = true;
  clock_->pins_released = true;
  avr_reset(avr_);
  in_reset_call_ = false;
  afterReset();
}

void SimulatedBoard::resetAndHold(uint64_t cycles, ResetCause cause)
{
  ++(cause == kResetByHost ? resets_by_host_ : resets_by_firmware_);
  encoders_->settle();
  uart_->dropWaiting();
  resetCore();
  hold_until_ = now() + (cycles > 0 ? cycles : 1);
}

void SimulatedBoard::afterReset()
{
  reset_seen_ = false;
  clock_->pins_released = false;
  noLevelPolling(avr_);
  encoders_->afterReset();
  uart_->afterReset();
  escs_->afterReset();
  probe_->afterReset();
}

void SimulatedBoard::onSleep(avr_t* avr, uint64_t cycles)
{
  // Pacing against the wall clock is the caller's: a sleeping core only skips ahead.
  boardOf(avr)->probe_->slept(cycles);
}

void SimulatedBoard::onReset(avr_t* avr)
{
  SimulatedBoard* self = boardOf(avr);
  if (self->core_reset_)
  {
    self->core_reset_(avr);
  }
  if (self->clock_)
  {
    self->clock_->pins_released = true;
  }
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
