// The rig's firmware on the Arduino Mega 2560: the portable core (rig_core.h)
// on top of a thin hardware layer. Each pass of the main loop feeds the host's
// bytes to the core, lets it apply its timeout, sends the frames that are due,
// writes the motor outputs, then sleeps until an interrupt has work for it.
//
// Debug marks for the simulated board: GPIOR0 is written at the top of every
// pass and GPIOR1 right before the CPU goes to sleep, so a pass's busy time is
// the span from a GPIOR0 write to the next GPIOR1 (or GPIOR0) write.
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>

#include "clock.h"
#include "encoders.h"
#include "esc.h"
#include "uart.h"
#include "zv_firmware/quadrature.h"
#include "zv_firmware/rig_config.h"
#include "zv_firmware/rig_core.h"
#include "zv_protocol/wire_codec.h"

namespace
{
using namespace zv_firmware;

const uint8_t kMaxFrameLen = zv_ros_driver::kMaxFrameLength;

// A watchdog reset leaves the watchdog running at its shortest period: turn it
// off before the C runtime sets up memory, or the board would reset again.
extern "C" void disableWatchdogEarly() __attribute__((naked, used, section(".init3")));
extern "C" void disableWatchdogEarly()
{
  MCUSR = 0;
  wdt_disable();
}

void sendDueFrames(RigCore& core, uint32_t now)
{
  uint8_t frame[kMaxFrameLen];
  // At most one frame of each kind is due at a time.
  for (uint8_t i = 0; i < 2 && uart::txRoom() >= kMaxFrameLen; ++i)
  {
    size_t n;
    switch (core.due(now))
    {
      case RigCore::kEncoderDue:
      {
        const encoders::Counts c = encoders::sample();
        n = core.encoderFrame(countsToAngle(c.roll, config::kRollEncoder),
                              countsToAngle(c.pitch, config::kPitchEncoder), countsToAngle(c.yaw, config::kYawEncoder),
                              now, frame);
        break;
      }
      case RigCore::kHeartbeatDue:
        n = core.heartbeatFrame(now, frame);
        break;
      default:
        return;
    }
    uart::write(frame, static_cast<uint8_t>(n));
  }
}

void showArmed(bool armed)
{
  static bool shown = false;
  if (armed != shown)
    esc::setLed(armed);
  shown = armed;
}

// Sleeps in idle mode unless something is pending: received bytes, or a due
// frame with room to send it. Checked with interrupts off, and `sei` lets the
// next instruction (the sleep) run before any interrupt, so an interrupt
// arriving after the check still wakes the CPU: no wake-up is lost.
void sleepUntilWork(const RigCore& core)
{
  cli();
  const uint32_t now = clock::micros();
  const uint32_t wait = core.usUntilDue(now);
  const bool tx_room = uart::txRoom() >= kMaxFrameLen;
  if (!uart::rxPending() && (wait >= clock::kMinAheadUs || !tx_room))
  {
    // Without room the transmit interrupt wakes us as the buffer drains.
    if (tx_room)
      clock::wakeAt(now + (wait < clock::kMaxAheadUs ? wait : clock::kMaxAheadUs));
    GPIOR1 = 0;
    sleep_enable();
    sei();
    sleep_cpu();
    sleep_disable();
  }
  sei();
}
}  // namespace

int main()
{
  esc::init();  // first: the ESCs get "off" pulses from the start
  clock::init();
  uart::init();
  encoders::init();
  set_sleep_mode(SLEEP_MODE_IDLE);
  // A hung main loop would leave the motors at their last pulse width; the
  // watchdog resets the board, which boots disarmed with the motors off.
  wdt_enable(WDTO_250MS);
  sei();

  // Static, so that the core is counted in the image's static RAM.
  static RigCore core(defaultTiming(), clock::micros());
  uint8_t pass = 0;
  for (;;)
  {
    GPIOR0 = ++pass;
    wdt_reset();
    const uint32_t now = clock::micros();

    // At most one buffer's worth per pass, so a byte stream cannot hold the
    // loop away from the frames and the motors.
    uint8_t chunk[16];
    uint8_t n;
    for (uint8_t taken = 0; taken < uart::kRxBufferSize && (n = uart::read(chunk, sizeof chunk)) != 0; taken += n)
      core.receive(chunk, n, now);

    core.update(now);
    sendDueFrames(core, now);
    esc::write(core.motorLeft(), core.motorRight());
    showArmed(core.armed());

    sleepUntilWork(core);
  }
}
