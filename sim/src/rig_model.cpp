#include "zv_sim/rig_model.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace zv_sim
{
namespace
{
double pitchInertiaOf(const RigParams& p)
{
  return p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2 + p.J1y + p.J2y;
}

double yawInertiaOf(const RigParams& p)
{
  return p.J1z + p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2 + p.J2z + p.m3 * (p.l3x * p.l3x + p.l3y * p.l3y);
}

double clip01(double u)
{
  if (std::isnan(u))
  {
    return 0.0;
  }
  if (u < 0.0)
  {
    return 0.0;
  }
  return u > 1.0 ? 1.0 : u;
}
}  // namespace

std::string RigModel::validate(const RigParams& p, const RigLimits& limits)
{
  std::ostringstream err;
  for (const RigParamField& f : kRigParamFields)
  {
    if (!std::isfinite(p.*f.member))
    {
      err << "parameter /zorvik/" << f.key << " is " << p.*f.member << ": give it a finite value";
      return err.str();
    }
  }
  if (p.J1x <= 0)
  {
    err << "parameter /zorvik/J1x is " << p.J1x << ": the roll inertia must be positive";
  }
  else if (pitchInertiaOf(p) <= 0)
  {
    err << "pitch inertia m1*l1^2 + m2*l2^2 + J1y + J2y is " << pitchInertiaOf(p)
        << ": set /zorvik/m1, l1, m2, l2, J1y, J2y so that it is positive";
  }
  else if (yawInertiaOf(p) <= 0)
  {
    err << "yaw inertia J1z + m1*l1^2 + m2*l2^2 + J2z + m3*(l3x^2 + l3y^2) is " << yawInertiaOf(p)
        << ": set /zorvik/J1z, J2z, m3, l3x, l3y so that it is positive";
  }
  else if (p.Bphi < 0 || p.Bth < 0 || p.Bpsi < 0)
  {
    err << "bearing friction Bphi/Bth/Bpsi = " << p.Bphi << "/" << p.Bth << "/" << p.Bpsi
        << ": friction coefficients must not be negative";
  }
  else if (!(limits.pitch_min < limits.pitch_max) || !(limits.roll_min < limits.roll_max))
  {
    err << "stops pitch [" << limits.pitch_min << ", " << limits.pitch_max << "], roll [" << limits.roll_min << ", "
        << limits.roll_max << "]: each lower stop must lie below its upper stop";
  }
  return err.str();
}

std::string RigModel::validate(const zv_rig::RigDescription& rig, const RigLimits& limits)
{
  const std::string physical = validate(rig.zorvik, limits);
  if (!physical.empty())
  {
    return physical;
  }
  const zv_rig::ActuatorParams& a = rig.actuator;
  const zv_rig::FrictionParams& f = rig.friction;
  std::ostringstream err;
  if (!(a.tau_up >= 0 && std::isfinite(a.tau_up)) || !(a.tau_down >= 0 && std::isfinite(a.tau_down)))
  {
    err << "actuator tau_up/tau_down = " << a.tau_up << "/" << a.tau_down
        << " s: give each thrust lag as 0 (none) or a positive time";
  }
  else if (!(a.thrust_expo >= 0 && a.thrust_expo <= 1))
  {
    err << "actuator thrust_expo is " << a.thrust_expo << ": the curve's expo lies in [0, 1]";
  }
  else if (!(a.throttle_start >= 0 && a.throttle_start < 0.5))
  {
    err << "actuator throttle_start is " << a.throttle_start << ": the start threshold lies in [0, 0.5)";
  }
  else if (!(a.left_gain > 0 && std::isfinite(a.left_gain)) || !(a.right_gain > 0 && std::isfinite(a.right_gain)))
  {
    err << "actuator left_gain/right_gain = " << a.left_gain << "/" << a.right_gain
        << ": give each motor's factor on km as a positive number (1: as km)";
  }
  else if (!std::isfinite(a.reaction_torque))
  {
    err << "actuator reaction_torque is " << a.reaction_torque << ": give a finite N*m per N (0: none)";
  }
  else if (!(f.coulomb_phi >= 0 && std::isfinite(f.coulomb_phi)) ||
           !(f.coulomb_theta >= 0 && std::isfinite(f.coulomb_theta)) ||
           !(f.coulomb_psi >= 0 && std::isfinite(f.coulomb_psi)))
  {
    err << "friction coulomb_phi/coulomb_theta/coulomb_psi = " << f.coulomb_phi << "/" << f.coulomb_theta << "/"
        << f.coulomb_psi << " N*m: Coulomb levels must be finite and not negative";
  }
  else if (!(rig.sensor.angle_noise >= 0 && std::isfinite(rig.sensor.angle_noise)))
  {
    err << "sensor angle_noise is " << rig.sensor.angle_noise << " rad: give 0 (none) or a positive deviation";
  }
  else if (!(rig.sensor.counts_per_rev >= 0 && std::isfinite(rig.sensor.counts_per_rev)))
  {
    err << "sensor counts_per_rev is " << rig.sensor.counts_per_rev
        << ": give the encoders' counts per revolution (e.g. 4096), or 0 for exact angles";
  }
  return err.str();
}

namespace
{
zv_rig::RigDescription idealRig(const RigParams& p)
{
  zv_rig::RigDescription rig;
  rig.zorvik = p;
  return rig;
}
}  // namespace

RigModel::RigModel(const RigParams& p, const RigLimits& limits) : RigModel(idealRig(p), limits)
{
}

RigModel::RigModel(const zv_rig::RigDescription& rig, const RigLimits& limits)
    : rig_(rig), dynamics_(rigDynamicParamsOf(rig)), geometry_(rigGeometryOf(rig.zorvik, limits))
{
  state_.pitch = limits.pitch_min;
  applyStops();
}

void RigModel::setThrottles(double left, double right)
{
  u_left_ = clip01(left);
  u_right_ = clip01(right);
}

double RigModel::pitchInertia() const
{
  return rig_dynamics_detail::pitchInertiaOf(dynamics_, geometry_);
}

double RigModel::yawInertia() const
{
  return rig_dynamics_detail::yawInertiaOf(dynamics_, geometry_);
}

RigAccelerations RigModel::accelerations(const RigState& s, double f_left, double f_right) const
{
  return rigAccelerations(s, f_left, f_right, dynamics_, geometry_);
}

void RigModel::step(double dt)
{
  state_ = rigStep(state_, u_left_, u_right_, dynamics_, geometry_, dt);
}

void RigModel::applyStops()
{
  rig_dynamics_detail::stopAt(state_.pitch, state_.pitch_rate, limits().pitch_min, limits().pitch_max);
  rig_dynamics_detail::stopAt(state_.roll, state_.roll_rate, limits().roll_min, limits().roll_max);
}

void RigModel::setState(const RigState& s)
{
  state_ = s;
  applyStops();
}

double RigModel::energy() const
{
  const RigState& s = state_;
  const RigParams& p_ = rig_.zorvik;
  const double kinetic = 0.5 * (p_.J1x * s.roll_rate * s.roll_rate + pitchInertia() * s.pitch_rate * s.pitch_rate +
                                yawInertia() * s.yaw_rate * s.yaw_rate);
  const double potential = (p_.m1 * p_.l1 + p_.m2 * p_.l2) * p_.g * std::sin(s.pitch);
  return kinetic + potential;
}

}  // namespace zv_sim
