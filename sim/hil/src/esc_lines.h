// The two ESCs on the board's OC1A and OC1B pins: each times the high pulses
// on its signal wire while the pin is an output (a released pin floats: no
// pulse). Wired as rig_config.h says, or (fault injection) swapped, so that
// the left signal drives the right motor and back.
#ifndef ZV_SIM_HIL_ESC_LINES_H
#define ZV_SIM_HIL_ESC_LINES_H

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "board_clock.h"
#include "pulse_meter.h"

struct avr_irq_t;

namespace zv_sim
{
namespace hil
{
enum Esc
{
  kEscLeft = 0,
  kEscRight,
  kEscCount
};

struct Pulse
{
  int esc;  // Esc: the motor's ESC that took it
  double width_us;
  uint64_t end;  // cycle of its falling edge
};

class EscLines
{
 public:
  // `on_pulse` hears of each pulse as it ends.
  EscLines(BoardClock& clock, bool swapped, std::function<void(const Pulse&)> on_pulse);
  EscLines(const EscLines&) = delete;
  EscLines& operator=(const EscLines&) = delete;

  const PulseMeter& esc(Esc e) const
  {
    return meters_[e];
  }
  // Pulses completed since the last call.
  void takePulses(std::vector<Pulse>& out);
  // A reset cuts the pulse in progress.
  void afterReset();

 private:
  struct Tap
  {
    EscLines* self;
    Esc esc;
  };
  static void onPin(avr_irq_t* irq, uint32_t value, void* param);

  BoardClock& clock_;
  std::function<void(const Pulse&)> on_pulse_;
  std::array<PulseMeter, kEscCount> meters_;
  std::array<uint16_t, kEscCount> ddr_{};  // data-space address of the pin's DDR register, by ESC
  std::array<uint8_t, kEscCount> bit_{};
  std::array<Tap, kEscCount> taps_;
  std::vector<Pulse> pulses_;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_ESC_LINES_H
