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
#include "zv_ros_driver/rig_link.h"
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

// Why an arm request ended without the user's disarm, as the operator reads it.
const char* armEndText(RigLink::ArmEnd end)
{
  switch (end)
  {
    case RigLink::ArmEnd::kLinkLost:
      return "the link to the rig was lost: press ARM to arm again";
    case RigLink::ArmEnd::kRigSilent:
      return "the rig fell silent: press ARM to arm again";
    case RigLink::ArmEnd::kRigReset:
      return "the rig disarmed itself (reset?): press ARM to arm again";
    case RigLink::ArmEnd::kNone:
      break;
  }
  return "";
}

const char* yesNo(bool b)
{
  return b ? "yes" : "no";
}

// A private parameter that must lie in [low, high] (high_open: below high);
// anything else, NaN included, is refused with the default.
double boundedParam(ros::NodeHandle& pnh, const char* key, double fallback, double low, double high, bool high_open,
                    const char* meaning)
{
  double value = fallback;
  pnh.param(key, value, fallback);
  const bool ok = value >= low && (high_open ? value < high : value <= high);
  if (!ok)
  {
    ROS_ERROR("parameter ~%s is %g: using %g; set %s in [%g, %g%s", key, value, fallback, meaning, low, high,
              high_open ? ")" : "]");
    return fallback;
  }
  return value;
}

}  // namespace

// Threads: the link logic (RigLink) runs on the transport's I/O thread, which
// also publishes what it returns (ros::Publisher is thread-safe). The ROS
// callbacks on the spinning thread post their work to it. The two share only
// the status copy below, under status_mutex_, and the transport's atomics.
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
  void onWritten(const std::vector<uint8_t>& bytes);
  // Carries out the link's actions in order; stops at a write that took the
  // link down, so that nothing read before the failure is acted on after it.
  void apply(const RigLink::Actions& actions);
  void logAction(const RigLink::Action& action);
  // After every event: the timer for the link's next deadline, the status copy.
  void settle();

  ros::NodeHandle nh_;
  ros::NodeHandle pnh_{"~"};
  std::string port_;
  int baud_ = 115200;
  double stale_encoder_ = 1.0;

  ros::Publisher state_pub_;
  ros::Publisher armed_pub_;
  ros::Publisher cut_pub_;
  ros::Publisher sent_pub_;
  ros::Subscriber command_sub_;
  ros::ServiceServer arm_service_;
  ros::WallTimer diagnostics_timer_;
  diagnostic_updater::Updater updater_;

  std::atomic<uint64_t> commands_received_{0};

  // ROS thread: counts seen by earlier diagnostics, for the rates.
  struct RateSample
  {
    Clock::time_point t;
    uint64_t states;
    uint64_t commands;
  };
  std::deque<RateSample> rate_samples_;

  // I/O thread only.
  std::unique_ptr<RigLink> link_;
  FrameParser sent_parser_;
  std::vector<Frame> sent_frames_;
  bool failure_logged_ = false;
  bool closing_ = false;

  std::mutex status_mutex_;
  RigLink::Status status_;
  std::string low_latency_ = "unknown (not opened yet)";
  std::string last_failure_;

  std::unique_ptr<SerialTransport> transport_;
  // On the transport's I/O service, so declared after it (destroyed first).
  std::unique_ptr<boost::asio::steady_timer> tick_timer_;
};

ZvROSDriver::Impl::Impl() : updater_(nh_, pnh_)
{
  RigLink::Settings settings;
  double command_timeout = kDefaultCommandTimeout;
  pnh_.param<std::string>("port", port_, "/dev/ttyUSB0");
  pnh_.param("baud", baud_, 115200);
  pnh_.param("command_timeout", command_timeout, kDefaultCommandTimeout);
  pnh_.param("stale_encoder_timeout", stale_encoder_, 1.0);
  pnh_.param("auto_arm", settings.auto_arm, false);
  if (baud_ <= 0)
  {
    ROS_ERROR("parameter ~baud is %d: using 115200; set a positive baud rate", baud_);
    baud_ = 115200;
  }
  if (!(command_timeout > 0.0 && command_timeout <= kMaxCommandTimeout))
  {
    // Without a short finite timeout the motors would keep a stale command.
    ROS_ERROR("parameter ~command_timeout is %g: using %g s; set a number of seconds above 0 and at most %g",
              command_timeout, kDefaultCommandTimeout, kMaxCommandTimeout);
    command_timeout = kDefaultCommandTimeout;
  }
  settings.command_timeout =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(command_timeout));
  settings.thrust_expo =
      boundedParam(pnh_, "thrust_expo", 0.0, 0.0, 1.0, false, "the thrust curve's expo (0 linear, 1 quadratic)");
  settings.throttle_start = boundedParam(pnh_, "throttle_start", 0.0, 0.0, 0.5, true,
                                         "the throttle below which the motors do not turn");
  link_.reset(new RigLink(settings));

  state_pub_ = nh_.advertise<zv_msgs::State>("/zv_state", 5);
  armed_pub_ = nh_.advertise<std_msgs::Bool>("/zv_armed", 1, true);
  cut_pub_ = nh_.advertise<std_msgs::Bool>("/zv_motors_cut", 1, true);
  sent_pub_ = nh_.advertise<zv_msgs::Command>("/zv_throttle_sent", 20);
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
  callbacks.on_data = [this](const uint8_t* data, size_t n)
  {
    RigLink::Actions actions;
    link_->received(data, n, Clock::now(), actions);
    apply(actions);
    settle();
  };
  callbacks.on_written = [this](const std::vector<uint8_t>& bytes) { onWritten(bytes); };
  transport_.reset(new SerialTransport(options, callbacks));
  tick_timer_.reset(new boost::asio::steady_timer(transport_->io()));
  ROS_INFO("zv_ros_driver: opening %s at %d baud (command timeout %.3f s, thrust expo %g, throttle start %g, %s)",
           port_.c_str(), baud_, command_timeout, settings.thrust_expo, settings.throttle_start,
           settings.auto_arm ? "arms by itself (~auto_arm)" : "arms when asked through ~arm");
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
        tick_timer_->cancel();
      });
  // Leave the rig with its motors off and disarmed before the port closes.
  transport_->stop({encodeThrottle(0.0f, 0.0f), encodeArm(false)}, kDrainTimeout);
}

void ZvROSDriver::Impl::commandCallback(const zv_msgs::Command::ConstPtr& msg)
{
  ++commands_received_;
  const float left = msg->left_motor;
  const float right = msg->right_motor;
  transport_->post(
      [this, left, right]
      {
        RigLink::Actions actions;
        link_->command(left, right, Clock::now(), actions);
        apply(actions);
        settle();
      });
}

bool ZvROSDriver::Impl::armCallback(std_srvs::SetBool::Request& req, std_srvs::SetBool::Response& res)
{
  const bool arm = req.data;
  if (!transport_->isUp())
  {
    std::string failure;
    {
      std::lock_guard<std::mutex> lock(status_mutex_);
      failure = last_failure_;
    }
    res.success = false;
    res.message = std::string("cannot ") + (arm ? "arm" : "disarm") + ": the link to the rig on " + port_ +
                  " is down (" + (failure.empty() ? "not opened yet" : failure) +
                  "); the rig's firmware holds its motors off without throttle frames";
    return true;
  }
  const bool heard = transport_->writesEnabled();
  transport_->post(
      [this, arm]
      {
        RigLink::Actions actions;
        link_->requestArm(arm, Clock::now(), actions);
        apply(actions);
        settle();
      });
  // The frames are written later on the I/O thread: the answer says what is
  // known now, and /zv_armed carries the rig's own word when it comes.
  res.success = true;
  if (arm)
  {
    res.message = heard ? "arming requested: ARM is queued at the rig's next heartbeat and repeated until it "
                          "reports itself armed (/zv_armed)"
                        : "arming requested: ARM is queued once the rig's heartbeat shows its firmware running";
  }
  else
  {
    res.message = heard ? "disarm queued: zero throttles then ARM 0, ahead of anything waiting; /zv_armed turns "
                          "false when the rig's heartbeat says disarmed"
                        : "nothing to send: the rig has not spoken since the port opened, and it starts disarmed";
  }
  return true;
}

void ZvROSDriver::Impl::onOpen(const std::string& low_latency)
{
  RigLink::Actions actions;
  link_->linkUp(Clock::now(), actions);
  apply(actions);
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    low_latency_ = low_latency;
  }
  settle();
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
    RigLink::Actions actions;
    link_->linkDown(Clock::now(), actions);
    apply(actions);
  }
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    last_failure_ = reason;
  }
  settle();
  if (failure_logged_)
  {
    return;  // retries stay quiet until the link is back
  }
  failure_logged_ = true;
  ROS_ERROR("serial port %s %s: %s; retrying every second", port_.c_str(), was_up ? "lost" : "unavailable",
            reason.c_str());
}

void ZvROSDriver::Impl::onWritten(const std::vector<uint8_t>& bytes)
{
  // What reached the rig, as it went: after clamping, the thrust curve, the
  // zeros while disarmed and the watchdog's.
  sent_frames_.clear();
  sent_parser_.feed(bytes.data(), bytes.size(), sent_frames_);
  for (const Frame& frame : sent_frames_)
  {
    zv_msgs::Command sent;
    if (decodeThrottle(frame, sent.left_motor, sent.right_motor))
    {
      sent_pub_.publish(sent);
    }
  }
}

void ZvROSDriver::Impl::apply(const RigLink::Actions& actions)
{
  for (const RigLink::Action& action : actions)
  {
    switch (action.kind)
    {
      case RigLink::Action::kEnableWrites:
        transport_->enableWrites();
        break;
      case RigLink::Action::kWrite:
      case RigLink::Action::kWriteThrottle:
        for (const std::vector<uint8_t>& frame : action.frames)
        {
          transport_->write(frame, action.kind == RigLink::Action::kWriteThrottle);
        }
        break;
      case RigLink::Action::kWriteFirst:
        transport_->writeFirst(action.frames);
        break;
      case RigLink::Action::kPublishState:
      {
        zv_msgs::State state;
        state.roll = action.angles.roll;
        state.pitch = action.angles.pitch;
        state.yaw = action.angles.yaw;
        state_pub_.publish(state);
        break;
      }
      case RigLink::Action::kPublishArmed:
      {
        ROS_INFO("rig on %s reports itself %s", port_.c_str(), action.flag ? "armed" : "disarmed");
        std_msgs::Bool msg;
        msg.data = action.flag;
        armed_pub_.publish(msg);
        break;
      }
      case RigLink::Action::kPublishMotorsCut:
      {
        std_msgs::Bool msg;
        msg.data = action.flag;
        cut_pub_.publish(msg);
        break;
      }
      default:
        logAction(action);
        break;
    }
    const bool wrote = action.kind == RigLink::Action::kWrite || action.kind == RigLink::Action::kWriteThrottle ||
                       action.kind == RigLink::Action::kWriteFirst;
    if (wrote && !transport_->isUp())
    {
      return;  // the write failed the link; onFailure has told the link already
    }
  }
}

void ZvROSDriver::Impl::logAction(const RigLink::Action& action)
{
  switch (action.kind)
  {
    case RigLink::Action::kWarnRigDisarmedItself:
      if (action.flag)
        ROS_WARN("rig on %s: the rig disarmed itself (reset?): arming it again (~auto_arm)", port_.c_str());
      else
        ROS_WARN("rig on %s: %s; arm request ended", port_.c_str(), armEndText(RigLink::ArmEnd::kRigReset));
      break;
    case RigLink::Action::kWarnHeartbeatLost:
      ROS_WARN("no heartbeat from the rig on %s for %.1f s: taking it as disarmed%s", port_.c_str(),
               std::chrono::duration<double>(RigLink::kHeartbeatStale).count(),
               action.flag ? "; arm request cancelled, call ~arm again once it is back" : "");
      break;
    case RigLink::Action::kWarnLinkLost:
      ROS_WARN("arm request cancelled: the link to the rig was lost; call ~arm again once it is back");
      break;
    case RigLink::Action::kWarnNonFiniteAngles:
      ROS_WARN_THROTTLE(5.0,
                        "encoder frame from %s with a non-finite angle (roll %g, pitch %g, yaw %g) dropped: "
                        "check the rig's encoders",
                        port_.c_str(), action.angles.roll, action.angles.pitch, action.angles.yaw);
      break;
    case RigLink::Action::kWarnBacklog:
      ROS_WARN_THROTTLE(5.0, "%zu encoder frames from %s are old (a backlog after a stall of the driver or the machine): "
                        "none published; the next fresh one is", action.count, port_.c_str());
      break;
    default:
      break;
  }
}

void ZvROSDriver::Impl::settle()
{
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    status_ = link_->status();
  }
  if (closing_)
  {
    return;
  }
  const RigLink::Time deadline = link_->nextDeadline();
  if (deadline == RigLink::Time::max())
  {
    tick_timer_->cancel();
    return;
  }
  tick_timer_->expires_at(deadline);
  tick_timer_->async_wait(
      [this](const boost::system::error_code& ec)
      {
        if (ec)
        {
          return;  // replaced by a newer deadline, or closing
        }
        RigLink::Actions actions;
        link_->tick(Clock::now(), actions);
        apply(actions);
        settle();
      });
}

void ZvROSDriver::Impl::diagnose(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  RigLink::Status s;
  std::string low_latency, last_failure;
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    s = status_;
    low_latency = low_latency_;
    last_failure = last_failure_;
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
  const double since_encoder = s.have_encoder ? secondsSince(s.last_encoder) : -1.0;
  const bool ended = s.arm_end != RigLink::ArmEnd::kNone && !s.arm_requested;
  if (!up)
  {
    status.summaryf(diagnostic_msgs::DiagnosticStatus::ERROR, "link down: %s", last_failure.c_str());
  }
  else if (!heard)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, nothing heard from the rig yet");
  }
  else if (!s.have_encoder || since_encoder > stale_encoder_)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, no recent encoder frames");
  }
  else if (ended && !s.armed)
  {
    status.summaryf(diagnostic_msgs::DiagnosticStatus::WARN, "link up, disarmed: %s", armEndText(s.arm_end));
  }
  else if (s.motors_cut)
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::WARN, "link up, rig cut its motors (throttle frames stopped)");
  }
  else
  {
    status.summary(diagnostic_msgs::DiagnosticStatus::OK, s.armed ? "link up, armed" : "link up, disarmed");
  }
  status.add("Port", port_);
  status.add("Link", up ? "up" : "down");
  status.add("Armed", yesNo(s.armed));
  status.add("Motors cut", yesNo(s.motors_cut));
  status.add("Arm requested", yesNo(s.arm_requested));
  status.add("Arm request ended", ended ? armEndText(s.arm_end) : "");
  status.add("Rig heard since the port opened", yesNo(up && heard));
  status.addf("States per second", "%.1f", states_rate);
  status.addf("Commands per second", "%.1f", commands_rate);
  status.add("Low latency", low_latency);
  status.add("Frames received", s.parser.frames_accepted);
  status.add("States published", s.states_published);
  status.add("Encoder frames dropped (backlog)", s.backlog_dropped);
  status.add("Encoder frames dropped (non-finite angle)", s.nonfinite_dropped);
  status.add("Commands zeroed after a stall of the driver", s.stall_commands_dropped);
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
  if (!last_failure.empty())
    status.add("Last link failure", last_failure);
}

ZvROSDriver::ZvROSDriver() : impl_(new Impl) {}

ZvROSDriver::~ZvROSDriver() = default;

}  // namespace zv_ros_driver
