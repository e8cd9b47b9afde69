// The simulated board in the loop: the firmware image on the simulated
// ATmega2560, the rig model of sim/ on its pins and a pseudo-terminal on its
// UART0, stepped together at 1 kHz of simulated time and paced to the wall
// clock. No ROS: what tests and benchmarks watch comes out through a listener.
//
// Each step of 1 ms: the ESCs' throttles, read from their last pulses, drive
// the model through the coming step (a zero-order hold); the encoders move
// from the model's state at the step's start to the one at its end, each edge
// at the time the motion crosses it; the board runs the firmware through the
// step; then the bytes it sent go to the host, the host's bytes go onto the
// receive line, and the loop waits for the wall clock to catch up.
//
// Opening the port resets the board, as DTR does on the Mega: its bootloader
// then holds the line for `bootloader_time` (host bytes dropped, nothing
// sent, no ESC pulses) before the firmware starts from reset.
#ifndef ZV_SIM_HIL_HIL_RIG_H
#define ZV_SIM_HIL_HIL_RIG_H

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zv_protocol/frame_codec.h>

#include "simulated_board.h"
#include "zv_sim/link_latency_probe.h"
#include "zv_sim/pty_link.h"
#include "zv_sim/rig_model.h"

namespace zv_sim
{
namespace hil
{
struct HilConfig
{
  std::string firmware;                      // path of the AVR ELF
  std::string link = "/tmp/zorvik_sim_tty";  // symlink to the pseudo-terminal
  double bootloader_time = 1.5;              // s the bootloader holds the line after the port opens
  uint32_t baud = 115200;                    // speed of the bytes on the receive line
  BoardWiring wiring;                        // faults wired in (tests only)
};

class HilListener
{
 public:
  virtual ~HilListener() = default;
  // An ESC pulse ended.
  virtual void pulse(const Pulse& pulse)
  {
    (void)pulse;
  }
  // The board sent an encoder frame with these angles; `truth` holds the
  // model's state when its first byte left UART0 (the firmware sampled its
  // counts shortly before), at `sim_seconds` since power-up.
  virtual void encoderFrame(const zv_protocol::EncoderAngles& sent, const RigState& truth, double sim_seconds)
  {
    (void)sent;
    (void)truth;
    (void)sim_seconds;
  }
  // The bootloader took the line (true) or handed it to the firmware (false).
  virtual void bootloader(bool active)
  {
    (void)active;
  }
  // Simulated seconds per wall second over about the last second.
  virtual void pace(double pace)
  {
    (void)pace;
  }
  // The board sent a heartbeat with this status byte.
  virtual void heartbeat(uint8_t status, double sim_seconds)
  {
    (void)status;
    (void)sim_seconds;
  }
  // A frame from the host crossed the line; `delivered` when it reached the
  // board's receive line (not while the board is held in reset or not reading).
  virtual void hostFrame(const zv_protocol::Frame& frame, bool delivered, double sim_seconds)
  {
    (void)frame;
    (void)delivered;
    (void)sim_seconds;
  }
  // End of each step: the throttles the ESCs gave the motors through it.
  virtual void motors(double left, double right, double sim_seconds)
  {
    (void)left;
    (void)right;
    (void)sim_seconds;
  }
};

class HilRig
{
 public:
  static const uint64_t kStepCycles = kBoardHz / 1000;  // the model's 1 kHz step

  // Throws std::runtime_error naming what could not be set up (image, link).
  HilRig(const RigModel& model, const HilConfig& config, HilListener* listener);

  // One step of 1 ms of simulated time, paced to the wall clock.
  void step();

  // Faults, as a rig on the bench meets them. They act from the next step.
  // The board resets itself (watchdog, brown-out) and is silent for `silence_s`.
  void resetBoard(double silence_s);
  // The USB cable pulled out: the pseudo-terminal and its symlink are gone
  // until replug() makes a new one at the same path (which the host opens
  // as it would a board plugged in again, resetting it through DTR).
  void unplug();
  void replug();
  bool plugged() const
  {
    return link_ != nullptr;
  }
  // Noise on the line: bytes to the host and onto the board's receive line.
  void lineNoise(const std::vector<uint8_t>& to_host, const std::vector<uint8_t>& to_board);
  // The board's end takes nothing from the line for `seconds`; the host's
  // bytes wait in the pseudo-terminal meanwhile.
  void stopReading(double seconds);
  // Whether bytes the board sends now reach a host.
  bool hostConnected() const
  {
    return link_ && link_->hostPresent();
  }

  const RigModel& model() const
  {
    return model_;
  }
  const SimulatedBoard& board() const
  {
    return *board_;
  }
  // Only while plugged().
  const PtyLink& link() const
  {
    return *link_;
  }
  double simSeconds() const;
  double wallSeconds() const;
  // Simulated time lost when the machine stalled the loop for longer than
  // kMaxLag (the loop does not sprint to catch up), s.
  double lostSeconds() const
  {
    return lost_s_;
  }
  // Host bytes dropped while the bootloader held the line.
  uint64_t hostBytesDropped() const
  {
    return dropped_by_bootloader_;
  }
  // Wall seconds from writing an encoder frame to the host to reading the
  // first THROTTLE frame after it, measured as for the emulator.
  const std::vector<double>& latencies() const
  {
    return latency_.latencies();
  }

 private:
  void openLink();
  void forwardOutput(const RigState& from, const RigState& to, uint64_t t0);
  void takeInput();
  void pace(uint64_t t);

  RigModel model_;
  HilConfig config_;
  HilListener* listener_;
  HilListener quiet_;
  std::array<QuadratureDrive, kAxisCount> drives_;
  std::unique_ptr<PtyLink> link_;
  std::unique_ptr<SimulatedBoard> board_;

  uint64_t step_start_ = 0;
  uint64_t reading_from_ = 0;  // cycle from which the board's end reads the line again
  bool host_present_ = false;
  bool in_bootloader_ = false;
  uint64_t dropped_by_bootloader_ = 0;

  std::vector<EncoderEdge> edges_;
  std::vector<uint8_t> out_, in_;
  std::vector<uint64_t> out_cycles_;
  std::vector<Pulse> pulses_;
  // The model's angles at the last bytes the board sent, by byte number.
  std::array<RigState, 32> truth_at_byte_;
  std::array<uint64_t, 32> cycle_at_byte_;
  uint64_t bytes_out_ = 0;
  LinkLatencyProbe latency_;
  std::vector<LinkFrame> frames_;

  std::chrono::steady_clock::time_point wall_start_;
  double wall_anchor_ = 0, sim_anchor_ = 0;  // pacing: wall and sim seconds that correspond
  double lost_s_ = 0;
  double pace_wall_ = 0, pace_sim_ = 0;  // start of the current pace window
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_HIL_RIG_H
