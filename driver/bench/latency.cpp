// Added latency of the driver: from the last byte of an encoder frame written
// to the pseudo-terminal until the State arrives on "/zv_state" in this
// process. Starts the driver binary itself against a pty; needs a master.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include <ros/ros.h>
#include <zv_msgs/State.h>

#include "../test/pty_rig.h"

using namespace zv_ros_driver;
typedef std::chrono::steady_clock Clock;

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_driver_bench_latency", ros::init_options::AnonymousName);
  ros::NodeHandle nh;
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;

  char dir[] = "/tmp/zv_driver_bench_XXXXXX";
  if (!::mkdtemp(dir))
    return 1;
  const std::string link = std::string(dir) + "/tty";
  PtyRig rig(link);

  std::mutex mutex;
  std::vector<Clock::time_point> sent(count), arrived(count);
  std::vector<bool> got(count, false);
  ros::Subscriber sub = nh.subscribe<zv_msgs::State>("/zv_state", 1000,
                                                     [&](const zv_msgs::State::ConstPtr& s)
                                                     {
                                                       const Clock::time_point now = Clock::now();
                                                       const int i = static_cast<int>(s->roll);
                                                       std::lock_guard<std::mutex> lock(mutex);
                                                       if (i >= 0 && i < count)
                                                       {
                                                         arrived[i] = now;
                                                         got[i] = true;
                                                       }
                                                     });
  ros::AsyncSpinner spinner(1);
  spinner.start();

  const pid_t pid = ::fork();
  if (pid == 0)
  {
    const std::string port = "_port:=" + link;
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);  // keep the table readable; errors still reach stderr
    ::execl(ZV_DRIVER_NODE_PATH, "zv_ros_driver", port.c_str(), "_auto_arm:=true", "__name:=zv_ros_driver_bench",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The driver speaks once it heard the rig: heartbeats until it arms.
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(15.0);
  bool ok = false;
  while (!ok && ros::WallTime::now() < deadline)
  {
    rig.write(encodeHeartbeat(0));
    ok = rig.waitForFrame([](const Frame& f) { return isArm(f, true); }, 0.1);
  }
  while (ok && sub.getNumPublishers() == 0 && ros::WallTime::now() < deadline)
    ros::WallDuration(0.01).sleep();
  ok = ok && sub.getNumPublishers() > 0;
  if (ok)
  {
    // Warm-up frame (not counted), then one frame every 5 ms: a 200 Hz encoder.
    rig.write(encodeEncoder(-1.0f, 0.0f, 0.0f));
    ros::WallDuration(0.2).sleep();
    for (int i = 0; i < count; ++i)
    {
      const std::vector<uint8_t> frame = encodeEncoder(static_cast<float>(i), 0.0f, 0.0f);
      rig.write(frame);
      const Clock::time_point t = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex);
        sent[i] = t;
      }
      rig.pollOnce(0);  // keep the driver's watchdog frames drained
      ros::WallDuration(0.005).sleep();
    }
    ros::WallDuration(0.5).sleep();
  }
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  spinner.stop();
  rig.unplug();
  ::rmdir(dir);
  if (!ok)
  {
    std::fprintf(stderr, "driver did not come up on %s\n", link.c_str());
    return 1;
  }

  std::vector<double> us;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < count; ++i)
      if (got[i])
        us.push_back(std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
  }
  std::sort(us.begin(), us.end());
  auto pct = [&](double p) { return us.empty() ? 0.0 : us[std::min(us.size() - 1, size_t(p * us.size()))]; };
  std::printf("Driver latency, pty write -> State on /zv_state (%d frames at 200 Hz)\n", count);
  std::printf("  %-12s %10s\n", "", "microseconds");
  std::printf("  %-12s %10.0f\n", "p50", pct(0.50));
  std::printf("  %-12s %10.0f\n", "p99", pct(0.99));
  std::printf("  %-12s %10.0f\n", "max", us.empty() ? 0.0 : us.back());
  std::printf("  received %zu of %d states; driver exit status %d\n", us.size(), count,
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return us.size() == static_cast<size_t>(count) ? 0 : 1;
}
