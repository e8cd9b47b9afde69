// Closed-loop controller of the Zorvik rig: three cascaded PID loops (yaw
// steers roll, roll gives a torque, pitch gives a force with gravity
// feed-forward) turn every measured state into one pair of motor throttles.
#ifndef ZV_TA_PID_CONTROLLER_H
#define ZV_TA_PID_CONTROLLER_H

#include <boost/shared_ptr.hpp>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>

namespace zorvik_controller
{
// Reads the rig parameters under /zorvik/ once, designs its gains, subscribes
// to /zv_state and /zv_reference_state and answers each state with one
// command on /zv_command. Angles in radians, rates in rad/s, times in s.
//
// The data members are public so that tests can read the controller's state;
// nothing else in the workspace touches them. The subscriptions are bound to
// this object's address, so it is neither copied nor moved.
class PIDController
{
 public:
  PIDController();
  PIDController(const PIDController&) = delete;
  PIDController& operator=(const PIDController&) = delete;

  void stateCallback(boost::shared_ptr<const zv_msgs::State> msg);
  void referenceStateCallback(boost::shared_ptr<const zv_msgs::ReferenceState> msg);
  void armedCallback(boost::shared_ptr<const std_msgs::Bool> msg);

  float kp_phi;
  float ki_phi;
  float kd_phi;
  float integrator_phi;  // integral of the roll error, rad*s
  float phi_prev;

  float theta_r;  // pitch reference
  float kp_theta;
  float ki_theta;
  float kd_theta;
  float integrator_theta;
  float theta_prev;

  float psi_r;  // yaw reference
  float kp_psi;
  float ki_psi;
  float kd_psi;
  float integrator_psi;
  float psi_prev;

  ros::Time prev_time;  // time of the previous state message

  // The steps between the last state messages, s: the rates divide by no
  // less than half their median. States that the host hands over in a bunch
  // (microseconds apart after a stall) would otherwise turn one encoder
  // count into a rate a hundred times too large, and the motors would get a
  // full-scale kick for every bunch.
  static const int kStepHistory = 31;
  float recent_steps[kStepHistory];
  int recent_step_count;
  int recent_step_next;
  float rateStep(float dt) const;

  // Rig parameters, one per key under /zorvik/; 0 when the key is missing.
  float l1, l2, l3x, l3y, l3z, lT, d, m1, m2, m3;
  float J1x, J1y, J1z, J2x, J2y, J2z, J3x, J3y, J3z;
  float Bphi, Bth, Bpsi, km, g;

  float F_ff;  // gravity feed-forward of the last state message, N
  float F_e;   // equilibrium force, N

  // Bounds on |integrator_theta| and |integrator_psi|, rad*s, from the gain
  // design: a body held away from its reference (on a stop, propellers off)
  // must not wind an integrator up until it alone pins a throttle at a limit.
  float integrator_theta_limit;
  float integrator_psi_limit;

  ros::Publisher command_pub;
  ros::Subscriber state_sub;
  ros::Subscriber reference_state_sub;

  // Set at start-up when the parameters cannot give a safe law (a divisor
  // missing or 0, a gain infinite): every state is then answered with zero
  // throttles rather than with whatever the arithmetic produces.
  bool throttles_held;
  // Answer to a state that cannot be stepped (no time elapsed, non-finite
  // input or result): the motors keep doing what they were last told, for a
  // short while only (see last_step_time).
  zv_msgs::Command last_command;

  // The rig's own word on /zv_armed. Until it speaks the controller steps
  // every state; once it has, a disarmed rig gets zero throttles and the
  // loops stand still, so nothing winds up while the motors cannot respond.
  ros::Subscriber armed_sub;
  bool armed_heard;
  bool armed;
  // The next state has no measured predecessor to take rates from (start-up,
  // arming): it is stepped with zero rates and no integration, and timing
  // restarts from it. A state more than 0.5 s after the previous one is
  // stepped the same way.
  bool restart_timing;
  // When the law last produced a command, on the ROS clock and on the
  // monotonic clock. Skipped states repeat last_command only until 0.25 s
  // have passed since then, on the ROS clock, or on the monotonic clock
  // while the ROS clock stands still or has jumped back: such a clock, the
  // cause of most skips, must not keep the motors on forever.
  ros::Time last_step_time;
  ros::SteadyTime last_step_steady;

 private:
  void publish(const zv_msgs::Command& command);
  // Answer to a state that cannot be stepped: last_command while it is
  // fresh, zero throttles once the law has been silent for too long.
  void publishSkipped();
};
}  // namespace zorvik_controller

#endif  // ZV_TA_PID_CONTROLLER_H
