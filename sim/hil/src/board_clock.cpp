#include "board_clock.h"

#include <simavr/sim_avr.h>

namespace zv_sim
{
namespace hil
{
uint64_t BoardClock::now() const
{
  return avr_->cycle + held_;
}

uint64_t BoardClock::cyclesUntil(uint64_t cycle) const
{
  const uint64_t at = toAvr(cycle);
  return at > avr_->cycle ? at - avr_->cycle : 1;
}

}  // namespace hil
}  // namespace zv_sim
