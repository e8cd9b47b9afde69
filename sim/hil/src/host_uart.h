// UART0, the host's serial line: the host's bytes reach the receive line at
// the line's speed (10 bits a byte), the firmware's bytes are taken as it
// writes them to UDR0. Each host byte gets a number in the order it was
// given, so that a listener can tell which one the firmware takes when.
#ifndef ZV_SIM_HIL_HOST_UART_H
#define ZV_SIM_HIL_HOST_UART_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "board_clock.h"

struct avr_irq_t;

namespace zv_sim
{
namespace hil
{
class HostUart
{
 public:
  // `on_taken` hears of each host byte the firmware's receive interrupt takes,
  // by its number.
  HostUart(BoardClock& clock, std::function<void(uint64_t)> on_taken);
  HostUart(const HostUart&) = delete;
  HostUart& operator=(const HostUart&) = delete;

  void setBaud(uint32_t baud);
  // Bytes from the host onto the receive line; those beyond what the line
  // may hold are dropped and counted. They are numbered from bytesGiven().
  void send(const uint8_t* data, size_t n, bool held_in_reset);
  uint64_t bytesGiven() const
  {
    return given_;
  }
  // Bytes the firmware sent since the last call, with the cycle each was
  // written to UDR0.
  void takeOutput(std::vector<uint8_t>& bytes, std::vector<uint64_t>& cycles);
  // Bytes that reached UART0 while its receiver was off or full, or were
  // more than the line holds.
  uint64_t bytesLost() const
  {
    return lost_;
  }
  // The host's bytes on their way are lost (the board was reset through DTR).
  void dropWaiting()
  {
    waiting_.clear();
  }
  // After the MCU's reset: the receive buffer is empty and its timers gone.
  void afterReset();
  // libsimavr's settings for UART0, again after every reset.
  void configure();

 private:
  struct Byte
  {
    uint8_t value;
    uint64_t number;
  };
  static void onOutput(avr_irq_t* irq, uint32_t value, void* param);
  static void onReceiveVector(avr_irq_t* irq, uint32_t value, void* param);
  static uint64_t onByteTime(avr_t* avr, uint64_t when, void* param);
  void schedule();

  BoardClock& clock_;
  std::function<void(uint64_t)> on_taken_;
  avr_irq_t* input_ = nullptr;
  uint64_t byte_cycles_ = 0;
  uint64_t given_ = 0;
  uint64_t lost_ = 0;
  std::deque<Byte> waiting_;   // on the line, not yet at UART0
  std::deque<Byte> received_;  // in UART0's buffer, not yet taken by its receive interrupt
  bool timer_ = false;
  std::vector<uint8_t> out_bytes_;
  std::vector<uint64_t> out_cycles_;
};

}  // namespace hil
}  // namespace zv_sim

#endif  // ZV_SIM_HIL_HOST_UART_H
