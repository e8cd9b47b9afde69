// zv_joint_state_publisher: republishes the measured angles on "/zv_state" as
// sensor_msgs/JointState on "/joint_states", so robot_state_publisher can pose
// the rig's model in RViz. Works the same for the real and the simulated rig.
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <zv_msgs/State.h>

namespace
{
class StateToJoints
{
 public:
  StateToJoints()
  {
    ros::NodeHandle nh;
    joints_pub_ = nh.advertise<sensor_msgs::JointState>("/joint_states", 5);
    state_sub_ = nh.subscribe("/zv_state", 5, &StateToJoints::stateCallback, this);
  }

  void stateCallback(const zv_msgs::State::ConstPtr& msg)
  {
    // Joint names and positive directions are those of rig/urdf/zorvik.urdf.
    sensor_msgs::JointState joints;
    joints.header.stamp = ros::Time::now();
    joints.name = {"yaw", "pitch", "roll"};
    joints.position = {msg->yaw, msg->pitch, msg->roll};
    joints_pub_.publish(joints);
  }

 private:
  ros::Publisher joints_pub_;
  ros::Subscriber state_sub_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_joint_state_publisher");
  StateToJoints node;
  ros::spin();
  return 0;
}
