// Listens to the panel's stream and prints its publishing period: mean, p99 of |period - 50 ms|
// and the longest gap, measured on arrival with a monotonic clock.
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <zv_msgs/ReferenceState.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;
std::vector<Clock::time_point> arrivals;

void onMessage(const zv_msgs::ReferenceState::ConstPtr&)
{
  arrivals.push_back(Clock::now());
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_viz_period_probe", ros::init_options::AnonymousName);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
  const double first_timeout = argc > 2 ? std::atof(argv[2]) : 120.0;
  ros::NodeHandle nh;
  // No Nagle batching, so arrival times follow the publisher's ticks.
  ros::Subscriber sub = nh.subscribe("/zv_reference_state", 100, onMessage, ros::TransportHints().tcpNoDelay());

  const Clock::time_point wait_end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(first_timeout));
  while (ros::ok() && arrivals.empty() && Clock::now() < wait_end)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  if (arrivals.empty())
  {
    std::fprintf(stderr, "period probe: no message on /zv_reference_state within %.0f s\n", first_timeout);
    return 1;
  }
  const Clock::time_point end =
      arrivals.front() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (ros::ok() && Clock::now() < end)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.01));
  }
  if (arrivals.size() < 3)
  {
    std::fprintf(stderr, "period probe: only %zu messages in %.0f s\n", arrivals.size(), seconds);
    return 1;
  }

  std::vector<double> periods_ms;
  std::vector<double> deviations_ms;
  for (size_t i = 1; i < arrivals.size(); ++i)
  {
    const double ms = std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
    periods_ms.push_back(ms);
    deviations_ms.push_back(std::fabs(ms - 50.0));
  }
  double sum = 0.0;
  for (double p : periods_ms)
  {
    sum += p;
  }
  std::sort(deviations_ms.begin(), deviations_ms.end());
  auto percentile = [&](double q)
  { return deviations_ms[std::min(deviations_ms.size() - 1, static_cast<size_t>(q * deviations_ms.size()))]; };
  std::printf("messages %zu over %.1f s\n", arrivals.size(),
              std::chrono::duration<double>(arrivals.back() - arrivals.front()).count());
  std::printf("mean period %.3f ms\n", sum / periods_ms.size());
  std::printf("|period - 50 ms|: p50 %.3f ms, p90 %.3f ms, p99 %.3f ms\n", percentile(0.5), percentile(0.9),
              percentile(0.99));
  std::printf("longest gap %.3f ms\n", *std::max_element(periods_ms.begin(), periods_ms.end()));
  return 0;
}
