// A bounded wait for the in-process panel tests: Qt's events and ROS's global queue are served
// while the condition is polled.
#ifndef ZV_VIZ_TEST_QT_POLL_H
#define ZV_VIZ_TEST_QT_POLL_H

#include <ros/ros.h>

#include <QCoreApplication>
#include <QTest>

#include <functional>

namespace zv_viz_test
{
// True as soon as done() holds; false when `seconds` pass first.
inline bool pollUntil(const std::function<bool()>& done, double seconds = 10.0)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(seconds);
  while (ros::WallTime::now() < end)
  {
    QCoreApplication::processEvents();
    ros::spinOnce();
    if (done())
    {
      return true;
    }
    QTest::qWait(5);
  }
  return false;
}

}  // namespace zv_viz_test

#endif  // ZV_VIZ_TEST_QT_POLL_H
