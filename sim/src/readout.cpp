// zv_readout: a one-line live view of the rig for runs without RViz: measured
// angles and references in degrees and the throttles, rewritten in place a few
// times a second, with the rig's own word on whether it is armed.
#include <cmath>
#include <cstdio>

#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>

namespace
{
double deg(double rad)
{
  return rad * 180.0 / M_PI;
}

class Readout
{
 public:
  Readout()
  {
    ros::NodeHandle nh;
    ros::NodeHandle pnh("~");
    double rate = 5.0;
    pnh.param("rate", rate, rate);
    if (!(rate > 0 && std::isfinite(rate)))
    {
      ROS_WARN("~rate %g Hz is not a positive rate: using 5 Hz", rate);
      rate = 5.0;
    }
    state_sub_ = nh.subscribe("/zv_state", 5, &Readout::stateCallback, this);
    reference_sub_ = nh.subscribe("/zv_reference_state", 5, &Readout::referenceCallback, this);
    command_sub_ = nh.subscribe("/zv_command", 5, &Readout::commandCallback, this);
    armed_sub_ = nh.subscribe("/zv_armed", 5, &Readout::armedCallback, this);
    timer_ = nh.createWallTimer(ros::WallDuration(1.0 / rate), &Readout::print, this);
  }

  ~Readout()
  {
    std::printf("\n");
    std::fflush(stdout);
  }

  void stateCallback(const zv_msgs::State::ConstPtr& msg)
  {
    state_ = *msg;
    have_state_ = true;
  }
  void referenceCallback(const zv_msgs::ReferenceState::ConstPtr& msg)
  {
    reference_ = *msg;
  }
  void commandCallback(const zv_msgs::Command::ConstPtr& msg)
  {
    command_ = *msg;
  }

  void armedCallback(const std_msgs::Bool::ConstPtr& msg)
  {
    if (!msg->data && (armed_ || !have_armed_))
    {
      disarmed_since_ = ros::WallTime::now();
    }
    armed_ = msg->data;
    have_armed_ = true;
  }

  void print(const ros::WallTimerEvent&)
  {
    // Without RViz there is no ARM button: a rig that talks but stays
    // disarmed (a real one waits for the user) gets one hint on how to arm.
    if (have_state_ && have_armed_ && !armed_ && !disarmed_hint_shown_ &&
        (ros::WallTime::now() - disarmed_since_).toSec() > 3.0)
    {
      std::printf(
          "\nrig disarmed: nothing moves until it is armed. Arm it from a second terminal with\n"
          "  ./zv shell rosservice call /zv_ros_driver/arm true     (false disarms)\n");
      disarmed_hint_shown_ = true;
    }
    if (!have_state_)
    {
      std::printf("\rwaiting for /zv_state ...");
    }
    else
    {
      std::printf(
          "\rroll %+7.2f deg  pitch %+7.2f deg (ref %+6.1f)  yaw %+8.2f deg (ref %+6.1f)  "
          "throttle L %.3f R %.3f  %s ",
          deg(state_.roll), deg(state_.pitch), deg(reference_.pitch), deg(state_.yaw), deg(reference_.yaw),
          command_.left_motor, command_.right_motor, !have_armed_ ? "" : (armed_ ? "ARMED   " : "disarmed"));
    }
    std::fflush(stdout);
  }

 private:
  ros::Subscriber state_sub_;
  ros::Subscriber reference_sub_;
  ros::Subscriber command_sub_;
  ros::Subscriber armed_sub_;
  ros::WallTimer timer_;
  zv_msgs::State state_;
  zv_msgs::ReferenceState reference_;
  zv_msgs::Command command_;
  bool have_state_ = false;
  bool have_armed_ = false;
  bool armed_ = false;
  bool disarmed_hint_shown_ = false;
  ros::WallTime disarmed_since_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_readout");
  Readout node;
  ros::spin();
  return 0;
}
