// UART0, the Mega's USB serial port to the host: 8N1 at config::kBaud,
// received and sent by interrupt through ring buffers. No call blocks.
#ifndef ZV_FIRMWARE_AVR_UART_H
#define ZV_FIRMWARE_AVR_UART_H

#include <stdint.h>

namespace zv_firmware
{
namespace uart
{
// The receive buffer holds 5.5 ms of bytes at full line rate, many times the
// longest main-loop pass; the transmit buffer holds four encoder frames, while
// the line empties one in 1.3 ms of the 5 ms between them.
const uint8_t kRxBufferSize = 64;
const uint8_t kTxBufferSize = 64;

void init();

// Moves up to max received bytes into out; returns how many.
uint8_t read(uint8_t* out, uint8_t max);
bool rxPending();

// Free room in the transmit buffer, in bytes.
uint8_t txRoom();
// Queues all n bytes, or none when they do not fit (a frame is never cut).
bool write(const uint8_t* data, uint8_t n);

}  // namespace uart
}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_AVR_UART_H
