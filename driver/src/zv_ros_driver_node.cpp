#include <ros/ros.h>

#include "zv_ros_driver/zv_ros_driver.h"

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_ros_driver", 0);
  zv_ros_driver::ZvROSDriver driver;
  ros::spin();
  return 0;
}
