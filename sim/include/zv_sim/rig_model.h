// Rigid-body model of the Zorvik rig for the simulator: yaw, then pitch, then
// roll, driven by the thrust of the left and right motors. No ROS, no I/O.
//
// Sign conventions (radians, seconds, newtons):
//  - pitch > 0 lifts the body; gravity pulls it towards negative pitch;
//  - roll > 0 when the left motor pushes harder than the right one;
//  - yaw > 0 is the turn that a positive roll produces by tilting the thrust.
#ifndef ZV_SIM_RIG_MODEL_H
#define ZV_SIM_RIG_MODEL_H

#include <array>
#include <string>

#include "zv_rig/rig_params.h"

namespace zv_sim
{
// The rig's physical parameters and their key table live in the rig's description.
using zv_rig::RigParams;
using zv_rig::RigParamField;
using zv_rig::kRigParamFields;

// Mechanical stops of the pitch and roll bearings, rad. Yaw turns freely.
struct RigLimits
{
  double pitch_min = -0.5;
  double pitch_max = 0.5;
  double roll_min = -0.6;
  double roll_max = 0.6;
};

struct RigState
{
  double roll = 0, pitch = 0, yaw = 0;
  double roll_rate = 0, pitch_rate = 0, yaw_rate = 0;
};

struct RigAccelerations
{
  double roll = 0, pitch = 0, yaw = 0;
};

class RigModel
{
 public:
  // Rejects parameters the dynamics divide by (or that make no physical sense)
  // before they can produce non-finite states: returns "" when usable, else a
  // message naming the key, its value and what to do.
  static std::string validate(const RigParams& p, const RigLimits& limits = RigLimits());

  // Starts at rest on the lower pitch stop, level in roll, yaw 0, motors off.
  // The parameters must pass validate().
  explicit RigModel(const RigParams& p, const RigLimits& limits = RigLimits());

  // Motor throttles, each clipped to [0, 1]; a non-finite throttle counts as 0.
  void setThrottles(double left, double right);
  double throttleLeft() const
  {
    return u_left_;
  }
  double throttleRight() const
  {
    return u_right_;
  }

  // One fixed RK4 step of dt seconds, then the stops.
  void step(double dt);

  // Accelerations for a given state and motor forces (N); the stops are not applied.
  RigAccelerations accelerations(const RigState& s, double f_left, double f_right) const;

  // Kinetic energy plus the gravitational potential of the pitching masses, J.
  double energy() const;

  // Inertia about the pitch axis and about the yaw axis (rig level), kg*m^2.
  double pitchInertia() const;
  double yawInertia() const;

  const RigState& state() const
  {
    return state_;
  }
  // The angles are clamped to the stops.
  void setState(const RigState& s);

  const RigParams& params() const
  {
    return p_;
  }
  const RigLimits& limits() const
  {
    return limits_;
  }

 private:
  RigState derivative(const RigState& s, double f_left, double f_right) const;
  void applyStops();

  RigParams p_;
  RigLimits limits_;
  RigState state_;
  double u_left_ = 0;
  double u_right_ = 0;
};

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_MODEL_H
