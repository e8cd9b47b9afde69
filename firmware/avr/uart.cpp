#include "uart.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

#include "zv_firmware/rig_config.h"

namespace zv_firmware
{
namespace uart
{
namespace
{
static_assert((kRxBufferSize & (kRxBufferSize - 1)) == 0 && (kTxBufferSize & (kTxBufferSize - 1)) == 0,
              "ring buffer sizes must be powers of two (indices wrap by mask)");

// Double speed (U2X0): at 16 MHz and 115200 baud the divisor 16 gives
// 117647 baud (+2.1 %), where normal speed could only reach 111111 (-3.5 %).
const uint32_t kUbrr = (F_CPU + 4 * config::kBaud) / (8 * config::kBaud) - 1;
static_assert(kUbrr <= 4095, "config::kBaud too low for UBRR0");
// Actual rate, in units of 0.1 % off the nominal one.
const int32_t kBaudErrorPermille = static_cast<int32_t>((F_CPU / (8 * (kUbrr + 1))) * 1000 / config::kBaud) - 1000;
static_assert(kBaudErrorPermille >= -25 && kBaudErrorPermille <= 25,
              "config::kBaud cannot be reached within 2.5 % from F_CPU with U2X0");

// Single producer, single consumer: each index is written by one side only,
// and a uint8_t index is read and written in one instruction.
volatile uint8_t g_rx[kRxBufferSize];
volatile uint8_t g_rx_head;  // written by the receive interrupt
volatile uint8_t g_rx_tail;  // written by the main loop
volatile uint8_t g_tx[kTxBufferSize];
volatile uint8_t g_tx_head;  // written by the main loop
volatile uint8_t g_tx_tail;  // written by the transmit interrupt
}  // namespace

void init()
{
  // Double speed before the divisor: the hardware does not mind the order, but
  // the simulator (simavr) takes the line's speed from U2X0 when UBRR0 is
  // written and would otherwise run the line at half the speed.
  UCSR0A = _BV(U2X0);
  UBRR0 = static_cast<uint16_t>(kUbrr);
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);  // 8N1
  UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

uint8_t read(uint8_t* out, uint8_t max)
{
  uint8_t tail = g_rx_tail;
  const uint8_t head = g_rx_head;
  uint8_t n = 0;
  while (tail != head && n < max)
  {
    out[n++] = g_rx[tail];
    tail = (tail + 1) & (kRxBufferSize - 1);
  }
  g_rx_tail = tail;
  return n;
}

bool rxPending()
{
  return g_rx_head != g_rx_tail;
}

uint8_t txRoom()
{
  // One slot stays empty so that a full buffer differs from an empty one.
  return (g_tx_tail - g_tx_head - 1) & (kTxBufferSize - 1);
}

bool write(const uint8_t* data, uint8_t n)
{
  if (n > txRoom())
    return false;
  uint8_t head = g_tx_head;
  for (uint8_t i = 0; i < n; ++i)
  {
    g_tx[head] = data[i];
    head = (head + 1) & (kTxBufferSize - 1);
  }
  g_tx_head = head;
  ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
  {
    UCSR0B |= _BV(UDRIE0);
  }
  return true;
}

}  // namespace uart
}  // namespace zv_firmware

using namespace zv_firmware::uart;

ISR(USART0_RX_vect)
{
  const uint8_t byte = UDR0;
  const uint8_t head = g_rx_head;
  const uint8_t next = (head + 1) & (kRxBufferSize - 1);
  if (next == g_rx_tail)
    return;  // dropped: the core sees a broken frame and rejects it
  g_rx[head] = byte;
  g_rx_head = next;
}

ISR(USART0_UDRE_vect)
{
  const uint8_t tail = g_tx_tail;
  if (tail == g_tx_head)
  {
    UCSR0B &= ~_BV(UDRIE0);  // nothing left: stop until write() queues more
    return;
  }
  UDR0 = g_tx[tail];
  g_tx_tail = (tail + 1) & (kTxBufferSize - 1);
}
