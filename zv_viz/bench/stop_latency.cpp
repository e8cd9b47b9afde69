// Time from STOP pressed in the status panel (the button clicked, or the space bar) to ARM 0 on
// the wire: the real RViz on a virtual display, the real driver on a pseudo-terminal. Prints p50
// and max over each kind of press. The time includes starting xdotool for each press.
#include "driven_rig.h"
#include "rviz_harness.h"

#include <ros/ros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zv_viz_test;

namespace
{
bool press(const std::vector<std::string>& xdotool, const std::string& display, DrivenRig& rig, double* ms)
{
  const DrivenRig::Clock::time_point start = DrivenRig::Clock::now();
  const pid_t pid = spawn(xdotool, display);
  DrivenRig::Clock::time_point at;
  const bool seen = rig.waitForArm(false, 10.0, &at);
  int status = 0;
  waitExit(pid, 10.0, &status);
  *ms = std::chrono::duration<double, std::milli>(at - start).count();
  return seen;
}

void report(const char* what, std::vector<double> ms)
{
  if (ms.empty())
  {
    std::printf("%s: no ARM 0 seen\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%s: %zu presses, p50 %.1f ms, max %.1f ms\n", what, ms.size(), ms[ms.size() / 2], ms.back());
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_viz_stop_latency", ros::init_options::AnonymousName);
  ros::NodeHandle nh;
  const int presses = argc > 1 ? std::atoi(argv[1]) : 10;

  Processes procs;
  const std::string display = startXvfb(procs);
  if (display.empty())
  {
    std::fprintf(stderr, "stop latency: Xvfb reported no display within 60 s\n");
    return 1;
  }
  DrivenRig rig(ZV_DRIVER_NODE_PATH);
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/status_panel.rviz"}, display);
  if (!waitForPixel(display, kStopX, kStopY, red, 120.0))
  {
    std::fprintf(stderr, "stop latency: no STOP button in RViz within 120 s\n");
    return 1;
  }
  const std::vector<std::string> click_stop = clickAt(kStopX, kStopY);
  const std::vector<std::string> key_space = {"xdotool", "key", "space"};

  std::vector<double> clicked, keyed;
  for (int i = 0; i < 2 * presses; ++i)
  {
    if (!rig.armThroughButton(display))
    {
      std::fprintf(stderr, "stop latency: no ARM 1 on the wire after pressing ARM\n");
      return 1;
    }
    double ms = 0.0;
    const bool by_key = i >= presses;
    if (press(by_key ? key_space : click_stop, display, rig, &ms))
    {
      (by_key ? keyed : clicked).push_back(ms);
    }
  }
  std::printf("STOP pressed to ARM 0 on the wire (RViz under Xvfb, driver on a pty, xdotool start included)\n");
  report("STOP button clicked", clicked);
  report("space bar", keyed);
  return clicked.size() == static_cast<size_t>(presses) && keyed.size() == static_cast<size_t>(presses) ? 0 : 1;
}
