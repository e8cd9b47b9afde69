// The rig's duties on the serial link, free of hardware, heap, exceptions and
// the C++ standard library, so that the ATmega2560 firmware, the host-run
// emulator (sim/) and the host tests run the very same code. The hardware layer
// (or the emulator) feeds it the host's bytes and the clock, asks it which frame
// is due, samples the angles for an encoder frame, and drives the motors with
// motorLeft()/motorRight().
//
// What it decides (protocol/PROTOCOL.md, "Firmware duties"):
//  - boots disarmed with the motors off; ARM 0x01 arms, any other ARM payload
//    disarms; a change of arming zeroes the commanded throttles, so the motors
//    never start on a command from before it;
//  - each THROTTLE value is clamped to [0, 1], NaN as 0;
//  - the motors are cut when no THROTTLE frame arrived for the timeout (and
//    from boot until the first one); heartbeat bit 1 says so;
//  - heartbeat: bit 0 armed, bit 1 cut, bits 2-7 the count of rejected frames
//    (bad check or unknown kind) modulo 64;
//  - encoder frames and heartbeats on a fixed schedule.
//
// Times are microseconds of a uint32_t clock that wraps (every 71.6 min). Only
// differences of times are compared, so the wrap is harmless; the clock must
// never run backwards (a time before the last THROTTLE frame reads as a long
// silence and cuts the motors, the safe side).
#ifndef ZV_FIRMWARE_RIG_CORE_H
#define ZV_FIRMWARE_RIG_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "zv_protocol/wire_codec.h"

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
  // the first encoder frame and heartbeat are due at once. A period or timeout
  // of 0 is taken as 1 us.
  RigCore(const CoreTiming& timing, uint32_t now_us);

  // Bytes from the host, received at now_us; frames act as they complete.
  void receive(const uint8_t* data, size_t n, uint32_t now_us);
  // The host went away (emulator: port closed): a partial frame is dropped.
  void linkLost();
  // Applies the throttle timeout; call at least once per main-loop pass.
  void update(uint32_t now_us);

  bool armed() const
  {
    return armed_;
  }
  // No THROTTLE frame within the timeout (also from boot until the first one).
  bool motorsCut() const
  {
    return motors_cut_;
  }
  uint8_t heartbeatStatus() const;
  // Throttles the motors get now, in [0, 1]: 0 while disarmed or cut.
  float motorLeft() const
  {
    return driving() ? cmd_left_ : 0.0f;
  }
  float motorRight() const
  {
    return driving() ? cmd_right_ : 0.0f;
  }

  // Which frame is due at now_us. When both are, the one due longer; the
  // encoder frame on a tie.
  Due due(uint32_t now_us) const;
  // Microseconds since the frame named by due() fell due; 0 when none is.
  uint32_t usOverdue(uint32_t now_us) const;
  // Microseconds from now_us until the next frame is due; 0 when one is due.
  uint32_t usUntilDue(uint32_t now_us) const;
  // Build the frame into out (room for zv_ros_driver::kMaxFrameLength bytes),
  // advance its schedule and return its length. A frame late by a whole period
  // or more (a stall) restarts its schedule from now_us instead of bursting
  // stale samples; so does a frame built before it was due.
  size_t encoderFrame(float roll, float pitch, float yaw, uint32_t now_us, uint8_t* out);
  size_t heartbeatFrame(uint32_t now_us, uint8_t* out);

  Counters counters() const;

 private:
  // A periodic frame: `anchor_us` is when its last frame fell due.
  struct Schedule
  {
    uint32_t period_us;
    uint32_t anchor_us;

    bool isDue(uint32_t now_us) const
    {
      return now_us - anchor_us >= period_us;
    }
    uint32_t overdue(uint32_t now_us) const
    {
      return isDue(now_us) ? now_us - anchor_us - period_us : 0;
    }
    uint32_t until(uint32_t now_us) const
    {
      return isDue(now_us) ? 0 : period_us - (now_us - anchor_us);
    }
    void advance(uint32_t now_us);
  };

  struct FrameSink;
  void onFrame(const zv_ros_driver::Frame& frame, uint32_t now_us);
  bool driving() const
  {
    return armed_ && !motors_cut_;
  }

  zv_ros_driver::BasicFrameParser<uint32_t> parser_;
  Schedule encoder_;
  Schedule heartbeat_;
  uint32_t throttle_timeout_us_;
  uint32_t last_throttle_us_;
  uint32_t throttle_frames_;
  float cmd_left_;
  float cmd_right_;
  bool armed_;
  bool motors_cut_;
};

}  // namespace zv_firmware

#endif  // ZV_FIRMWARE_RIG_CORE_H
