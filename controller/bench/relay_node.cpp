// Baseline for the latency benchmark: answers each State with an empty
// Command, with the controller's topics, queue sizes and transport hints, so
// the difference to the controller is the cost of its own work.
#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

namespace
{
class Relay
{
 public:
  Relay()
  {
    ros::NodeHandle nh;
    state_sub_ = nh.subscribe("/zv_state", 5, &Relay::stateCallback, this);
    command_pub_ = nh.advertise<zv_msgs::Command>("/zv_command", 5, false);
  }

  void stateCallback(boost::shared_ptr<const zv_msgs::State> /*msg*/)
  {
    command_pub_.publish(zv_msgs::Command());
  }

 private:
  ros::Subscriber state_sub_;
  ros::Publisher command_pub_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_ta_relay_node", 0);
  Relay relay;
  ros::spin();
  return 0;
}
