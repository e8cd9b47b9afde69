#include "zv_ros_driver/rig_link.h"

#include <cmath>

namespace zv_ros_driver
{
constexpr std::chrono::milliseconds RigLink::kHeartbeatStale;
constexpr std::chrono::milliseconds RigLink::kHeartbeatGap;
constexpr std::chrono::milliseconds RigLink::kArmRepeat;
constexpr size_t RigLink::kBacklogFrames;
constexpr std::chrono::milliseconds RigLink::kBacklogContinues;
constexpr std::chrono::milliseconds RigLink::kBacklogSettle;
constexpr std::chrono::milliseconds RigLink::kStallMargin;
constexpr std::chrono::milliseconds RigLink::kStallSettle;

float linearizeThrottle(float fraction, double expo, double start)
{
  const float c = sanitizeThrottle(fraction);
  if (c <= 0.0f || c >= 1.0f)
  {
    return c;  // off stays off (not the start threshold); full stays full
  }
  // The positive root of e*x^2 + (1 - e)*x - c = 0, written so that e = 0
  // needs no special case and loses no precision: x = 2c / ((1 - e) + sqrt(...)).
  const double b = 1.0 - expo;
  const double x = 2.0 * c / (b + std::sqrt(b * b + 4.0 * expo * c));
  const double u = start + (1.0 - start) * x;
  return sanitizeThrottle(static_cast<float>(u));
}

void RigLink::linkUp(Time, Actions&)
{
  parser_.reset();
  stale_left_ = 0;
  have_read_ = false;
  status_.heard = false;
  fresh_heartbeat_ = false;
  confirmed_armed_ = false;
  disarm_pending_ = arm_after_disarm_ = false;
  status_.arm_requested = settings_.auto_arm;
}

void RigLink::linkDown(Time, Actions& out)
{
  // A pulled cable cancels the user's arm request: the rig stays disarmed
  // after it is back until armed again (or by ~auto_arm).
  if (status_.arm_requested && !settings_.auto_arm)
  {
    endRequest(ArmEnd::kLinkLost);
    out.push_back(Action{Action::kWarnLinkLost, {}, {}, false, 0, ArmEnd::kLinkLost});
  }
  status_.arm_requested = false;
  status_.heard = false;
  forgetRig(out);
}

void RigLink::noteEvent(Time now)
{
  // Once the rig was heard, events come at least every command timeout (its
  // frames, commands, the watchdog's ticks): a longer gap is a stall of this
  // process, and commands queued before it must not reach the motors.
  if (status_.heard && have_event_ && now - last_event_ > settings_.command_timeout + kStallMargin)
  {
    stalled_ = true;
    stall_seen_ = now;
    stall_unread_ = true;
  }
  have_event_ = true;
  last_event_ = now;
}

void RigLink::received(const uint8_t* data, size_t n, Time now, Actions& out)
{
  noteEvent(now);
  // The first read since a stall was noticed, be it by a command or the
  // watchdog's tick that ran before it.
  const bool after_stall = stall_unread_;
  stall_unread_ = false;
  if (after_stall && have_read_ && frame_rate_ > 0.0)
  {
    // The rig went on sending while this process stood still, and the device
    // hands those frames over in order, the last of them as late as the
    // machine's load makes it (a pty refills its reader from a kernel worker):
    // the first this many from here on are old, however they come. Frames the
    // line lost meanwhile make it drop as many fresh ones, no more.
    const double gap = std::chrono::duration<double>(now - last_read_).count();
    stale_left_ = static_cast<size_t>(std::ceil(gap * frame_rate_));
  }
  have_read_ = true;
  last_read_ = now;
  frames_.clear();
  parser_.feed(data, n, frames_);
  status_.parser = parser_.counters();
  if (frames_.empty())
  {
    return;
  }
  if (!status_.heard)
  {
    // The firmware is running: its bootloader no longer owns the line. The
    // watchdog runs from here, so zeros flow until commands come.
    status_.heard = true;
    out.push_back(Action{Action::kEnableWrites, {}, {}, false, 0, ArmEnd::kNone});
    watchdog_deadline_ = now + settings_.command_timeout;
  }

  size_t encoders = 0;
  for (const Frame& frame : frames_)
  {
    encoders += frame.kind == kEncoderFrame || frame.kind == kEncoderRatesFrame;
  }
  // A read this full holds old samples (the driver or the machine stalled),
  // and more may still wait in the device (a pty hands over 4 KiB at a time):
  // even its newest frame may be a second old. None is published; the first
  // read that is no backlog again brings fresh ones.
  // Its last reads may hold only a few frames, and they are just as old: one
  // that follows a backlog read at once, and any within kBacklogSettle of the
  // last full one (those do not extend it: fresh frames may be among them).
  // The first read since a stall of this process holds old frames, however
  // few: taken before the stall (the process stopped between taking the bytes
  // and handing them here), or the start of its backlog.
  const bool full = encoders > kBacklogFrames;
  const bool rest = encoders > 0 && have_backlog_read_ &&
                    (now - last_backlog_read_ < kBacklogContinues || now - last_full_backlog_read_ < kBacklogSettle);
  const bool first_after_stall = encoders > 0 && after_stall;
  const bool backlog = full || rest || first_after_stall;
  if (full)
  {
    last_full_backlog_read_ = now;
  }
  if (full || first_after_stall || (rest && now - last_backlog_read_ < kBacklogContinues))
  {
    have_backlog_read_ = true;
    last_backlog_read_ = now;
  }
  measureRate(encoders, backlog || after_stall || stale_left_ > 0, now);
  size_t seen = 0, stale = 0;
  for (const Frame& frame : frames_)
  {
    EncoderAngles angles;
    uint8_t hb = 0;
    if (decodeEncoderAngles(frame, angles))
    {
      ++seen;
      const bool counted_old = stale_left_ > 0;
      stale_left_ -= counted_old ? 1 : 0;
      status_.have_encoder = true;
      status_.last_encoder = now;
      if (!std::isfinite(angles.roll) || !std::isfinite(angles.pitch) || !std::isfinite(angles.yaw))
      {
        // No encoder reads NaN or infinity; passed on, such a value would stick
        // in the controller's integrators for good.
        ++status_.nonfinite_dropped;
        out.push_back(Action{Action::kWarnNonFiniteAngles, {}, angles, false, 0, ArmEnd::kNone});
        continue;
      }
      if (backlog || counted_old)
      {
        ++stale;
        continue;
      }
      out.push_back(Action{Action::kPublishState, {}, angles, false, 0, ArmEnd::kNone});
      ++status_.states_published;
      if (stalled_ && now - stall_seen_ >= kStallSettle)
      {
        stalled_ = false;  // commands from here on answer this state or later
      }
    }
    else if (decodeHeartbeat(frame, hb))
    {
      onHeartbeat(hb, now, out);
    }
    // Host-bound kinds echoed back (throttle, arm) carry nothing for us.
  }
  if (stale > 0)
  {
    status_.backlog_dropped += stale;
    out.push_back(Action{Action::kWarnBacklog, {}, {}, false, encoders, ArmEnd::kNone});
  }
}

void RigLink::measureRate(size_t encoders, bool old, Time now)
{
  if (old || !have_rate_window_)
  {
    have_rate_window_ = true;  // a window holds fresh reads only
    rate_since_ = now;
    rate_frames_ = 0;
    return;
  }
  rate_frames_ += encoders;
  const double elapsed = std::chrono::duration<double>(now - rate_since_).count();
  if (elapsed >= 1.0)
  {
    frame_rate_ = rate_frames_ / elapsed;
    rate_since_ = now;
    rate_frames_ = 0;
  }
}

void RigLink::onHeartbeat(uint8_t hb, Time now, Actions& out)
{
  const bool armed = (hb & kHeartbeatArmed) != 0;
  const bool was_armed = fresh_heartbeat_ && (status_.heartbeat & kHeartbeatArmed) != 0;
  if (armed)
  {
    // An ARM 1 after the last disarm and a heartbeat saying armed: settled.
    disarm_pending_ = disarm_pending_ && !arm_after_disarm_;
  }
  // Armed, then disarmed with no disarm of ours on its way: the board reset
  // (brown-out, watchdog, hang). It comes back with power-up angles taken
  // wherever the body was, so flying on after a confirmed arming is the
  // user's call.
  const bool broke = was_armed && !armed && !disarm_pending_;
  const bool reset = broke && confirmed_armed_ && status_.arm_requested;
  if (!armed)
  {
    disarm_pending_ = arm_after_disarm_ = false;
  }
  // The rig counts rejected frames modulo 64. A board that reset (or may have:
  // after a gap) restarts at 0, so its count only sets a new starting point,
  // as does the first heartbeat of a link.
  const bool after_gap = fresh_heartbeat_ && now - status_.last_heartbeat >= kHeartbeatGap;
  if (fresh_heartbeat_ && !broke && !after_gap)
  {
    status_.rig_rejected +=
        static_cast<uint8_t>(heartbeatRejectedCount(hb) - heartbeatRejectedCount(status_.heartbeat)) %
        kHeartbeatRejectedModulo;
  }
  fresh_heartbeat_ = true;
  status_.have_heartbeat = true;
  status_.heartbeat = hb;
  status_.last_heartbeat = now;

  if (reset)
  {
    confirmed_armed_ = false;
    if (!settings_.auto_arm)
    {
      endRequest(ArmEnd::kRigReset);
    }
    out.push_back(Action{Action::kWarnRigDisarmedItself, {}, {}, settings_.auto_arm, 0,
                         settings_.auto_arm ? ArmEnd::kNone : ArmEnd::kRigReset});
  }
  else if (armed && status_.arm_requested)
  {
    confirmed_armed_ = true;
  }
  publishRigState(armed, (hb & kHeartbeatThrottleTimeout) != 0, out);
  reconcileArm(now, out);
}

void RigLink::reconcileArm(Time now, Actions& out)
{
  // Only a heartbeat shows the firmware running and what it believes; ARM
  // frames are repeated until it agrees.
  if (!fresh_heartbeat_ || now - last_arm_sent_ < kArmRepeat)
  {
    return;
  }
  const bool armed = (status_.heartbeat & kHeartbeatArmed) != 0;
  if (status_.arm_requested && !armed)
  {
    out.push_back(Action{Action::kWrite, {encodeArm(true)}, {}, false, 0, ArmEnd::kNone});
    arm_after_disarm_ = disarm_pending_;
    last_arm_sent_ = now;
  }
  else if (!status_.arm_requested && armed)
  {
    sendDisarm(now, out);
  }
}

void RigLink::sendDisarm(Time now, Actions& out)
{
  out.push_back(
      Action{Action::kWriteFirst, {encodeThrottle(0.0f, 0.0f), encodeArm(false)}, {}, false, 0, ArmEnd::kNone});
  disarm_pending_ = true;
  arm_after_disarm_ = false;
  last_arm_sent_ = now;
}

void RigLink::requestArm(bool arm, Time now, Actions& out)
{
  status_.arm_requested = arm;
  status_.arm_end = ArmEnd::kNone;
  confirmed_armed_ = false;
  if (!status_.heard)
  {
    return;  // nothing may be written yet; the rig starts disarmed
  }
  if (arm)
  {
    last_arm_sent_ = Time();
    reconcileArm(now, out);  // at once if a fresh heartbeat says disarmed
  }
  else
  {
    sendDisarm(now, out);
  }
}

void RigLink::command(float left, float right, Time now, Actions& out)
{
  noteEvent(now);
  if (!status_.heard)
  {
    return;
  }
  if (stalled_)
  {
    // Queued before the driver stalled: it answers a state long gone.
    ++status_.stall_commands_dropped;
    left = right = 0.0f;
  }
  // The panel sends raw throttles on purpose: nothing out of [0, 1] or NaN may
  // reach the motors. Without an arm request the motors get zeros, whatever
  // the rig believes.
  if (!status_.arm_requested)
  {
    left = right = 0.0f;
  }
  writeThrottle(linearizeThrottle(left, settings_.thrust_expo, settings_.throttle_start),
                linearizeThrottle(right, settings_.thrust_expo, settings_.throttle_start), out);
  watchdog_deadline_ = now + settings_.command_timeout;
}

void RigLink::tick(Time now, Actions& out)
{
  noteEvent(now);
  if (status_.heard && now >= watchdog_deadline_)
  {
    // Commands stopped: zeros now and every timeout until they resume.
    writeThrottle(0.0f, 0.0f, out);
    watchdog_deadline_ = now + settings_.command_timeout;
  }
  if (fresh_heartbeat_ && now - status_.last_heartbeat >= kHeartbeatStale)
  {
    // A rig that went silent may have lost power or rebooted: arming it again
    // is the user's call, as after a pulled cable.
    const bool cancel = status_.arm_requested && !settings_.auto_arm;
    if (cancel)
    {
      endRequest(ArmEnd::kRigSilent);
      status_.arm_requested = false;
    }
    out.push_back(Action{Action::kWarnHeartbeatLost, {}, {}, cancel, 0, cancel ? ArmEnd::kRigSilent : ArmEnd::kNone});
    forgetRig(out);
  }
}

RigLink::Time RigLink::nextDeadline() const
{
  Time next = Time::max();
  if (status_.heard && watchdog_deadline_ < next)
  {
    next = watchdog_deadline_;
  }
  if (fresh_heartbeat_ && status_.last_heartbeat + kHeartbeatStale < next)
  {
    next = status_.last_heartbeat + kHeartbeatStale;
  }
  return next;
}

void RigLink::endRequest(ArmEnd why)
{
  status_.arm_requested = false;
  status_.arm_end = why;
  confirmed_armed_ = false;
}

void RigLink::forgetRig(Actions& out)
{
  fresh_heartbeat_ = false;
  confirmed_armed_ = false;
  disarm_pending_ = arm_after_disarm_ = false;
  publishRigState(false, false, out);
}

void RigLink::publishRigState(bool armed, bool cut, Actions& out)
{
  if (armed != status_.armed)
  {
    status_.armed = armed;
    out.push_back(Action{Action::kPublishArmed, {}, {}, armed, 0, ArmEnd::kNone});
  }
  if (cut != status_.motors_cut)
  {
    status_.motors_cut = cut;
    out.push_back(Action{Action::kPublishMotorsCut, {}, {}, cut, 0, ArmEnd::kNone});
  }
}

void RigLink::writeThrottle(float left, float right, Actions& out)
{
  out.push_back(Action{Action::kWriteThrottle, {encodeThrottle(left, right)}, {}, false, 0, ArmEnd::kNone});
}

}  // namespace zv_ros_driver
