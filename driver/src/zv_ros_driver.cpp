#include "zv_ros_driver/zv_ros_driver.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <diagnostic_updater/diagnostic_updater.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_srvs/SetBool.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

#include "zv_protocol/frame_codec.h"
#include "zv_ros_driver/serial_transport.h"

namespace zv_ros_driver
{
namespace
{
typedef std::chrono::steady_clock Clock;

// With 0.2 s the zeros reach the wire within 250 ms of the last command even
// when this machine stalls a thread for 10-20 ms.
const double kDefaultCommandTimeout = 0.2;
// Longer is taken for a typo (1e10 would overflow the timer). Tests that want
// the firmware's own 0.5 s cut-off to act alone use tens of seconds.
const double kMaxCommandTimeout = 60.0;
// A rig whose last heartbeat is older than this is taken as gone.
const Clock::duration kHeartbeatStale = std::chrono::seconds(1);
// Least spacing of ARM frames repeated at heartbeats (which come at 2-10 Hz).
const Clock::duration kArmRepeat = std::chrono::milliseconds(100);
// More encoder frames than this in one read is a backlog: 50 ms of a 200 Hz
// rig. A USB adapter's latency timer bunches at most 16 ms (4 frames), and a
// thread stalled on this machine adds 5-11 ms.
const size_t kBacklogFrames = 10;
// How long the last words at shutdown may take to leave.
const std::chrono::milliseconds kDrainTimeout(500);

double secondsSince(Clock::time_point t)
{
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string heartbeatText(uint8_t status)
{
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", status);
  std::string text = hex;
  text += (status & kHeartbeatArmed) ? " armed" : " disarmed";
  if (status & kHeartbeatThrottleTimeout)
  {
    text += ", motors cut (throttle frames stopped)";
  }
  return text;
}

const char* yesNo(bool b)
{
  return b ? "yes" : "no";
}

}  // namespace

// Threads: the link logic (arming handshake, watchdog, heartbeat and frame
// handling) runs on the transport's I/O thread, which also publishes states and
// the rig's armed and motors-cut state (ros::Publisher is thread-safe). The ROS
// callbacks on the spinning thread post their work to it. The two share only
// the statistics below, under stats_mutex_, and the atomics.
class ZvROSDriver::Impl
{
 public:
  Impl();
  ~Impl();

 private:
  // ROS thread.
  void commandCallback(const zv_msgs::Command::ConstPtr& msg);
  bool armCallback(std_srvs::SetBool::Request& req, std_srvs::SetBool::Response& res);
  void diagnose(diagnostic_updater::DiagnosticStatusWrapper& status);

  // I/O thread.
  void onOpen(const std::string& low_latency);
  void onFailure(const std::string& reason, bool was_up);
  void onData(const uint8_t* data, size_t n);
  void onHeartbeat(uint8_t status, Clock::time_point now);
  void onCommand(float left, float right);
  void requestArm(bool arm);
  void reconcileArm(Clock::time_point now);
  void sendDisarm(Clock::time_point now);
  void armWatchdog();
  void watchdogExpired();
  void heartbeatExpired();
  void forgetRig();
  void publishRigState(bool armed, bool cut);

  ros::NodeHandle nh_;
  ros::NodeHandle pnh_{"~"};
  std::string port_;
  int baud_ = 115200;
  double command_timeout_ = kDefaultCommandTimeout;
  double stale_encoder_ = 1.0;
  bool auto_arm_ = false;

  ros::Publisher state_pub_;
  ros::Publisher armed_pub_;
  ros::Publisher cut_pub_;
  ros::Subscriber command_sub_;
  ros::ServiceServer arm_service_;
  ros::WallTimer diagnostics_timer_;
  diagnostic_updater::Updater updater_;

  std::atomic<uint64_t> commands_received_{0};
  // Written on the I/O thread; diagnostics read them too.
  std::atomic<bool> arm_requested_{false};
  std::atomic<bool> published_armed_{false};
  std::atomic<bool> published_cut_{false};

  // ROS thread: counts seen by earlier diagnostics, for the rates.
  struct RateSample
  {
    Clock::time_point t;
    uint64_t states;
    uint64_t commands;
  };
  std::deque<RateSample> rate_samples_;

  // I/O thread only.
  FrameParser parser_;
  std::vector<Frame> frames_;
  bool failure_logged_ = false;
  bool closing_ = false;
  // The last heartbeat, while fresh (none since the link opened or for 1 s: false).
  bool have_heartbeat_ = false;
  uint8_t heartbeat_ = 0;
  Clock::time_point last_heartbeat_;
  Clock::time_point last_arm_sent_;
  Clock::time_point last_command_;

  struct Stats
  {
    uint64_t states_published = 0;
    uint64_t nonfinite_dropped = 0;
    uint64_t backlog_dropped = 0;
    uint64_t rig_rejected = 0;
    FrameParser::Counters parser;
    bool have_encoder = false;
    Clock::time_point last_encoder;
    bool have_heartbeat = false;
    uint8_t heartbeat = 0;
    Clock::time_point last_heartbeat;
    std::string low_latency = "unknown (not opened yet)";
    std::string last_failure;
  };
  std::mutex stats_mutex_;
  Stats stats_;

  std::unique_ptr<SerialTransport> transport_;
  // On the transport's I/O service, so declared after it (destroyed first).
  std::unique_ptr<boost::asio::steady_timer> watchdog_timer_;
  std::unique_ptr<boost::asio::steady_timer> heartbeat_timer_;
};

ZvROSDriver::Impl::Impl() : updater_(nh_, pnh_)
{
  pnh_.param<std::string>("port", port_, "/dev/ttyUSB0");
  pnh_.param("baud", baud_, 115200);
  pnh_.param("command_timeout", command_timeout_, kDefaultCommandTimeout);
  pnh_.param("stale_encoder_timeout", stale_encoder_, 1.0);
  pnh_.param("auto_arm", auto_arm_, false);
  if (baud_ <= 0)
  {
    ROS_ERROR("parameter ~baud is %d: using 115200; set a positive baud rate", baud_);
    baud_ = 115200;
  }
  if (!(command_timeout_ > 0.0 && command_timeout_ <= kMaxCommandTimeout))
  {
    // Without a short finite timeout the motors would keep a stale command.
    ROS_ERROR("parameter ~command_timeout is %g: using %g s; set a number of seconds above 0 and at most %g",
              command_timeout_, kDefaultCommandTimeout, kMaxCommandTimeout);
    command_timeout_ = kDefaultCommandTimeout;
  }

  state_pub_ = nh_.advertise<zv_msgs::State>("/zv_state", 5);
  armed_pub_ = nh_.advertise<std_msgs::Bool>("/zv_armed", 1, true);
  cut_pub_ = nh_.advertise<std_msgs::Bool>("/zv_motors_cut", 1, true);
  std_msgs::Bool no;
  no.data = false;
  armed_pub_.publish(no);
  cut_pub_.publish(no);
  // Commands are small and frequent: without TCP_NODELAY the controller's
  // socket may hold one back waiting for the ACK of the previous one.
  command_sub_ = nh_.subscribe("/zv_command", 5, &Impl::commandCallback, this, ros::TransportHints().tcpNoDelay());
  arm_service_ = pnh_.advertiseService("arm", &Impl::armCallback, this);

  updater_.setHardwareID(port_);
  updater_.add("Serial link", this, &Impl::diagnose);
  diagnostics_timer_ =
      nh_.createWallTimer(ros::WallDuration(0.5), [this](const ros::WallTimerEvent&) { updater_.update(); });

  SerialTransport::Options options;
  options.port = port_;
  options.baud = static_cast<unsigned>(baud_);
  SerialTransport::Callbacks callbacks;
  callbacks.on_open = [this](const std::string& low_latency) { onOpen(low_latency); };
  callbacks.on_failure = [this](const std::string& reason, bool was_up) { onFailure(reason, was_up); };
  callbacks.on_data = [this](const uint8_t* data, size_t n) { onData(data, n); };
  transport_.reset(new SerialTransport(options, callbacks));
  watchdog_timer_.reset(new boost::asio::steady_timer(transport_->io()));
  heartbeat_timer_.reset(new boost::asio::steady_timer(transport_->io()));
  ROS_INFO("zv_ros_driver: opening %s at %d baud (command timeout %.3f s, %s)", port_.c_str(), baud_, command_timeout_,
           auto_arm_ ? "arms by itself (~auto_arm)" : "arms when asked through ~arm");
  transport_->start();
}

ZvROSDriver::Impl::~Impl()
{
  command_sub_.shutdown();
  arm_service_.shutdown();
  diagnostics_timer_.stop();
  // The I/O thread ends once nothing is pending: no timer may re-arm from now on.
  transport_->post(
      [this]
      {
        closing_ = true;
        watchdog_timer_->cancel();
        heartbeat_timer_->cancel();
      });
  // Leave the rig with its motors off and disarmed before the port closes.
  transport_->stop({encodeThrottle(0.0f, 0.0f), encodeArm(false)}, kDrainTimeout);
}

void ZvROSDriver::Impl::commandCallback(const zv_msgs::Command::ConstPtr& msg)
{
  ++commands_received_;
  const float left = msg->left_motor;
  const float right = msg->right_motor;
  transport_->post([this, left, right] { onCommand(left, right); });
}

bool ZvROSDriver::Impl::armCallback(std_srvs::SetBool::Request& req, std_srvs::SetBool::Response& res)
{
  const bool arm = req.data;
  if (!transport_->isUp())
  {
    std::string failure;
    {
      std::lock_guard<std::mutex> lock(stats_mutex_);
      failure = stats_.last_failure;
    }
    res.success = false;
    res.message = std::string("cannot ") + (arm ? "arm" : "disarm") + ": the link to the rig on " + port_ +
                  " is down (" + (failure.empty() ? "not opened yet" : failure) +
                  "); the rig's firmware holds its motors off without throttle frames";
    return true;
  }
  const bool heard = transport_->writesEnabled();
  transport_->post([this, arm] { requestArm(arm); });
  res.success = true;
  if (arm)
  {
    res.message = heard ? "arming requested: ARM is repeated until the rig's heartbeat reports it armed (/zv_armed)"
                        : "arming requested: ARM is sent once the rig's heartbeat shows its firmware running";
  }
  else
  {
    res.message = heard ? "disarming: zero throttles and ARM 0 sent"
                        : "disarmed: nothing heard from the rig since the port opened, and it starts disarmed";
  }
  return true;
}

void ZvROSDriver::Impl::onOpen(const std::string& low_latency)
{
  parser_.reset();
  have_heartbeat_ = false;
  arm_requested_ = auto_arm_;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.low_latency = low_latency;
  }
  if (low_latency != "on")
  {
    ROS_WARN_ONCE("serial port %s: low latency %s; received frames may come in bunches", port_.c_str(),
                  low_latency.c_str());
  }
  ROS_INFO("serial port %s %s: link up, waiting for the rig's first frame before sending anything", port_.c_str(),
           failure_logged_ ? "is back" : "open");
  failure_logged_ = false;
}

void ZvROSDriver::Impl::onFailure(const std::string& reason, bool was_up)
{
  if (was_up)
  {
    // A pulled cable cancels the user's arm request: the rig stays disarmed
    // after it is back until armed again (or by ~auto_arm).
    if (arm_requested_ && !auto_arm_)
    {
      ROS_WARN("arm request cancelled: the link to the rig was lost; call ~arm again once it is back");
    }
    arm_requested_ = false;
    watchdog_timer_->cancel();
    forgetRig();
  }
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.last_failure = reason;
  }
  if (failure_logged_)
  {
    return;  // retries stay quiet until the link is back
  }
  failure_logged_ = true;
  ROS_ERROR("serial port %s %s: %s; retrying every second", port_.c_str(), was_up ? "lost" : "unavailable",
            reason.c_str());
}

void ZvROSDriver::Impl::onData(const uint8_t* data, size_t n)
{
  frames_.clear();
  parser_.feed(data, n, frames_);
  const Clock::time_point now = Clock::now();
  if (!frames_.empty() && !transport_->writesEnabled())
  {
    // The firmware is running: its bootloader no longer owns the line.
    transport_->enableWrites();
    armWatchdog();
  }

  size_t encoders = 0;
  for (const Frame& frame : frames_)
  {
    encoders += frame.kind == kEncoderFrame || frame.kind == kEncoderRatesFrame;
  }
  // A read this full holds old samples (the driver or the machine stalled):
  // only the newest one still describes the rig.
  const bool backlog = encoders > kBacklogFrames;
  uint64_t published = 0, nonfinite = 0, stale = 0;
  size_t seen = 0;
  bool encoder = false;
  for (const Frame& frame : frames_)
  {
    EncoderAngles angles;
    uint8_t status = 0;
    if (decodeEncoderAngles(frame, angles))
    {
      encoder = true;
      ++seen;
      if (!std::isfinite(angles.roll) || !std::isfinite(angles.pitch) || !std::isfinite(angles.yaw))
      {
        // No encoder reads NaN or infinity; passed on, such a value would stick in
        // the controller's integrators for good.
        ++nonfinite;
        ROS_WARN_THROTTLE(5.0,
                          "encoder frame from %s with a non-finite angle (roll %g, pitch %g, yaw %g) dropped: "
                          "check the rig's encoders",
                          port_.c_str(), angles.roll, angles.pitch, angles.yaw);
        continue;
      }
      if (backlog && seen < encoders)
      {
        ++stale;
        continue;
      }
      zv_msgs::State state;
      state.roll = angles.roll;
      state.pitch = angles.pitch;
      state.yaw = angles.yaw;
      state_pub_.publish(state);
      ++published;
    }
    else if (decodeHeartbeat(frame, status))
    {
      onHeartbeat(status, now);
    }
    // Host-bound kinds echoed back (throttle, arm) carry nothing for us.
  }
  if (stale > 0)
  {
    ROS_WARN_THROTTLE(5.0, "%zu encoder frames from %s arrived at once: published only the newest", encoders,
                      port_.c_str());
  }
  std::lock_guard<std::mutex> lock(stats_mutex_);
  stats_.states_published += published;
  stats_.nonfinite_dropped += nonfinite;
  stats_.backlog_dropped += stale;
  stats_.parser = parser_.counters();
  if (encoder)
  {
    stats_.have_encoder = true;
    stats_.last_encoder = now;
  }
}

void ZvROSDriver::Impl::onHeartbeat(uint8_t status, Clock::time_point now)
{
  // The rig counts rejected frames modulo 64; the first heartbeat of a link
  // only sets where its count stands.
  uint64_t rejected = 0;
  if (have_heartbeat_)
  {
    rejected = static_cast<uint8_t>(heartbeatRejectedCount(status) - heartbeatRejectedCount(heartbeat_)) %
               kHeartbeatRejectedModulo;
  }
  have_heartbeat_ = true;
  heartbeat_ = status;
  last_heartbeat_ = now;
  if (!closing_)
  {
    heartbeat_timer_->expires_from_now(kHeartbeatStale);
    heartbeat_timer_->async_wait(
        [this](const boost::system::error_code& ec)
        {
          if (!ec)
          {
            heartbeatExpired();
          }
        });
  }
  publishRigState((status & kHeartbeatArmed) != 0, (status & kHeartbeatThrottleTimeout) != 0);
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.rig_rejected += rejected;
    stats_.have_heartbeat = true;
    stats_.heartbeat = status;
    stats_.last_heartbeat = now;
  }
  reconcileArm(now);
}

void ZvROSDriver::Impl::heartbeatExpired()
{
  if (!have_heartbeat_ || Clock::now() - last_heartbeat_ < kHeartbeatStale)
  {
    return;  // a heartbeat came while this expiry waited to run
  }
  ROS_WARN("no heartbeat from the rig on %s for %.1f s: taking it as disarmed%s", port_.c_str(),
           std::chrono::duration<double>(kHeartbeatStale).count(),
           arm_requested_ && !auto_arm_ ? "; arm request cancelled, call ~arm again once it is back" : "");
  // A rig that went silent may have lost power or rebooted: arming it again is
  // the user's call, as after a pulled cable.
  if (!auto_arm_)
  {
    arm_requested_ = false;
  }
  forgetRig();
}

void ZvROSDriver::Impl::forgetRig()
{
  have_heartbeat_ = false;
  heartbeat_timer_->cancel();
  publishRigState(false, false);
}

void ZvROSDriver::Impl::publishRigState(bool armed, bool cut)
{
  if (armed != published_armed_)
  {
    ROS_INFO("rig on %s reports itself %s", port_.c_str(), armed ? "armed" : "disarmed");
    std_msgs::Bool msg;
    msg.data = armed;
    armed_pub_.publish(msg);
    published_armed_ = armed;
  }
  if (cut != published_cut_)
  {
    std_msgs::Bool msg;
    msg.data = cut;
    cut_pub_.publish(msg);
    published_cut_ = cut;
  }
}

void ZvROSDriver::Impl::requestArm(bool arm)
{
  arm_requested_ = arm;
  const Clock::time_point now = Clock::now();
  if (arm)
  {
    last_arm_sent_ = Clock::time_point();
    reconcileArm(now);  // at once if a fresh heartbeat says disarmed
  }
  else
  {
    sendDisarm(now);
  }
}

void ZvROSDriver::Impl::reconcileArm(Clock::time_point now)
{
  // Only a heartbeat shows the firmware running and what it believes; ARM
  // frames are repeated until it agrees.
  if (!have_heartbeat_ || now - last_arm_sent_ < kArmRepeat)
  {
    return;
  }
  const bool armed = (heartbeat_ & kHeartbeatArmed) != 0;
  if (arm_requested_ && !armed)
  {
    transport_->write(encodeArm(true), false);
    last_arm_sent_ = now;
  }
  else if (!arm_requested_ && armed)
  {
    sendDisarm(now);
  }
}

void ZvROSDriver::Impl::sendDisarm(Clock::time_point now)
{
  transport_->writeFirst({encodeThrottle(0.0f, 0.0f), encodeArm(false)});
  last_arm_sent_ = now;
}

void ZvROSDriver::Impl::onCommand(float left, float right)
{
  // The panel sends raw throttles on purpose: nothing out of [0, 1] or NaN may
  // reach the motors. Without an arm request the motors get zeros, whatever
  // the rig believes.
  if (!arm_requested_)
  {
    left = right = 0.0f;
  }
  transport_->write(encodeThrottle(sanitizeThrottle(left), sanitizeThrottle(right)), true);
  last_command_ = Clock::now();
  armWatchdog();
}

void ZvROSDriver::Impl::armWatchdog()
{
  if (closing_)
  {
    return;
  }
  watchdog_timer_->expires_from_now(
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(command_timeout_)));
  watchdog_timer_->async_wait(
      [this](const boost::system::error_code& ec)
      {
        if (!ec)
        {
          watchdogExpired();
        }
      });
}

void ZvROSDriver::Impl::watchdogExpired()
{
  if (secondsSince(last_command_) < command_timeout_ || !transport_->writesEnabled())
  {
    return;  // a command came while this expiry waited to run, or the link closed
  }
  // Commands stopped: zeros now and every timeout until they resume.
  transport_->write(encodeThrottle(0.0f, 0.0f), true);
  armWatchdog();
}

void ZvROSDriver::Impl::diagnose(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  Stats s;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    s = stats_;
  }
  const Clock::time_point now = Clock::now();
  const uint64_t commands = commands_received_;
  rate_samples_.push_back(RateSample{now, s.states_published, commands});
  while (rate_samples_.size() > 2 && now - rate_samples_[1].t >= std::chrono::seconds(1))
  {
    rate_samples_.pop_front();
  }
  const RateSample& first = rate_samples_.front();
  const double window = std::chrono::duration<double>(now - first.t).count();
  const double states_rate = window > 0.0 ? (s.states_published - first.states) / window : 0.0;
  const double commands_rate = window > 0.0 ? (commands - first.commands) / window : 0.0;

  const bool up = transport_->isUp();
  const bool heard = transport_->writesEnabled();
  const bool armed = published_armed_;
  const bool cut = published_cut_;
  const double since_encoder = s.have_encoder ? secondsSince(s.last_encoder) : -1.0;
  if (!up)
  {
    status.summaryf(diagnostic_msgs::DiagnosticStatus::ERROR, "link down: %s", s.last_failure.c_str());
  }
  else if (!heard)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, nothing heard from the rig yet");
  }
  else if (!s.have_encoder || since_encoder > stale_encoder_)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, no recent encoder frames");
  }
  else if (cut)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, rig cut its motors (throttle frames stopped)");
  }
  else
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, armed ? "link up, armed" : "link up, disarmed");
  }
  status.add("Port", port_);
  status.add("Link", up ? "up" : "down");
  status.add("Armed", yesNo(armed));
  status.add("Motors cut", yesNo(cut));
  status.add("Arm requested", yesNo(arm_requested_));
  status.add("Rig heard since the port opened", yesNo(up && heard));
  status.addf("States per second", "%.1f", states_rate);
  status.addf("Commands per second", "%.1f", commands_rate);
  status.add("Low latency", s.low_latency);
  status.add("Frames received", s.parser.frames_accepted);
  status.add("States published", s.states_published);
  status.add("Encoder frames dropped (backlog)", s.backlog_dropped);
  status.add("Encoder frames dropped (non-finite angle)", s.nonfinite_dropped);
  status.add("Frames sent", transport_->buffersWritten());
  status.add("Frames dropped (device not keeping up)", transport_->buffersDropped());
  status.add("Frames rejected by check", s.parser.rejected_check);
  status.add("Frames rejected by kind", s.parser.rejected_kind);
  status.add("Frames rejected by the rig", s.rig_rejected);
  status.add("Bytes skipped while resynchronising", s.parser.bytes_skipped);
  if (s.have_encoder)
    status.addf("Seconds since last encoder frame", "%.3f", since_encoder);
  else
    status.add("Seconds since last encoder frame", "never");
  status.add("Rig heartbeat status", s.have_heartbeat ? heartbeatText(s.heartbeat) : std::string("none received"));
  if (s.have_heartbeat)
    status.addf("Seconds since last heartbeat", "%.3f", secondsSince(s.last_heartbeat));
  if (!s.last_failure.empty())
    status.add("Last link failure", s.last_failure);
}

ZvROSDriver::ZvROSDriver() : impl_(new Impl) {}

ZvROSDriver::~ZvROSDriver() = default;

}  // namespace zv_ros_driver
