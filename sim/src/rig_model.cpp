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

// Inelastic stop: the bearing stops at its limit and keeps no speed into it.
void stopAt(double& angle, double& rate, double lo, double hi)
{
  if (angle <= lo)
  {
    angle = lo;
    rate = std::max(rate, 0.0);
  }
  else if (angle >= hi)
  {
    angle = hi;
    rate = std::min(rate, 0.0);
  }
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

RigModel::RigModel(const RigParams& p, const RigLimits& limits) : p_(p), limits_(limits)
{
  state_.pitch = limits_.pitch_min;
  applyStops();
}

void RigModel::setThrottles(double left, double right)
{
  u_left_ = clip01(left);
  u_right_ = clip01(right);
}

double RigModel::pitchInertia() const
{
  return pitchInertiaOf(p_);
}

double RigModel::yawInertia() const
{
  return yawInertiaOf(p_);
}

RigAccelerations RigModel::accelerations(const RigState& s, double f_left, double f_right) const
{
  const double thrust = f_left + f_right;
  RigAccelerations a;
  a.roll = (p_.d * (f_left - f_right) - p_.Bphi * s.roll_rate) / p_.J1x;
  a.pitch = (p_.lT * thrust * std::cos(s.roll) - (p_.m1 * p_.l1 + p_.m2 * p_.l2) * p_.g * std::cos(s.pitch) -
             p_.Bth * s.pitch_rate) /
            pitchInertia();
  a.yaw = (p_.lT * thrust * std::cos(s.pitch) * std::sin(s.roll) - p_.Bpsi * s.yaw_rate) / yawInertia();
  return a;
}

RigState RigModel::derivative(const RigState& s, double f_left, double f_right) const
{
  const RigAccelerations a = accelerations(s, f_left, f_right);
  RigState ds;
  ds.roll = s.roll_rate;
  ds.pitch = s.pitch_rate;
  ds.yaw = s.yaw_rate;
  ds.roll_rate = a.roll;
  ds.pitch_rate = a.pitch;
  ds.yaw_rate = a.yaw;
  return ds;
}

namespace
{
RigState axpy(const RigState& s, double h, const RigState& ds)
{
  RigState r;
  r.roll = s.roll + h * ds.roll;
  r.pitch = s.pitch + h * ds.pitch;
  r.yaw = s.yaw + h * ds.yaw;
  r.roll_rate = s.roll_rate + h * ds.roll_rate;
  r.pitch_rate = s.pitch_rate + h * ds.pitch_rate;
  r.yaw_rate = s.yaw_rate + h * ds.yaw_rate;
  return r;
}
}  // namespace

void RigModel::step(double dt)
{
  // The throttles are held over the step (zero-order hold, as the firmware's PWM).
  const double fl = p_.km * u_left_;
  const double fr = p_.km * u_right_;
  const RigState k1 = derivative(state_, fl, fr);
  const RigState k2 = derivative(axpy(state_, dt / 2, k1), fl, fr);
  const RigState k3 = derivative(axpy(state_, dt / 2, k2), fl, fr);
  const RigState k4 = derivative(axpy(state_, dt, k3), fl, fr);
  RigState sum = k1;
  sum = axpy(sum, 2.0, k2);
  sum = axpy(sum, 2.0, k3);
  sum = axpy(sum, 1.0, k4);
  state_ = axpy(state_, dt / 6, sum);
  applyStops();
}

void RigModel::applyStops()
{
  stopAt(state_.pitch, state_.pitch_rate, limits_.pitch_min, limits_.pitch_max);
  stopAt(state_.roll, state_.roll_rate, limits_.roll_min, limits_.roll_max);
}

void RigModel::setState(const RigState& s)
{
  state_ = s;
  applyStops();
}

double RigModel::energy() const
{
  const RigState& s = state_;
  const double kinetic = 0.5 * (p_.J1x * s.roll_rate * s.roll_rate + pitchInertia() * s.pitch_rate * s.pitch_rate +
                                yawInertia() * s.yaw_rate * s.yaw_rate);
  const double potential = (p_.m1 * p_.l1 + p_.m2 * p_.l2) * p_.g * std::sin(s.pitch);
  return kinetic + potential;
}

}  // namespace zv_sim
