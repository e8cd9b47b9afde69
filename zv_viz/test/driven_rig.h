// The real driver on a pseudo-terminal whose other side plays the rig: it answers ARM frames with
// heartbeats that report the rig armed or not, and tells when an ARM frame reached the wire.
// Used by the status panel's RViz test and by the STOP latency benchmark.
#ifndef ZV_VIZ_TEST_DRIVEN_RIG_H
#define ZV_VIZ_TEST_DRIVEN_RIG_H

#include "pty_rig.h"
#include "rviz_harness.h"

#include <chrono>
#include <string>
#include <unistd.h>
#include <vector>

namespace zv_viz_test
{
// Where status_panel.rviz shows the panel's buttons on the 1280x900 screen.
const int kArmX = 40, kArmY = 267;
const int kStopX = 190, kStopY = 267;

// The xdotool command that clicks the screen at (x, y).
inline std::vector<std::string> clickAt(int x, int y)
{
  return {"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"};
}

class DrivenRig
{
 public:
  using Clock = std::chrono::steady_clock;

  explicit DrivenRig(const std::string& driver_path)
      : link_("/tmp/zv_viz_rig_" + std::to_string(::getpid())), rig_(link_)
  {
    driver_ = spawn({driver_path, "_port:=" + link_}, "");
  }
  ~DrivenRig()
  {
    stop(driver_);
  }

  // Waits for an ARM frame with this value, written after the last call; `at` is when its bytes
  // were read from the pty. Heartbeats go out every 100 ms meanwhile.
  bool waitForArm(bool arm, double seconds, Clock::time_point* at = nullptr)
  {
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end)
    {
      if (Clock::now() >= next_heartbeat_)
      {
        rig_.write(zv_ros_driver::encodeHeartbeat(armed_ ? zv_ros_driver::kHeartbeatArmed : 0));
        next_heartbeat_ = Clock::now() + std::chrono::milliseconds(100);
      }
      rig_.pollOnce(10);
      while (rig_.cursor < rig_.frames.size())
      {
        const size_t i = rig_.cursor++;
        bool value = false;
        if (zv_ros_driver::decodeArm(rig_.frames[i], value))
        {
          armed_ = value;
          if (value == arm)
          {
            if (at != nullptr)
            {
              *at = rig_.arrivals[i];
            }
            return true;
          }
        }
      }
    }
    return false;
  }

  // Presses ARM in RViz until an ARM 1 reaches the wire: the driver may still be starting.
  bool armThroughButton(const std::string& display)
  {
    for (int attempt = 0; attempt < 10; ++attempt)
    {
      run(clickAt(kArmX, kArmY), display);
      if (waitForArm(true, 3.0))
      {
        return true;
      }
    }
    return false;
  }

  bool driverRunning() const
  {
    return driver_ > 0 && ::kill(driver_, 0) == 0;
  }

 private:
  std::string link_;
  zv_ros_driver::PtyRig rig_;
  pid_t driver_ = -1;
  bool armed_ = false;
  Clock::time_point next_heartbeat_;
};

inline bool red(int r, int g, int b)
{
  return r > 150 && g < 100 && b < 100;
}

}  // namespace zv_viz_test

#endif  // ZV_VIZ_TEST_DRIVEN_RIG_H
