// Safety timings of the driver on the wire of a pseudo-terminal, 20 trials each:
//  - watchdog: from the last command frame the rig reads to the first zero
//    throttles after it, with the default ~command_timeout;
//  - disarm: from the call of ~arm(false) to ARM 0 read by the rig.
// Starts the driver binary itself; needs a master.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_srvs/SetBool.h>
#include <zv_msgs/Command.h>

#include "../test/pty_rig.h"

using namespace zv_ros_driver;
typedef std::chrono::steady_clock Clock;

namespace
{
const int kTrials = 20;

// The rig: reads continuously, stamps every frame as it arrives, follows ARM
// frames and reports its state in a 10 Hz heartbeat.
class Rig
{
 public:
  explicit Rig(const std::string& link) : pty_(link)
  {
    thread_ = std::thread([this] { run(); });
  }
  ~Rig()
  {
    quit_ = true;
    thread_.join();
  }

  std::vector<std::pair<Clock::time_point, Frame>> take()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<Clock::time_point, Frame>> out;
    out.swap(log_);
    return out;
  }

  bool spoke() const
  {
    return spoke_;
  }

 private:
  void run()
  {
    Clock::time_point next_heartbeat = Clock::now();
    while (!quit_)
    {
      if (Clock::now() >= next_heartbeat)
      {
        pty_.write(encodeHeartbeat(armed_ ? kHeartbeatArmed : 0));
        next_heartbeat += std::chrono::milliseconds(100);
      }
      pty_.pollOnce(2);
      std::lock_guard<std::mutex> lock(mutex_);
      for (; pty_.cursor < pty_.frames.size(); ++pty_.cursor)
      {
        const Frame& f = pty_.frames[pty_.cursor];
        bool arm = false;
        if (decodeArm(f, arm))
          armed_ = arm;
        spoke_ = true;
        log_.emplace_back(pty_.arrivals[pty_.cursor], f);
      }
    }
  }

  PtyRig pty_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, Frame>> log_;
  std::atomic<bool> armed_{false}, spoke_{false}, quit_{false};
};

double ms(Clock::duration d)
{
  return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char* what, std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  if (v.empty())
  {
    std::printf("  %-44s %8s %8s   no trial completed\n", what, "-", "-");
    return;
  }
  std::printf("  %-44s %8.1f %8.1f   (%zu trials)\n", what, v[v.size() / 2], v.back(), v.size());
}

bool callArm(bool arm)
{
  std_srvs::SetBool srv;
  srv.request.data = arm;
  return ros::service::call("/zv_ros_driver/arm", srv) && srv.response.success;
}

}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_driver_bench_safety", ros::init_options::AnonymousName);
  ros::NodeHandle nh;
  ros::AsyncSpinner spinner(1);
  spinner.start();

  char dir[] = "/tmp/zv_driver_bench_XXXXXX";
  if (!::mkdtemp(dir))
    return 1;
  const std::string link = std::string(dir) + "/tty";
  std::unique_ptr<Rig> rig(new Rig(link));
  std::atomic<bool> armed{false};
  ros::Subscriber armed_sub =
      nh.subscribe<std_msgs::Bool>("/zv_armed", 10, [&](const std_msgs::Bool::ConstPtr& m) { armed = m->data; });
  ros::Publisher command_pub = nh.advertise<zv_msgs::Command>("/zv_command", 10);

  // The default timeout, whatever an earlier run left on this master.
  ros::param::del("/zv_ros_driver/command_timeout");
  const pid_t pid = ::fork();
  if (pid == 0)
  {
    const std::string port = "_port:=" + link;
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::execl(ZV_DRIVER_NODE_PATH, "zv_ros_driver", port.c_str(), "_auto_arm:=false", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool ok = waitUntil([&] { return rig->spoke() && command_pub.getNumSubscribers() > 0; }, 15.0) &&
            ros::service::waitForService("/zv_ros_driver/arm", 15000) && callArm(true) &&
            waitUntil([&] { return armed.load(); }, 5.0);

  std::vector<double> watchdog, disarm;
  for (int trial = 0; ok && trial < kTrials; ++trial)
  {
    // 0.3 s of commands at 100 Hz, then silence.
    const float value = 0.3f + 0.01f * static_cast<float>(trial);
    rig->take();
    for (int i = 0; i < 30; ++i)
    {
      zv_msgs::Command c;
      c.left_motor = c.right_motor = value;
      command_pub.publish(c);
      ros::WallDuration(0.01).sleep();
    }
    ros::WallDuration(0.6).sleep();
    Clock::time_point last_command{}, first_zero{};
    for (const auto& e : rig->take())
    {
      if (isThrottle(e.second, value, value))
        last_command = e.first;
      else if (last_command != Clock::time_point() && first_zero == Clock::time_point() &&
               isThrottle(e.second, 0.0f, 0.0f))
        first_zero = e.first;
    }
    if (last_command != Clock::time_point() && first_zero != Clock::time_point())
      watchdog.push_back(ms(first_zero - last_command));
  }
  for (int trial = 0; ok && trial < kTrials; ++trial)
  {
    if (!armed && !(callArm(true) && waitUntil([&] { return armed.load(); }, 5.0)))
      break;
    rig->take();
    const Clock::time_point called = Clock::now();
    callArm(false);
    Clock::time_point disarmed{};
    waitUntil(
        [&]
        {
          for (const auto& e : rig->take())
            if (disarmed == Clock::time_point() && isArm(e.second, false))
              disarmed = e.first;
          return disarmed != Clock::time_point();
        },
        5.0);
    if (disarmed != Clock::time_point())
      disarm.push_back(ms(disarmed - called));
    waitUntil([&] { return !armed; }, 5.0);
  }

  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  spinner.stop();
  rig.reset();
  ::rmdir(dir);
  if (!ok)
  {
    std::fprintf(stderr, "driver did not come up and arm on %s\n", link.c_str());
    return 1;
  }
  std::printf("Driver safety timings on the wire of a pty (default ~command_timeout)\n");
  std::printf("  %-44s %8s %8s\n", "", "p50 ms", "max ms");
  report("watchdog: last command -> zero throttles", watchdog);
  report("disarm: ~arm(false) called -> ARM 0", disarm);
  return watchdog.size() == kTrials && disarm.size() == kTrials ? 0 : 1;
}
