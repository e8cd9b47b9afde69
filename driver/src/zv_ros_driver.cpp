#include "zv_ros_driver/zv_ros_driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <diagnostic_updater/diagnostic_updater.h>
#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

#include "zv_ros_driver/frame_codec.h"
#include "zv_ros_driver/serial_transport.h"

namespace zv_ros_driver
{
namespace
{
typedef std::chrono::steady_clock Clock;

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

}  // namespace

// Threads: ROS callbacks (commands, watchdog, diagnostics) run on the spinning
// main thread; reads, writes and reconnects run on the transport's I/O thread,
// which parses frames and publishes states itself (ros::Publisher is
// thread-safe). The two share only the statistics below, under stats_mutex_.
class ZvROSDriver::Impl
{
 public:
  Impl();
  ~Impl();

 private:
  void commandCallback(const zv_msgs::Command::ConstPtr& msg);
  void watchdogTick();
  void onOpen();
  void onFailure(const std::string& reason, bool was_up);
  void onData(const uint8_t* data, size_t n);
  void diagnose(diagnostic_updater::DiagnosticStatusWrapper& status);

  ros::NodeHandle nh_;
  ros::NodeHandle pnh_{"~"};
  std::string port_;
  int baud_ = 115200;
  double command_timeout_ = 0.25;
  double stale_encoder_ = 1.0;

  ros::Publisher state_pub_;
  ros::Subscriber command_sub_;
  ros::WallTimer watchdog_timer_;
  ros::WallTimer diagnostics_timer_;
  diagnostic_updater::Updater updater_;

  // Main thread only.
  Clock::time_point last_command_;
  Clock::time_point last_zero_sent_;
  bool have_command_ = false;

  // I/O thread only.
  FrameParser parser_;
  std::vector<Frame> frames_;
  bool failure_logged_ = false;

  struct Stats
  {
    uint64_t states_published = 0;
    uint64_t nonfinite_dropped = 0;
    FrameParser::Counters parser;
    bool have_encoder = false;
    Clock::time_point last_encoder;
    bool have_heartbeat = false;
    uint8_t heartbeat = 0;
    Clock::time_point last_heartbeat;
    std::string last_failure;
  };
  std::mutex stats_mutex_;
  Stats stats_;

  std::unique_ptr<SerialTransport> transport_;
};

ZvROSDriver::Impl::Impl() : updater_(nh_, pnh_)
{
  pnh_.param<std::string>("port", port_, "/dev/ttyUSB0");
  pnh_.param("baud", baud_, 115200);
  pnh_.param("command_timeout", command_timeout_, 0.25);
  pnh_.param("stale_encoder_timeout", stale_encoder_, 1.0);
  if (baud_ <= 0)
  {
    ROS_ERROR("parameter ~baud is %d: using 115200; set a positive baud rate", baud_);
    baud_ = 115200;
  }
  if (!(command_timeout_ > 0.0) || !std::isfinite(command_timeout_))
  {
    // Without a finite positive timeout the motors would keep a stale command.
    ROS_ERROR("parameter ~command_timeout is %g: using 0.25 s; set a positive number of seconds", command_timeout_);
    command_timeout_ = 0.25;
  }

  state_pub_ = nh_.advertise<zv_msgs::State>("/zv_state", 5);
  // Commands are small and frequent: without TCP_NODELAY the controller's
  // socket may hold one back waiting for the ACK of the previous one.
  command_sub_ = nh_.subscribe("/zv_command", 5, &Impl::commandCallback, this, ros::TransportHints().tcpNoDelay());

  updater_.setHardwareID(port_);
  updater_.add("Serial link", this, &Impl::diagnose);
  diagnostics_timer_ =
      nh_.createWallTimer(ros::WallDuration(0.5), [this](const ros::WallTimerEvent&) { updater_.update(); });

  const double tick = std::max(0.01, command_timeout_ / 4.0);
  watchdog_timer_ =
      nh_.createWallTimer(ros::WallDuration(tick), [this](const ros::WallTimerEvent&) { watchdogTick(); });

  SerialTransport::Options options;
  options.port = port_;
  options.baud = static_cast<unsigned>(baud_);
  // The firmware boots disarmed and forgets its state with the link.
  options.greeting = encodeArm(true);
  SerialTransport::Callbacks callbacks;
  callbacks.on_open = [this] { onOpen(); };
  callbacks.on_failure = [this](const std::string& reason, bool was_up) { onFailure(reason, was_up); };
  callbacks.on_data = [this](const uint8_t* data, size_t n) { onData(data, n); };
  transport_.reset(new SerialTransport(options, callbacks));
  ROS_INFO("zv_ros_driver: opening %s at %d baud (command timeout %.3f s)", port_.c_str(), baud_, command_timeout_);
  transport_->start();
}

ZvROSDriver::Impl::~Impl()
{
  command_sub_.shutdown();
  watchdog_timer_.stop();
  diagnostics_timer_.stop();
  // Leave the rig with its motors off and disarmed before the port closes.
  transport_->stop({encodeThrottle(0.0f, 0.0f), encodeArm(false)}, std::chrono::milliseconds(500));
}

void ZvROSDriver::Impl::commandCallback(const zv_msgs::Command::ConstPtr& msg)
{
  // The panel sends raw throttles on purpose: nothing out of [0, 1] or NaN may
  // reach the motors.
  transport_->send(encodeThrottle(sanitizeThrottle(msg->left_motor), sanitizeThrottle(msg->right_motor)));
  last_command_ = Clock::now();
  have_command_ = true;
}

void ZvROSDriver::Impl::watchdogTick()
{
  if (!transport_->isUp())
  {
    return;
  }
  const bool commands_stopped = !have_command_ || secondsSince(last_command_) >= command_timeout_;
  if (commands_stopped && secondsSince(last_zero_sent_) >= command_timeout_)
  {
    transport_->send(encodeThrottle(0.0f, 0.0f));
    last_zero_sent_ = Clock::now();
  }
}

void ZvROSDriver::Impl::onOpen()
{
  parser_.reset();
  if (failure_logged_)
  {
    ROS_INFO("serial port %s is back: link up, publishing /zv_state again", port_.c_str());
  }
  else
  {
    ROS_INFO("serial port %s open: link up", port_.c_str());
  }
  failure_logged_ = false;
}

void ZvROSDriver::Impl::onFailure(const std::string& reason, bool was_up)
{
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.last_failure = reason;
  }
  if (failure_logged_)
  {
    return;  // retries stay quiet until the link is back
  }
  failure_logged_ = true;
  ROS_ERROR("serial port %s %s: %s; retrying every second (check the cable and the ~port parameter)", port_.c_str(),
            was_up ? "lost" : "unavailable", reason.c_str());
}

void ZvROSDriver::Impl::onData(const uint8_t* data, size_t n)
{
  frames_.clear();
  parser_.feed(data, n, frames_);
  const Clock::time_point now = Clock::now();
  uint64_t published = 0, nonfinite = 0;
  bool encoder = false, heartbeat = false;
  uint8_t status = 0;
  for (const Frame& frame : frames_)
  {
    EncoderAngles angles;
    if (decodeEncoderAngles(frame, angles))
    {
      encoder = true;
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
      zv_msgs::State state;
      state.roll = angles.roll;
      state.pitch = angles.pitch;
      state.yaw = angles.yaw;
      state_pub_.publish(state);
      ++published;
    }
    else if (decodeHeartbeat(frame, status))
    {
      heartbeat = true;
    }
    // Host-bound kinds echoed back (throttle, arm) carry nothing for us.
  }
  std::lock_guard<std::mutex> lock(stats_mutex_);
  stats_.states_published += published;
  stats_.nonfinite_dropped += nonfinite;
  stats_.parser = parser_.counters();
  if (encoder)
  {
    stats_.have_encoder = true;
    stats_.last_encoder = now;
  }
  if (heartbeat)
  {
    stats_.have_heartbeat = true;
    stats_.heartbeat = status;
    stats_.last_heartbeat = now;
  }
}

void ZvROSDriver::Impl::diagnose(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  Stats s;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    s = stats_;
  }
  const bool up = transport_->isUp();
  const double since_encoder = s.have_encoder ? secondsSince(s.last_encoder) : -1.0;
  if (!up)
  {
    status.summaryf(diagnostic_msgs::DiagnosticStatus::ERROR, "link down: %s", s.last_failure.c_str());
  }
  else if (!s.have_encoder || since_encoder > stale_encoder_)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, no recent encoder frames");
  }
  else if (s.have_heartbeat && (s.heartbeat & kHeartbeatThrottleTimeout))
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, rig cut its motors (throttle frames stopped)");
  }
  else
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, "link up");
  }
  status.add("Port", port_);
  status.add("Link", up ? "up" : "down");
  status.add("Frames received", s.parser.frames_accepted);
  status.add("States published", s.states_published);
  status.add("Encoder frames dropped (non-finite angle)", s.nonfinite_dropped);
  status.add("Frames sent", transport_->buffersWritten());
  status.add("Frames dropped (device not keeping up)", transport_->buffersDropped());
  status.add("Frames rejected by check", s.parser.rejected_check);
  status.add("Frames rejected by kind", s.parser.rejected_kind);
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
