// The rig's board, an Arduino Mega 2560, simulated cycle by cycle by libsimavr
// with the real firmware image (ELF) on it. Wired as firmware/include/
// zv_firmware/rig_config.h says: UART0 to the host, the encoder channels on
// the six external-interrupt pins, the two ESC signals on OC1A and OC1B.
// No ROS, no wall clock: simulated time only, in cycles of the 16 MHz clock,
// counted from power-up and running on while the board is held in reset.
//
// It also measures the firmware: the longest interrupt handler (from the
// vector's entry to its reti), the longest main-loop pass (between two writes
// to GPIOR0, with the cycles the CPU slept left out), and the time from the
// last byte of a THROTTLE frame taken by the receive interrupt to the end of
// the first ESC pulse that carries the new width.
#ifndef ZV_SIM_HIL_SIMULATED_BOARD_H
#define ZV_SIM_HIL_SIMULATED_BOARD_H

#include <array>
#include <memory>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <zv_protocol/frame_codec.h>

#include "pulse_meter.h"
#include "quadrature_drive.h"

struct avr_t;
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

enum Esc
{
  kEscLeft = 0,
  kEscRight,
  kEscCount
};

struct Pulse
{
  int esc;  // Esc
  double width_us;
  uint64_t end;  // cycle of its falling edge
};

struct BoardFigures
{
  uint64_t isr_max_cycles = 0;
  int isr_max_vector = -1;
  std::vector<uint64_t> isr_max_by_vector;  // indexed by vector number
  uint64_t loop_max_cycles = 0;             // awake cycles of the longest main-loop pass, interrupts included
  uint64_t loop_own_max_cycles = 0;         // the same pass without the cycles its interrupts took
  uint64_t loop_passes = 0;
  uint64_t resets_by_host = 0;      // the host opened the port (DTR)
  uint64_t resets_by_firmware = 0;  // watchdog or any reset the firmware caused
  uint64_t uart_bytes_lost = 0;     // reached UART0 while its receiver was off or full
  std::vector<double> throttle_to_pulse_us;
};

class SimulatedBoard
{
 public:
  // Loads the image on a simulated ATmega2560 at 16 MHz, powered up now with
  // the encoders at these counts. Throws std::runtime_error naming the file
  // and the reason when the image cannot be loaded.
  SimulatedBoard(const std::string& elf_path, const std::array<int64_t, kAxisCount>& counts);
  ~SimulatedBoard();
  SimulatedBoard(const SimulatedBoard&) = delete;
  SimulatedBoard& operator=(const SimulatedBoard&) = delete;

  // Simulated cycles since power-up.
  uint64_t now() const;
  // Runs the firmware (or keeps it in reset) up to the cycle `until`.
  void runUntil(uint64_t until);

  // Resets the MCU now and keeps it in reset for `cycles`, as the Mega's
  // bootloader holds the firmware after DTR; then the firmware starts anew.
  void holdInReset(uint64_t cycles);
  bool inReset() const;
  // False once the CPU crashed or stopped for good (until the next reset).
  bool running() const;

  // Edges of one encoder, in time order, none before now(). While the board
  // is held in reset they apply at once.
  void encoderEdges(Axis axis, const std::vector<EncoderEdge>& edges);

  // Bytes from the host onto UART0's receive line, at the line's speed
  // (`baud`, 10 bits a byte); bytes beyond `max_queued` are dropped and
  // counted.
  void uartSend(const uint8_t* data, size_t n);
  void setBaud(uint32_t baud);
  // Bytes the firmware sent since the last call, with the cycle each was
  // written to UDR0.
  void takeUartOutput(std::vector<uint8_t>& bytes, std::vector<uint64_t>& cycles);

  const PulseMeter& esc(Esc e) const
  {
    return esc_[e];
  }
  // Pulses completed since the last call.
  void takePulses(std::vector<Pulse>& out);

  const BoardFigures& figures() const
  {
    return figures_;
  }

 private:
  static void onPin(avr_irq_t* irq, uint32_t value, void* param);
  static void onUartOut(avr_irq_t* irq, uint32_t value, void* param);
  static void onVector(avr_irq_t* irq, uint32_t value, void* param);
  static void onGpior0(avr_irq_t* irq, uint32_t value, void* param);
  static void onSleep(avr_t* avr, uint64_t cycles);
  static void onReset(avr_t* avr);
  static uint64_t onEncoderTimer(avr_t* avr, uint64_t when, void* param);
  static uint64_t onUartTimer(avr_t* avr, uint64_t when, void* param);
  static uint64_t onFence(avr_t* avr, uint64_t when, void* param);

  struct Taps;

  void wire();
  void resetCore();
  void applySimulatorSettings();
  void afterReset();
  void applyEncoderLevels(Axis axis, uint8_t a, uint8_t b);
  void driveEncoderPin(int index);
  void scheduleEncoder(Axis axis);
  void scheduleUart();
  void byteTaken(uint8_t byte);
  void pulseDone(Esc e);
  uint64_t toAvr(uint64_t cycle) const;

  std::unique_ptr<Taps> taps_;
  avr_t* avr_ = nullptr;
  void (*core_reset_)(avr_t*) = nullptr;
  uint64_t held_cycles_ = 0;  // simulated cycles spent in reset, outside the core's count
  uint64_t hold_until_ = 0;   // 0: not held
  bool reset_seen_ = false;   // the core reset itself (or was reset) during runUntil
  bool in_reset_call_ = false;
  bool resetting_ = false;  // between the core's reset and our afterReset()

  std::array<avr_irq_t*, kAxisCount * 2> encoder_pins_{};
  std::array<uint8_t, kAxisCount * 2> encoder_levels_{};
  std::array<std::deque<EncoderEdge>, kAxisCount> edges_;
  std::array<bool, kAxisCount> encoder_timer_{};

  std::array<PulseMeter, kEscCount> esc_;
  std::array<uint16_t, kEscCount> esc_ddr_{};
  std::array<uint8_t, kEscCount> esc_bit_{};
  std::vector<Pulse> pulses_;

  avr_irq_t* uart_in_ = nullptr;
  std::deque<uint8_t> host_bytes_;
  std::deque<uint8_t> in_uart_;  // handed to UART0, not yet taken by its receive interrupt
  bool uart_timer_ = false;
  uint64_t byte_cycles_ = 0;
  std::vector<uint8_t> out_bytes_;
  std::vector<uint64_t> out_cycles_;

  // Measurement of the firmware.
  BoardFigures figures_;
  std::vector<uint64_t> vector_entry_;
  uint64_t isr_cycles_ = 0;  // total, for the main-loop pass without interrupts
  uint64_t slept_cycles_ = 0;
  bool pass_started_ = false;
  uint64_t pass_start_ = 0, pass_slept_ = 0, pass_isr_ = 0;
  zv_ros_driver::FrameParser taken_parser_;
  std::vector<zv_ros_driver::Frame> frames_;
  bool pending_[kEscCount] = {false, false};
  double pending_width_us_[kEscCount] = {0, 0};
  uint64_t pending_since_[kEscCount] = {0, 0};
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_SIMULATED_BOARD_H
