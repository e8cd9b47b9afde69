// The rig's incremental encoders as the board's pins see them: an angle of the
// model becomes an x4 count and the levels of channels A and B, and a motion
// between two model states becomes edges spread over the time it takes.
//
// Conventions (those of firmware/include/zv_firmware/rig_config.h):
//  - count = round(direction * (angle - angle_at_power_up) * counts_per_rev / 2 pi),
//    so a board powered up with the rig where the firmware assumes it reads
//    the model's angle to within half a count;
//  - A leads B for a rising count: the levels (A, B) run 00, 10, 11, 01, 00 as
//    the count goes up, so every edge changes one channel only;
//  - times are cycles of the board's 16 MHz clock.
#ifndef ZV_SIM_HIL_QUADRATURE_DRIVE_H
#define ZV_SIM_HIL_QUADRATURE_DRIVE_H

#include <cstdint>
#include <vector>

#include <zv_firmware/rig_config.h>

namespace zv_sim
{
namespace hil
{
struct EncoderEdge
{
  uint64_t cycle;
  uint8_t a, b;  // levels after the edge
};

class QuadratureDrive
{
 public:
  // Closest two edges of one encoder, in cycles: a motion faster than that
  // (far beyond the rig's) has its edges queued rather than bunched.
  static const uint64_t kMinEdgeSpacing = 16;

  explicit QuadratureDrive(const zv_firmware::config::EncoderAxis& axis);

  // The encoder's count at this angle, rad.
  int64_t countAt(double angle) const;
  // Levels of A and B at a count.
  static void levels(int64_t count, uint8_t& a, uint8_t& b);

  // Places the encoder at an angle without edges (power-up).
  void place(double angle);
  // Moves it linearly from its last angle to `angle` between cycles t0 and
  // t1 and appends the edges on the way, each at the time the motion crosses
  // it, in order. Edges closer than kMinEdgeSpacing are pushed apart.
  void moveTo(double angle, uint64_t t0, uint64_t t1, std::vector<EncoderEdge>& out);

  // Count after the last edge handed out.
  int64_t count() const
  {
    return count_;
  }

 private:
  double position(double angle) const;  // count as a real number

  double scale_;  // counts per rad, signed by the direction
  double zero_;   // angle at count 0, rad
  double last_position_ = 0;
  int64_t count_ = 0;
  uint64_t last_edge_ = 0;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_QUADRATURE_DRIVE_H
