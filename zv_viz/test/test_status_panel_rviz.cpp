// The status panel inside the real RViz, with the real driver on a pseudo-terminal: ARM and STOP
// clicked, and the space bar, reach the wire as ARM frames. A screenshot of the window is kept.
#include "driven_rig.h"
#include "rviz_harness.h"

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <string>

namespace
{
using namespace zv_viz_test;

TEST(StatusPanelInRviz, StopButtonAndSpaceBarDisarmTheRig)
{
  Processes procs;
  const std::string display = startXvfb(procs);
  ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 60 s";
  ScreenshotAtEnd shot{display, "zv_viz_status_panel.png"};
  DrivenRig rig(ZV_DRIVER_NODE_PATH);
  procs.rviz = spawn({"rviz", "-d", std::string(ZV_VIZ_TEST_DIR) + "/status_panel.rviz"}, display);
  ASSERT_GT(procs.rviz, 0);
  // RViz with software rendering can take a while on a loaded machine.
  ASSERT_TRUE(waitForPixel(display, kStopX, kStopY, red, 90.0)) << "no red STOP button in RViz within 90 s";
  // The driver does not arm by itself: it waits for the ARM button.
  EXPECT_FALSE(rig.waitForArm(true, 1.0));

  ASSERT_TRUE(rig.armThroughButton(display)) << "no ARM 1 on the wire after pressing ARM";
  ASSERT_TRUE(run(clickAt(kStopX, kStopY), display));
  EXPECT_TRUE(rig.waitForArm(false, 10.0)) << "no ARM 0 on the wire after clicking STOP";

  ASSERT_TRUE(run(clickAt(kArmX, kArmY), display));
  ASSERT_TRUE(rig.waitForArm(true, 10.0)) << "no ARM 1 on the wire after pressing ARM again";
  // The pointer rests on ARM, which also has the focus after the click: space must still STOP.
  ASSERT_TRUE(run({"xdotool", "key", "space"}, display));
  EXPECT_TRUE(rig.waitForArm(false, 10.0)) << "no ARM 0 on the wire after the space bar";
  EXPECT_FALSE(rig.waitForArm(true, 1.0)) << "the space bar re-armed the rig through the focused ARM button";
  EXPECT_TRUE(rig.driverRunning());
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_status_panel_rviz");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
