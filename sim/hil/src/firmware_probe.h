// Measures the firmware on the simulated board, in cycles: the longest
// interrupt handler (from the vector's entry to its reti), the longest
// main-loop pass (between two writes to GPIOR0, with the cycles the CPU slept
// left out), and the time from the firmware taking the last byte of a
// THROTTLE frame (its receive interrupt) to the end of the first ESC pulse
// that carries the new width. The frames are told by the host's line, which
// knows where each ends (expectThrottle); this probe parses nothing.
#ifndef ZV_SIM_HIL_FIRMWARE_PROBE_H
#define ZV_SIM_HIL_FIRMWARE_PROBE_H

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "board_clock.h"
#include "esc_lines.h"

struct avr_irq_t;

namespace zv_sim
{
namespace hil
{
struct FirmwareFigures
{
  uint64_t isr_max_cycles = 0;
  int isr_max_vector = -1;
  std::vector<uint64_t> isr_max_by_vector;  // indexed by vector number
  uint64_t loop_max_cycles = 0;             // awake cycles of the longest main-loop pass, interrupts included
  uint64_t loop_own_max_cycles = 0;         // the same pass without the cycles its interrupts took
  uint64_t loop_passes = 0;
  std::vector<double> throttle_to_pulse_us;
};

class FirmwareProbe
{
 public:
  FirmwareProbe(BoardClock& clock, const EscLines& escs);
  FirmwareProbe(const FirmwareProbe&) = delete;
  FirmwareProbe& operator=(const FirmwareProbe&) = delete;

  // Host byte `number` ends a THROTTLE frame with these values.
  void expectThrottle(uint64_t number, float left, float right);
  // The firmware's receive interrupt took host byte `number`.
  void byteTaken(uint64_t number);
  // An ESC pulse ended.
  void pulse(const Pulse& p);
  void slept(uint64_t cycles)
  {
    slept_cycles_ += cycles;
  }
  // After the MCU's reset: handlers and passes in progress do not count.
  void afterReset();

  const FirmwareFigures& figures() const
  {
    return figures_;
  }

 private:
  struct Tap
  {
    FirmwareProbe* self;
    int vector;
  };
  struct Expected
  {
    uint64_t number;
    double width_us[kEscCount];
  };
  static void onVector(avr_irq_t* irq, uint32_t value, void* param);
  static void onGpior0(avr_irq_t* irq, uint32_t value, void* param);

  BoardClock& clock_;
  const EscLines& escs_;
  FirmwareFigures figures_;
  std::array<Tap, 64> taps_;
  std::vector<uint64_t> vector_entry_;
  uint64_t isr_cycles_ = 0;  // total, for the main-loop pass without interrupts
  uint64_t slept_cycles_ = 0;
  bool pass_started_ = false;
  uint64_t pass_start_ = 0, pass_slept_ = 0, pass_isr_ = 0;
  std::deque<Expected> expected_;
  bool pending_[kEscCount] = {false, false};
  double pending_width_us_[kEscCount] = {0, 0};
  uint64_t pending_since_[kEscCount] = {0, 0};
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_FIRMWARE_PROBE_H
