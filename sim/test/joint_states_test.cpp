// zv_joint_state_publisher must hand each measured angle to the URDF joint of
// the same name, unchanged.
#include <gtest/gtest.h>

#include <map>

#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <zv_msgs/State.h>

TEST(JointStates, EachAngleGoesToItsJoint)
{
  ros::NodeHandle nh;
  sensor_msgs::JointState received;
  bool got = false;
  ros::Subscriber sub = nh.subscribe<sensor_msgs::JointState>("/joint_states", 5,
                                                              [&](const sensor_msgs::JointState::ConstPtr& msg)
                                                              {
                                                                received = *msg;
                                                                got = true;
                                                              });
  ros::Publisher pub = nh.advertise<zv_msgs::State>("/zv_state", 5);
  zv_msgs::State state;
  state.roll = 0.125f;
  state.pitch = -0.25f;
  state.yaw = 3.5f;
  // Publish until the bridge answers: connections take a moment to form.
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(15.0);
  while (!got && ros::WallTime::now() < deadline && ros::ok())
  {
    pub.publish(state);
    ros::WallDuration(0.05).sleep();
    ros::spinOnce();
  }
  ASSERT_TRUE(got) << "no /joint_states within 15 s";
  ASSERT_EQ(received.name.size(), 3u);
  ASSERT_EQ(received.position.size(), 3u);
  std::map<std::string, double> joints;
  for (size_t i = 0; i < received.name.size(); ++i)
  {
    joints[received.name[i]] = received.position[i];
  }
  EXPECT_EQ(joints.at("roll"), 0.125);
  EXPECT_EQ(joints.at("pitch"), -0.25);
  EXPECT_EQ(joints.at("yaw"), 3.5);
  EXPECT_FALSE(received.header.stamp.isZero()) << "robot_state_publisher needs a stamp";
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "joint_states_test");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
