// Load generator for the controller benchmark: publishes zv_msgs/State on
// /zv_state at a fixed rate and times the Command that answers each one on
// /zv_command. The node under test answers in order, so the k-th command
// answers the k-th state; that pairing is exact only when nothing was lost.
//
// usage: zv_ta_latency_harness LABEL RATE_HZ SECONDS
// prints: LABEL RATE SENT ANSWERED P50_US P99_US MAX_US ACHIEVED_HZ
#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

std::vector<Clock::time_point> g_received;
std::atomic<std::size_t> g_count(0);

void onCommand(const zv_msgs::Command::ConstPtr& /*msg*/)
{
  const Clock::time_point t = Clock::now();
  const std::size_t k = g_count.load(std::memory_order_relaxed);
  if (k < g_received.size())
  {
    g_received[k] = t;
  }
  g_count.store(k + 1, std::memory_order_release);
}

double percentile(std::vector<double> v, double q)
{
  if (v.empty())
  {
    return 0.0;
  }
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_ta_latency_harness", ros::init_options::AnonymousName);
  if (argc < 4)
  {
    std::fprintf(stderr, "usage: %s LABEL RATE_HZ SECONDS\n", argv[0]);
    return 2;
  }
  const std::string label = argv[1];
  const double rate = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  if (!(rate > 0.0) || !(seconds > 0.0))
  {
    std::fprintf(stderr, "zv_ta_latency_harness: rate %s and duration %s must be positive numbers\n", argv[2], argv[3]);
    return 2;
  }
  const std::size_t n = static_cast<std::size_t>(rate * seconds);
  g_received.assign(n, Clock::time_point());
  std::vector<Clock::time_point> sent(n);

  // Sleeps of tens of microseconds need a fine timer slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  ros::NodeHandle nh;
  ros::Publisher state_pub = nh.advertise<zv_msgs::State>("/zv_state", 100000);
  ros::Subscriber command_sub = nh.subscribe("/zv_command", 100000, onCommand, ros::TransportHints().tcpNoDelay());
  ros::AsyncSpinner spinner(1);
  spinner.start();

  const ros::WallTime give_up = ros::WallTime::now() + ros::WallDuration(20.0);
  while (ros::ok() && (state_pub.getNumSubscribers() == 0 || command_sub.getNumPublishers() == 0))
  {
    if (ros::WallTime::now() > give_up)
    {
      std::fprintf(stderr, "zv_ta_latency_harness: node under test did not connect within 20 s\n");
      return 1;
    }
    ros::WallDuration(0.01).sleep();
  }
  ros::WallDuration(0.3).sleep();  // let both links settle

  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  zv_msgs::State msg;
  for (std::size_t k = 0; k < n && ros::ok(); ++k)
  {
    std::this_thread::sleep_until(next);
    msg.roll = static_cast<float>(k);  // a slowly turning rig, different every time
    msg.pitch = 0.0f;
    msg.yaw = 0.0f;
    sent[k] = Clock::now();
    state_pub.publish(msg);
    next += period;
  }
  const double achieved = static_cast<double>(n) / std::chrono::duration<double>(Clock::now() - start).count();

  // Answers still in flight get a second; beyond that they count as lost.
  const Clock::time_point wait_until = Clock::now() + std::chrono::seconds(1);
  while (g_count.load(std::memory_order_acquire) < n && Clock::now() < wait_until)
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  spinner.stop();
  const std::size_t answered = std::min(g_count.load(std::memory_order_acquire), n);

  // The first tenth warms caches and TCP windows up; it counts for loss only.
  std::vector<double> latency_us;
  for (std::size_t k = n / 10; k < answered; ++k)
  {
    latency_us.push_back(std::chrono::duration<double, std::micro>(g_received[k] - sent[k]).count());
  }
  std::printf("%s %.0f %zu %zu %.1f %.1f %.1f %.0f\n", label.c_str(), rate, n, answered, percentile(latency_us, 0.5),
              percentile(latency_us, 0.99),
              latency_us.empty() ? 0.0 : *std::max_element(latency_us.begin(), latency_us.end()), achieved);
  return 0;
}
