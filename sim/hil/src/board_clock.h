// The simulated board's time as each of its parts sees it: cycles of the 16 MHz
// clock since power-up, running on while the MCU is held in reset (libsimavr's
// own count stands still then). The parts of the board share one.
#ifndef ZV_SIM_HIL_BOARD_CLOCK_H
#define ZV_SIM_HIL_BOARD_CLOCK_H

#include <cstdint>

struct avr_t;

namespace zv_sim
{
namespace hil
{
class BoardClock
{
 public:
  explicit BoardClock(avr_t* avr) : avr_(avr) {}

  avr_t* avr() const
  {
    return avr_;
  }
  uint64_t now() const;
  // The core's cycle count at a board cycle (0 for one spent in reset).
  uint64_t toAvr(uint64_t cycle) const
  {
    return cycle > held_ ? cycle - held_ : 0;
  }
  // Cycles from now until `cycle` on the core's count, at least 1: what a
  // cycle timer registered now waits.
  uint64_t cyclesUntil(uint64_t cycle) const;
  // Time passing with the core stopped.
  void pass(uint64_t cycles)
  {
    held_ += cycles;
  }

  // True from the core's reset until the parts have re-wired themselves:
  // the MCU's pins are released, an ESC sees no pulse.
  bool pins_released = false;

 private:
  avr_t* avr_;
  uint64_t held_ = 0;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_BOARD_CLOCK_H
