// The rig's duties on the serial link (driver/PROTOCOL.md, "Firmware duties"),
// free of hardware, heap, exceptions and the standard library, so that the
// ATmega2560 firmware, the host-run emulator (sim/) and the host tests run the
// very same code. The hardware layer (or the emulator) feeds it the host's
// bytes and the clock, asks it which frame is due, samples the angles for an
// encoder frame, and drives the motors with motorLeft()/motorRight().
//
// Times are microseconds of a uint32_t clock that wraps (every 71.6 min); all
// comparisons are made on differences, so the wrap is harmless.
#ifndef ZV_FIRMWARE_RIG_CORE_H
#define ZV_FIRMWARE_RIG_CORE_H

#include <stddef.h>
#include <stdint.h>

namespace zv_firmware
{
struct CoreTiming
{
  uint32_t encoder_period_us;
  uint32_t heartbeat_period_us;
  uint32_t throttle_timeout_us;
};

// Timing of config::kEncoderPeriodUs, kHeartbeatPeriodUs, kThrottleTimeoutUs.
CoreTiming defaultTiming();

class RigCore
{
 public:
  enum Due : uint8_t
  {
    kNothingDue = 0,
    kEncoderDue,
    kHeartbeatDue,
  };

  struct Counters
  {
    uint32_t frames_accepted;  // well-formed frames from the host, any kind
    uint32_t frames_rejected;  // candidates dropped: bad check or unknown kind
    uint32_t bytes_skipped;    // noise passed over while resynchronising
    uint32_t throttle_frames;  // THROTTLE frames acted on
  };

  // Boots at now_us: disarmed, motors off, throttle timed out (no THROTTLE yet);
  // the first encoder frame and heartbeat are due at once.
  RigCore(const CoreTiming& timing, uint32_t now_us);

  // Bytes from the host, received at now_us; frames act as they complete.
  void receive(const uint8_t* data, size_t n, uint32_t now_us);
  // The host went away (emulator: port closed): a partial frame is dropped.
  void linkLost();
  // Applies the throttle timeout; call at least once per main-loop pass.
  void update(uint32_t now_us);

  bool armed() const;
  bool motorsCut() const;  // no THROTTLE frame within the timeout (also at boot)
  uint8_t heartbeatStatus() const;
  // Throttles the motors get now, in [0, 1]: 0 while disarmed or cut.
  float motorLeft() const;
  float motorRight() const;

  // Which frame is due at now_us; the encoder frame first when both are.
  Due due(uint32_t now_us) const;
  // Microseconds from now_us until the next frame is due; 0 when one is due.
  uint32_t usUntilDue(uint32_t now_us) const;
  // Build the due frame into out (room for the longest frame, 27 bytes),
  // advance its schedule and return its length. A schedule that fell behind
  // by more than a period (a stall) restarts from now_us instead of bursting
  // stale samples.
  size_t encoderFrame(float roll, float pitch, float yaw, uint32_t now_us, uint8_t* out);
  size_t heartbeatFrame(uint32_t now_us, uint8_t* out);

  const Counters& counters() const;

 private:
  // Implementation's choice: a fixed-size parser state, the timers, the
  // commanded throttles and the flags.
};

}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_RIG_CORE_H
