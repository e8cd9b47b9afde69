#include "zv_ta/pid_controller.h"

#include <ros/ros.h>

int main(int argc, char** argv)
{
  ros::init(argc, argv, "pid_controller_node", 0);
  zorvik_controller::PIDController controller;
  ros::spin();
  return 0;
}
