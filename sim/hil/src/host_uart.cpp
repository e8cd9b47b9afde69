#include "host_uart.h"

#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_interrupts.h>
#include <simavr/sim_irq.h>

#include <zv_firmware/rig_config.h>

#include "pulse_meter.h"

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

// ATmega2560 addresses in data space.
const uint16_t kUcsr0b = 0xC1;
const uint8_t kRxen0 = 1 << 4;
const int kUsart0RxVector = 25;
// UART0's receive buffer in libsimavr holds 64 bytes; keep clear of its
// overrun (a real one holds 2, but the firmware empties it by interrupt).
const size_t kRxRoom = 48;
// What the host may have on the line ahead of the board: about 0.35 s at
// 115200 baud. The serial driver never gets near; a flood is cut here.
const size_t kMaxWaiting = 4096;
}  // namespace

HostUart::HostUart(BoardClock& clock, std::function<void(uint64_t)> on_taken)
    : clock_(clock), on_taken_(std::move(on_taken))
{
  setBaud(cfg::kBaud);
  avr_t* avr = clock_.avr();
  input_ = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), &HostUart::onOutput, this);
  for (int i = 0; i < avr->interrupts.vector_count; ++i)
  {
    avr_int_vector_t* v = avr->interrupts.vector[i];
    if (v->vector == kUsart0RxVector)
    {
      avr_irq_register_notify(v->irq + AVR_INT_IRQ_RUNNING, &HostUart::onReceiveVector, this);
    }
  }
  configure();
}

// libsimavr's UART prints what the firmware sends as text lines and sleeps on
// the wall clock when the firmware polls it; the bytes are binary frames here
// and the pacing is the caller's.
void HostUart::configure()
{
  uint32_t flags = 0;
  avr_ioctl(clock_.avr(), AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
  flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_STDIO | AVR_UART_FLAG_POLL_SLEEP);
  avr_ioctl(clock_.avr(), AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
}

void HostUart::afterReset()
{
  configure();
  timer_ = false;
  received_.clear();
  schedule();
}

void HostUart::setBaud(uint32_t baud)
{
  byte_cycles_ = kBoardHz * 10 / (baud > 0 ? baud : cfg::kBaud);
}

void HostUart::send(const uint8_t* data, size_t n, bool held_in_reset)
{
  for (size_t i = 0; i < n; ++i)
  {
    const uint64_t number = given_++;
    if (waiting_.size() >= kMaxWaiting)
    {
      ++lost_;
      continue;
    }
    waiting_.push_back(Byte{data[i], number});
  }
  if (!held_in_reset)
  {
    schedule();
  }
}

void HostUart::schedule()
{
  if (timer_ || waiting_.empty())
  {
    return;
  }
  avr_cycle_timer_register(clock_.avr(), byte_cycles_, &HostUart::onByteTime, this);
  timer_ = true;
}

uint64_t HostUart::onByteTime(avr_t* avr, uint64_t when, void* param)
{
  HostUart* self = static_cast<HostUart*>(param);
  if (self->waiting_.empty())
  {
    self->timer_ = false;
    return 0;
  }
  const Byte byte = self->waiting_.front();
  self->waiting_.pop_front();
  const bool receiver_on = (avr->data[kUcsr0b] & kRxen0) != 0;
  if (receiver_on && self->received_.size() < kRxRoom)
  {
    self->received_.push_back(byte);
    avr_raise_irq(self->input_, byte.value);
  }
  else
  {
    ++self->lost_;
  }
  return when + self->byte_cycles_;
}

// The receive interrupt's entry: it takes the oldest byte in the buffer.
void HostUart::onReceiveVector(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  HostUart* self = static_cast<HostUart*>(param);
  if (value == 0 || self->received_.empty())
  {
    return;
  }
  const uint64_t number = self->received_.front().number;
  self->received_.pop_front();
  if (self->on_taken_)
  {
    self->on_taken_(number);
  }
}

void HostUart::onOutput(avr_irq_t* irq, uint32_t value, void* param)
{
  (void)irq;
  HostUart* self = static_cast<HostUart*>(param);
  self->out_bytes_.push_back(static_cast<uint8_t>(value));
  self->out_cycles_.push_back(self->clock_.now());
}

void HostUart::takeOutput(std::vector<uint8_t>& bytes, std::vector<uint64_t>& cycles)
{
  bytes.swap(out_bytes_);
  cycles.swap(out_cycles_);
  out_bytes_.clear();
  out_cycles_.clear();
}

}  // namespace hil
}  // namespace zv_sim
