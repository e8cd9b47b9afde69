// The rig's board, an Arduino Mega 2560, simulated cycle by cycle by libsimavr
// with the real firmware image (ELF) on it. This class is the chip: its
// lifecycle, resets and clock. Its parts are wired to it as rig_config.h says:
// the encoder lines on the six external-interrupt pins (encoder_lines.h), the
// two ESCs on OC1A and OC1B (esc_lines.h), the host's serial line on UART0
// (host_uart.h), and a probe that measures the firmware (firmware_probe.h).
// No ROS, no wall clock: simulated time only, in cycles of the 16 MHz clock,
// counted from power-up and running on while the board is held in reset.
#ifndef ZV_SIM_HIL_SIMULATED_BOARD_H
#define ZV_SIM_HIL_SIMULATED_BOARD_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board_clock.h"
#include "encoder_lines.h"
#include "esc_lines.h"
#include "firmware_probe.h"
#include "host_uart.h"
#include "pulse_meter.h"
#include "quadrature_drive.h"

struct avr_t;

namespace zv_sim
{
namespace hil
{
// Faults the harness can wire in, as a miswired rig would have them.
struct BoardWiring
{
  bool esc_swapped = false;             // left ESC signal to the right motor's ESC and back
  bool pitch_encoder_reversed = false;  // pitch encoder's A and B swapped: pitch counts run backwards
};

struct BoardFigures : FirmwareFigures
{
  uint64_t resets_by_host = 0;      // the host opened the port (DTR)
  uint64_t resets_by_firmware = 0;  // watchdog or any reset the board caused itself
  uint64_t uart_bytes_lost = 0;     // reached UART0 while its receiver was off or full
};

class SimulatedBoard
{
 public:
  // Loads the image on a simulated ATmega2560 at 16 MHz, powered up now with
  // the encoders at these counts. Throws std::runtime_error naming the file
  // and the reason when the image cannot be loaded.
  SimulatedBoard(const std::string& elf_path, const std::array<int64_t, kAxisCount>& counts,
                 const BoardWiring& wiring = BoardWiring());
  ~SimulatedBoard();
  SimulatedBoard(const SimulatedBoard&) = delete;
  SimulatedBoard& operator=(const SimulatedBoard&) = delete;

  // Simulated cycles since power-up.
  uint64_t now() const
  {
    return clock_->now();
  }
  // Runs the firmware (or keeps it in reset) up to the cycle `until`.
  void runUntil(uint64_t until);

  enum ResetCause
  {
    kResetByHost,     // DTR: the host opened the port
    kResetByFirmware  // watchdog, brown-out: the board reset itself
  };
  // Resets the MCU now and keeps it in reset for `cycles` (the Mega's
  // bootloader after DTR, or the silence of a board that reset itself); then
  // the firmware starts anew. The host's bytes on their way are lost.
  void resetAndHold(uint64_t cycles, ResetCause cause);
  void holdInReset(uint64_t cycles)
  {
    resetAndHold(cycles, kResetByHost);
  }
  bool inReset() const
  {
    return hold_until_ != 0;
  }
  // False once the CPU crashed or stopped for good (until the next reset).
  bool running() const;

  // Edges of one encoder, in time order, none before now(). While the board
  // is held in reset they apply at once.
  void encoderEdges(Axis axis, const std::vector<EncoderEdge>& edges)
  {
    encoders_->edges(axis, edges, inReset());
  }

  // Bytes from the host onto UART0's receive line, at the line's speed
  // (`baud`, 10 bits a byte); they are numbered from uartBytesGiven().
  void uartSend(const uint8_t* data, size_t n)
  {
    uart_->send(data, n, inReset());
  }
  uint64_t uartBytesGiven() const
  {
    return uart_->bytesGiven();
  }
  void setBaud(uint32_t baud)
  {
    uart_->setBaud(baud);
  }
  // Bytes the firmware sent since the last call, with the cycle each was
  // written to UDR0.
  void takeUartOutput(std::vector<uint8_t>& bytes, std::vector<uint64_t>& cycles)
  {
    uart_->takeOutput(bytes, cycles);
  }
  // Host byte `number` ends a THROTTLE frame with these values: the probe
  // times the ESC pulses it asks for.
  void expectThrottle(uint64_t number, float left, float right)
  {
    probe_->expectThrottle(number, left, right);
  }

  const PulseMeter& esc(Esc e) const
  {
    return escs_->esc(e);
  }
  // Pulses completed since the last call.
  void takePulses(std::vector<Pulse>& out)
  {
    escs_->takePulses(out);
  }

  BoardFigures figures() const;

 private:
  static void onSleep(avr_t* avr, uint64_t cycles);
  static void onReset(avr_t* avr);
  static uint64_t onFence(avr_t* avr, uint64_t when, void* param);

  void resetCore();
  void afterReset();

  avr_t* avr_ = nullptr;
  void (*core_reset_)(avr_t*) = nullptr;
  uint64_t hold_until_ = 0;  // 0: not held
  bool reset_seen_ = false;  // the core reset itself (or was reset) during runUntil
  bool in_reset_call_ = false;
  uint64_t resets_by_host_ = 0, resets_by_firmware_ = 0;

  std::unique_ptr<BoardClock> clock_;
  std::unique_ptr<EncoderLines> encoders_;
  std::unique_ptr<EscLines> escs_;
  std::unique_ptr<FirmwareProbe> probe_;
  std::unique_ptr<HostUart> uart_;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_SIMULATED_BOARD_H
