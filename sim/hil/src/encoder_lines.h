// The three encoders' A and B lines on the board's external-interrupt pins,
// driven push-pull over the firmware's pull-ups, each edge at its own cycle.
// Wired as rig_config.h says, or (fault injection) with the pitch encoder's A
// and B swapped, so that pitch counts run backwards.
#ifndef ZV_SIM_HIL_ENCODER_LINES_H
#define ZV_SIM_HIL_ENCODER_LINES_H

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "board_clock.h"
#include "quadrature_drive.h"

struct avr_irq_t;

namespace zv_sim
{
namespace hil
{
enum Axis
{
  kRoll = 0,
  kPitch,
  kYaw,
  kAxisCount
};

class EncoderLines
{
 public:
  // The lines start at the levels of these counts.
  EncoderLines(BoardClock& clock, const std::array<int64_t, kAxisCount>& counts, bool pitch_reversed);
  EncoderLines(const EncoderLines&) = delete;
  EncoderLines& operator=(const EncoderLines&) = delete;

  // Edges of one encoder, in time order, none before now. While the MCU is
  // held in reset they apply at once (`at_once`).
  void edges(Axis axis, const std::vector<EncoderEdge>& edges, bool at_once);
  // The motion so far is where the encoders are now: queued edges apply at once.
  void settle();
  // After the MCU's reset: its PIN registers were cleared and its timers cancelled.
  void afterReset();

 private:
  struct Tap
  {
    EncoderLines* self;
    Axis axis;
  };
  static uint64_t onTimer(avr_t* avr, uint64_t when, void* param);

  void apply(Axis axis, uint8_t a, uint8_t b);
  void drive(int line);
  void schedule(Axis axis);

  BoardClock& clock_;
  std::array<avr_irq_t*, kAxisCount * 2> pins_{};
  std::array<uint8_t, kAxisCount * 2> levels_{};  // by line: axis * 2 + (B ? 1 : 0)
  std::array<int, kAxisCount * 2> pin_of_line_{};
  std::array<std::deque<EncoderEdge>, kAxisCount> queued_;
  std::array<bool, kAxisCount> timer_{};
  std::array<Tap, kAxisCount> taps_;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_ENCODER_LINES_H
