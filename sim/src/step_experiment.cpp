#include "zv_sim/step_experiment.h"

#include <cmath>
#include <fstream>

#include <zv_msgs/ReferenceState.h>

namespace zv_sim
{
namespace
{
// The setpoint panel's publishing period.
const double kReferencePeriod = 0.05;
}  // namespace

StepExperiment::StepExperiment()
{
  ros::NodeHandle nh;
  reference_pub_ = nh.advertise<zv_msgs::ReferenceState>("/zv_reference_state", 1);
  state_sub_ = nh.subscribe("/zv_state", 50, &StepExperiment::stateCallback, this);
  command_sub_ = nh.subscribe("/zv_command", 50, &StepExperiment::commandCallback, this);
}

double StepExperiment::now()
{
  return ros::WallTime::now().toSec();
}

void StepExperiment::stateCallback(const zv_msgs::State::ConstPtr& msg)
{
  StepSample s;
  s.t = now();
  s.roll = msg->roll;
  s.pitch = msg->pitch;
  s.yaw = msg->yaw;
  s.pitch_ref = pitch_ref_;
  s.yaw_ref = yaw_ref_;
  s.left = left_;
  s.right = right_;
  samples_.push_back(s);
}

void StepExperiment::commandCallback(const zv_msgs::Command::ConstPtr& msg)
{
  left_ = msg->left_motor;
  right_ = msg->right_motor;
}

void StepExperiment::publishReference()
{
  zv_msgs::ReferenceState ref;
  ref.pitch = static_cast<float>(pitch_ref_);
  ref.yaw = static_cast<float>(yaw_ref_);
  reference_pub_.publish(ref);
}

bool StepExperiment::waitForState(double timeout_s)
{
  const double deadline = now() + timeout_s;
  while (samples_.empty() && now() < deadline && ros::ok())
  {
    ros::WallDuration(0.01).sleep();
    ros::spinOnce();
  }
  return !samples_.empty();
}

void StepExperiment::hold(double pitch_ref, double yaw_ref, double duration_s)
{
  holdUntilSettled(pitch_ref, yaw_ref, -1.0, 0.0, duration_s);
}

bool StepExperiment::holdUntilSettled(double pitch_ref, double yaw_ref, double tolerance, double stable_s,
                                      double timeout_s)
{
  pitch_ref_ = pitch_ref;
  yaw_ref_ = yaw_ref;
  const double start = now();
  const double deadline = start + timeout_s;
  double next_publish = start;
  double inside_since = NAN;
  size_t checked = samples_.size();
  while (now() < deadline && ros::ok())
  {
    if (now() >= next_publish)
    {
      publishReference();
      next_publish += kReferencePeriod;
    }
    ros::WallDuration(0.002).sleep();
    ros::spinOnce();
    for (; checked < samples_.size(); ++checked)
    {
      const StepSample& s = samples_[checked];
      const bool inside = std::fabs(s.pitch - pitch_ref) <= tolerance && std::fabs(s.yaw - yaw_ref) <= tolerance;
      if (!inside)
      {
        inside_since = NAN;
      }
      else if (std::isnan(inside_since))
      {
        inside_since = s.t;
      }
      else if (s.t - inside_since >= stable_s)
      {
        return true;
      }
    }
  }
  return false;
}

void StepExperiment::series(double t_from, double StepSample::*field, std::vector<double>& t,
                            std::vector<double>& y) const
{
  t.clear();
  y.clear();
  for (const StepSample& s : samples_)
  {
    if (s.t >= t_from)
    {
      t.push_back(s.t);
      y.push_back(s.*field);
    }
  }
}

bool StepExperiment::writeCsv(const std::string& path) const
{
  std::ofstream out(path);
  if (!out)
  {
    return false;
  }
  // Fixed notation: epoch seconds need 16 digits to keep the microseconds.
  out.setf(std::ios::fixed);
  out.precision(6);
  out << "t,roll,pitch,yaw,pitch_ref,yaw_ref,left,right\n";
  for (const StepSample& s : samples_)
  {
    out << s.t << "," << s.roll << "," << s.pitch << "," << s.yaw << "," << s.pitch_ref << "," << s.yaw_ref << ","
        << s.left << "," << s.right << "\n";
  }
  return static_cast<bool>(out);
}

}  // namespace zv_sim
