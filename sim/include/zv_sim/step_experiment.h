// Drives the closed loop through reference steps and records what the rig
// does: publishes "/zv_reference_state" as the setpoint panel would (20 Hz) and
// logs every "/zv_state" with the latest "/zv_command". Used by the
// closed-loop test and the step-response benchmark.
#ifndef ZV_SIM_STEP_EXPERIMENT_H
#define ZV_SIM_STEP_EXPERIMENT_H

#include <string>
#include <vector>

#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/State.h>

namespace zv_sim
{
struct StepSample
{
  double t;  // wall-clock seconds
  double roll, pitch, yaw;
  double pitch_ref, yaw_ref;
  double left, right;  // last throttles seen
};

class StepExperiment
{
 public:
  StepExperiment();

  // Spins until the first state arrives; false after timeout_s.
  bool waitForState(double timeout_s);
  // Commands the references for duration_s seconds while recording.
  void hold(double pitch_ref, double yaw_ref, double duration_s);
  // Commands the references until pitch and yaw stayed within `tolerance` rad
  // of them for `stable_s` seconds; false after timeout_s.
  bool holdUntilSettled(double pitch_ref, double yaw_ref, double tolerance, double stable_s, double timeout_s);

  const std::vector<StepSample>& samples() const
  {
    return samples_;
  }
  static double now();
  // Times and one signal of the samples since t_from, for analyseStep().
  void series(double t_from, double StepSample::*field, std::vector<double>& t, std::vector<double>& y) const;
  bool writeCsv(const std::string& path) const;

 private:
  void stateCallback(const zv_msgs::State::ConstPtr& msg);
  void commandCallback(const zv_msgs::Command::ConstPtr& msg);
  void publishReference();

  ros::Publisher reference_pub_;
  ros::Subscriber state_sub_;
  ros::Subscriber command_sub_;
  std::vector<StepSample> samples_;
  double pitch_ref_ = 0, yaw_ref_ = 0;
  double left_ = 0, right_ = 0;
};

}  // namespace zv_sim

#endif  // ZV_SIM_STEP_EXPERIMENT_H
