// The panel inside the real RViz on a virtual X display: a configuration saved enabled on the
// reference topic streams zeros at 20 Hz from start-up; a panel added through Panels > Add New
// Panel works once a topic is picked and "Enabled" ticked. Screenshots of both are kept.
#include "rviz_harness.h"

#include <gtest/gtest.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <zv_msgs/ReferenceState.h>

#include <string>
#include <vector>

namespace
{
using namespace zv_viz_test;

// Message rate over a window of `seconds`, after the first message came within `first_timeout`.
double measureRate(double first_timeout, double seconds);

std::vector<ros::WallTime> arrivals;
std::vector<zv_msgs::ReferenceState> received;

void onReference(const zv_msgs::ReferenceState::ConstPtr& msg)
{
  arrivals.push_back(ros::WallTime::now());
  received.push_back(*msg);
}

TEST(ZorvikPanelInRviz, SavedEnabledPanelStreamsAndShows)
{
  Processes procs;
  const std::string display = startXvfb(procs);
  ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 60 s";

  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zv_reference_state", 100, onReference, ros::TransportHints().tcpNoDelay());
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/reference_enabled.rviz"}, display);
  ASSERT_GT(procs.rviz, 0);

  // RViz with software rendering can take a while on a loaded machine.
  const double rate = measureRate(90.0, 4.0);
  ASSERT_FALSE(arrivals.empty()) << "no ReferenceState from the panel in RViz within 90 s";
  EXPECT_GT(rate, 16.0);
  EXPECT_LT(rate, 24.0);
  for (const zv_msgs::ReferenceState& m : received)
  {
    EXPECT_EQ(0.0f, m.yaw);
    EXPECT_EQ(0.0f, m.pitch);
  }
  EXPECT_TRUE(screenshot(display, "zv_viz_panel.png"));
}

// RViz initialises a panel from the "Add New Panel" dialog and never loads it. The positions are
// those of no_panels.rviz's fixed window on the 1280x900 screen.
TEST(ZorvikPanelInRviz, PanelAddedFromTheDialogWorks)
{
  Processes procs;
  const std::string display = startXvfb(procs);
  ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 60 s";
  ScreenshotAtEnd shot{display, "zv_viz_added_panel.png"};
  arrivals.clear();

  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/zv_reference_state", 100, onReference, ros::TransportHints().tcpNoDelay());
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/no_panels.rviz"}, display);
  ASSERT_GT(procs.rviz, 0);
  // RViz with software rendering can take a while on a loaded machine.
  ASSERT_TRUE(run({"xdotool", "search", "--sync", "--name", "no_panels.rviz - RViz"}, display, 90.0));

  // Panels > Add New Panel; the dialog's class tree is white where the 3D view was dark.
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(60.0);
  bool dialog = false;
  while (!dialog && ros::WallTime::now() < end)
  {
    run({"xdotool", "mousemove", "66", "10", "click", "1"}, display);
    run({"xdotool", "mousemove", "118", "34", "click", "1"}, display);
    dialog = waitForPixel(display, 590, 300, white, 5.0);
  }
  ASSERT_TRUE(dialog) << "the Add New Panel dialog did not open";
  // The class tree finds an entry by typing its name.
  ASSERT_TRUE(run({"xdotool", "type", "--delay", "50", "ZorvikPanel"}, display));
  ASSERT_TRUE(run({"xdotool", "key", "Return"}, display));
  ASSERT_TRUE(waitForPixel(display, 16, 512, white, 30.0)) << "no \"Enabled\" box where the added panel should show it";

  // Layout Type: open the selector (its current entry, "/zv_command", shows highlighted); one
  // entry up is "/zv_reference_state".
  ASSERT_TRUE(run({"xdotool", "mousemove", "185", "353", "click", "1"}, display));
  ASSERT_TRUE(waitForPixel(display, 245, 354, blue, 10.0)) << "the Layout Type list did not open";
  ASSERT_TRUE(run({"xdotool", "key", "Up", "Return"}, display));
  ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(1.0));
  EXPECT_TRUE(arrivals.empty()) << "the added panel published before it was enabled";
  ASSERT_TRUE(run({"xdotool", "mousemove", "16", "512", "click", "1"}, display));

  const double rate = measureRate(30.0, 4.0);
  ASSERT_FALSE(arrivals.empty()) << "no ReferenceState after picking the topic and ticking \"Enabled\"";
  EXPECT_GT(rate, 16.0);
  EXPECT_LT(rate, 24.0);
}

double measureRate(double first_timeout, double seconds)
{
  arrivals.clear();
  received.clear();
  const ros::WallTime first_deadline = ros::WallTime::now() + ros::WallDuration(first_timeout);
  while (arrivals.empty() && ros::WallTime::now() < first_deadline)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  if (arrivals.empty())
  {
    return 0.0;
  }
  const ros::WallTime window_start = ros::WallTime::now();
  const size_t before = arrivals.size();
  const ros::WallTime window_end = window_start + ros::WallDuration(seconds);
  while (ros::WallTime::now() < window_end)
  {
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.05));
  }
  return (arrivals.size() - before) / (ros::WallTime::now() - window_start).toSec();
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_zorvik_panel_rviz");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
