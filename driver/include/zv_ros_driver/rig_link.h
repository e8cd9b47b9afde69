// The driver's link supervisor, free of ROS, I/O and clocks: the arming
// handshake, the command watchdog, heartbeat staleness, the backlog rule and
// the thrust-curve map. The node hands it the time and each event (bytes read,
// command, arm request, link up or down, timer tick) and carries out the
// actions it returns, in order: what to write and what to publish.
//
// Times are steady-clock points; nothing here reads a clock, so tests drive it
// on a fake one. Throttles are fractions in [0, 1].
#ifndef ZV_ROS_DRIVER_RIG_LINK_H
#define ZV_ROS_DRIVER_RIG_LINK_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "zv_protocol/frame_codec.h"

namespace zv_ros_driver
{
// The ESC throttle u that gives the thrust fraction c on the curve
// thrust(u) = (1 - e)*x + e*x^2 with x = (u - s) / (1 - s) for u > s, else 0
// (e: expo in [0, 1], s: start threshold in [0, 0.5)). c is sanitised first
// (NaN as 0, clamped to [0, 1]); 0 stays 0 (motor off) and 1 stays 1. With
// e = s = 0 it is the identity.
float linearizeThrottle(float fraction, double expo, double start);

class RigLink
{
 public:
  typedef std::chrono::steady_clock Clock;
  typedef Clock::time_point Time;

  // A rig whose last heartbeat is older than this is taken as gone.
  static constexpr std::chrono::milliseconds kHeartbeatStale{1000};
  // A heartbeat after a gap this long (two of the firmware's 5 Hz heartbeats
  // missed) may come from a board that reset: its rejected count restarts.
  static constexpr std::chrono::milliseconds kHeartbeatGap{500};
  // Least spacing of ARM frames repeated at heartbeats (which come at 2-10 Hz).
  static constexpr std::chrono::milliseconds kArmRepeat{100};
  // More encoder frames than this in one read is a backlog: 50 ms of a 200 Hz
  // rig. A USB adapter's latency timer bunches at most 16 ms (4 frames), and a
  // thread stalled on this machine adds 5-11 ms.
  static constexpr size_t kBacklogFrames = 10;
  // A read this soon after a backlog read is the rest of that backlog (the
  // device hands it over as fast as it is read; fresh frames come 5 ms apart),
  // however few frames it holds.
  static constexpr std::chrono::milliseconds kBacklogContinues{2};
  // Reads this soon after a read over kBacklogFrames are that backlog's rest
  // too, however long after the read before them: on a loaded machine the
  // device's next piece can come later than kBacklogContinues (the soak saw
  // the last frames of a backlog published 0.6 and 1.3 s old). Ten frames of
  // a 200 Hz rig: the states lost after a stall, which already held the
  // controller up longer than this.
  static constexpr std::chrono::milliseconds kBacklogSettle{50};
  // Without any event for the command timeout plus this, the driver itself was
  // held up (stopped, swapped out): what waits for it now is old.
  static constexpr std::chrono::milliseconds kStallMargin{100};
  // After such a stall, commands wait this long and for a state published
  // after it: the ones queued before the stall arrive within milliseconds.
  static constexpr std::chrono::milliseconds kStallSettle{20};

  struct Settings
  {
    Clock::duration command_timeout = std::chrono::milliseconds(200);
    bool auto_arm = false;
    double thrust_expo = 0.0;
    double throttle_start = 0.0;
  };

  // Why the last arm request ended without the user's disarm.
  enum class ArmEnd
  {
    kNone,
    kLinkLost,
    kRigSilent,
    kRigReset,
  };

  struct Action
  {
    enum Kind
    {
      kEnableWrites,   // the rig was heard: the transport may write from now on
      kWrite,          // queue `frames` behind what waits
      kWriteThrottle,  // queue the throttle frame; it replaces a throttle still waiting
      kWriteFirst,     // drop what waits and queue `frames` first (zero throttles, ARM 0)
      kPublishState,   // `angles`
      kPublishArmed,   // `flag`: the rig's own word (changes only)
      kPublishMotorsCut,
      // For the operator's log; `end` says why an arm request ended, if it did.
      kWarnRigDisarmedItself,
      kWarnHeartbeatLost,
      kWarnLinkLost,
      kWarnNonFiniteAngles,  // `angles`
      kWarnBacklog,          // `count` encoder frames in one read
    };
    Kind kind;
    std::vector<std::vector<uint8_t>> frames;
    EncoderAngles angles;
    bool flag;
    size_t count;
    ArmEnd end;
  };
  typedef std::vector<Action> Actions;

  // What diagnostics show; a copy, taken on the link's thread.
  struct Status
  {
    bool heard = false;  // a valid frame since the link opened
    bool arm_requested = false;
    ArmEnd arm_end = ArmEnd::kNone;
    bool armed = false;  // as published
    bool motors_cut = false;
    bool have_heartbeat = false;  // ever, since start-up
    uint8_t heartbeat = 0;
    Time last_heartbeat;
    bool have_encoder = false;
    Time last_encoder;
    uint64_t states_published = 0;
    uint64_t nonfinite_dropped = 0;
    uint64_t backlog_dropped = 0;
    uint64_t stall_commands_dropped = 0;  // answered with zeros after a stall
    uint64_t rig_rejected = 0;
    uint64_t throttles_sent = 0;
    FrameParser::Counters parser;
  };

  explicit RigLink(const Settings& settings) : settings_(settings) {}

  // Events; each appends what to do to `out`.
  void linkUp(Time now, Actions& out);
  void linkDown(Time now, Actions& out);
  // Everything one read brought.
  void received(const uint8_t* data, size_t n, Time now, Actions& out);
  void command(float left, float right, Time now, Actions& out);
  void requestArm(bool arm, Time now, Actions& out);
  // Timers due by `now`: the watchdog's zeros, heartbeat staleness.
  void tick(Time now, Actions& out);
  // When tick() next has something to do (Time::max(): nothing pending).
  Time nextDeadline() const;

  const Status& status() const
  {
    return status_;
  }
  const Settings& settings() const
  {
    return settings_;
  }

 private:
  void onHeartbeat(uint8_t status, Time now, Actions& out);
  void reconcileArm(Time now, Actions& out);
  void sendDisarm(Time now, Actions& out);
  void endRequest(ArmEnd why);
  void forgetRig(Actions& out);
  void publishRigState(bool armed, bool cut, Actions& out);
  void writeThrottle(float left, float right, Actions& out);
  void noteEvent(Time now);
  // The rig's encoder frames per second, over a second of fresh reads.
  void measureRate(size_t encoders, bool old, Time now);

  Settings settings_;
  Status status_;
  FrameParser parser_;
  std::vector<Frame> frames_;
  // The last heartbeat since the link opened, while fresh.
  bool fresh_heartbeat_ = false;
  // A heartbeat said armed while the current request stood.
  bool confirmed_armed_ = false;
  // A disarm went out that no heartbeat has shown yet, and whether an ARM 1
  // followed it (then an armed heartbeat settles it).
  bool disarm_pending_ = false;
  bool arm_after_disarm_ = false;
  Time last_arm_sent_;
  Time watchdog_deadline_;
  // The last event handled, and whether the driver stalled since a state was
  // last published (then commands are old until one is, after kStallSettle).
  bool have_event_ = false;
  Time last_event_;
  bool stalled_ = false;
  Time stall_seen_;
  bool stall_unread_ = false;  // no read since the last stall was noticed
  bool have_backlog_read_ = false;
  Time last_backlog_read_;
  Time last_full_backlog_read_;  // the last read over kBacklogFrames
  // Encoder frames still to come that the rig sent while the driver stalled.
  size_t stale_left_ = 0;
  bool have_read_ = false;
  Time last_read_;
  double frame_rate_ = 0.0;  // 0: not measured yet
  bool have_rate_window_ = false;
  Time rate_since_;
  size_t rate_frames_ = 0;
};

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_RIG_LINK_H
