// Rigid-body model of the Zorvik rig for the simulator: yaw, then pitch, then
// roll, driven by the thrust of the left and right motors, with the motors'
// curve and lag, the propellers' reaction torque and bearing friction as the
// rig description gives them. No ROS, no I/O. The equations, their sign
// conventions, units and the order of a step are in rig_dynamics.h, which
// this class steps with double.
#ifndef ZV_SIM_RIG_MODEL_H
#define ZV_SIM_RIG_MODEL_H

#include <array>
#include <string>

#include "zv_rig/rig_params.h"
#include "zv_sim/rig_dynamics.h"

namespace zv_sim
{
// The rig's physical parameters and their key table live in the rig's description.
using zv_rig::RigParams;
using zv_rig::RigParamField;
using zv_rig::kRigParamFields;

class RigModel
{
 public:
  // Rejects parameters the dynamics divide by (or that make no physical sense)
  // before they can produce non-finite states: returns "" when usable, else a
  // message naming the key, its value and what to do.
  static std::string validate(const RigParams& p, const RigLimits& limits = RigLimits());
  // The same for a whole rig: also its actuator, friction and sensor values.
  static std::string validate(const zv_rig::RigDescription& rig, const RigLimits& limits = RigLimits());

  // Starts at rest on the lower pitch stop, level in roll, yaw 0, motors off.
  // The parameters must pass validate(). Given only the 24 parameters, the
  // rig is the ideal one: thrust = km * throttle at once, viscous friction only.
  explicit RigModel(const RigParams& p, const RigLimits& limits = RigLimits());
  explicit RigModel(const zv_rig::RigDescription& rig, const RigLimits& limits = RigLimits());

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

  // Accelerations for a given state and produced motor thrusts (N; the
  // state's own thrusts are ignored); the stops are not applied.
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
  // The angles are clamped to the stops; the thrusts are the motors' produced ones.
  void setState(const RigState& s);

  const RigParams& params() const
  {
    return rig_.zorvik;
  }
  const zv_rig::RigDescription& description() const
  {
    return rig_;
  }
  const RigLimits& limits() const
  {
    return geometry_.limits;
  }
  // What the dynamics are stepped with (see rig_dynamics.h).
  const RigDynamicParams<double>& dynamicParams() const
  {
    return dynamics_;
  }
  const RigGeometry& geometry() const
  {
    return geometry_;
  }

 private:
  void applyStops();

  zv_rig::RigDescription rig_;
  RigDynamicParams<double> dynamics_;
  RigGeometry geometry_;
  RigState state_;
  double u_left_ = 0;
  double u_right_ = 0;
};

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_MODEL_H
