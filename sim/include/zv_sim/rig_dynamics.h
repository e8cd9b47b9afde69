// The Zorvik rig's equations of motion, written once for any scalar type: the
// simulator steps them with double, the identification differentiates the very
// same code with automatic-differentiation scalars (ceres::Jet). Header only,
// no ROS, no I/O. Code on the scalar path uses comparisons and unqualified
// cos/sin/exp (found by argument-dependent lookup), never std::abs/max/isnan.
//
// Sign conventions and units (radians, seconds, newtons, N*m):
//  - the body turns yaw, then pitch, then roll;
//  - pitch > 0 lifts the body; gravity pulls it towards negative pitch;
//  - roll > 0 when the left motor pushes harder than the right one;
//  - yaw > 0 is the turn that a positive roll produces by tilting the thrust;
//    both propellers turn the same way, and their reaction torque about yaw is
//    reaction_torque * (thrust_left + thrust_right): positive turns yaw positive;
//  - throttles are in [0, 1]; thrusts in N; Coulomb levels in N*m.
//
// Motors. With throttle u, start threshold s and expo e:
//    x = (u - s) / (1 - s) for u > s, else 0 (the motor does not turn),
//    commanded thrust = gain * km * ((1 - e) * x + e * x^2).
// The produced thrust follows the commanded one with a first-order lag, time
// constant tau_up while it rises and tau_down while it falls (0: at once).
//
// Equations of motion, F = thrust_left + thrust_right, C_* the Coulomb terms:
//    J1x * roll'' = d * (thrust_left - thrust_right) - Bphi * roll' - C_phi
//    (m1*l1^2 + m2*l2^2 + J1y + J2y) * pitch''
//        = lT * F * cos(roll) - (m1*l1 + m2*l2) * g * cos(pitch) - Bth * pitch' - C_theta
//    (m1*l1^2 + m2*l2^2 + m3*(l3x^2 + l3y^2) + J1z + J2z) * yaw''
//        = lT * F * cos(pitch) * sin(roll) + reaction_torque * F - Bpsi * yaw' - C_psi
//
// Friction on each axis: viscous (B * rate) plus Coulomb (c * sign(rate)). A
// body at rest stays at rest while the magnitude of every other torque on it
// is at most c (stiction); beyond that it starts with that torque less c.
//
// One step of dt seconds (rigStep), in this order:
//  1. the throttles are held over the whole step (zero-order hold, as the
//     firmware's PWM); each motor's commanded thrust comes from the curve;
//  2. each motor's lag picks tau_up if the commanded thrust exceeds the
//     produced one at the step's start, else tau_down, and the produced thrust
//     over the step is the lag's exact solution
//        F(t) = F_cmd + (F(0) - F_cmd) * exp(-t / tau)   (tau = 0: F = F_cmd);
//  3. each axis with Coulomb friction gets its phase for the whole step from
//     the state at the step's start (F(0)): sliding against its rate; at rest,
//     starting against the other torques if they exceed c, else stuck (its
//     rate stays 0). Fixing it per step keeps RK4 off the discontinuity, which
//     would otherwise hold a small rate at a limit cycle instead of stopping;
//  4. one classical RK4 step of the six body states (angles and rates), its
//     stages using F(0), F(dt/2), F(dt/2), F(dt);
//  5. the produced thrusts become F(dt);
//  6. a sliding axis whose rate changed sign during the step passed through
//     rest: it stays there (rate 0) unless the other torques at the step's
//     start exceed c against its old direction; then it slides on, its rate
//     corrected for the friction's turn over the rest of the step;
//  7. the stops: pitch and roll are clamped to their limits, keeping no speed
//     into the stop (inelastic). Yaw turns freely and is not wrapped.
// With no lag, e = 0, s = 0, gains 1, no reaction torque and no Coulomb
// friction this is the ideal rig: thrust = km * throttle, at once.
#ifndef ZV_SIM_RIG_DYNAMICS_H
#define ZV_SIM_RIG_DYNAMICS_H

#include <cmath>

#include "zv_rig/rig_params.h"

namespace zv_sim
{
// Mechanical stops of the pitch and roll bearings, rad. Yaw turns freely.
struct RigLimits
{
  double pitch_min = -0.5;
  double pitch_max = 0.5;
  double roll_min = -0.6;
  double roll_max = 0.6;
};

// Angles, rates (rad/s) and the thrust each motor produces (N).
template <typename T>
struct RigStateT
{
  T roll = T(0), pitch = T(0), yaw = T(0);
  T roll_rate = T(0), pitch_rate = T(0), yaw_rate = T(0);
  T thrust_left = T(0), thrust_right = T(0);
};
using RigState = RigStateT<double>;

template <typename T>
struct RigAccelerationsT
{
  T roll = T(0), pitch = T(0), yaw = T(0);
};
using RigAccelerations = RigAccelerationsT<double>;

// What identification fits; the rig file's names (SI units as in rig_params.h).
template <typename T>
struct RigDynamicParams
{
  T km = T(0);
  T J1x = T(0);
  T pitch_inertia = T(0);  // J1y + J2y (the point masses' share is in RigGeometry)
  T yaw_inertia = T(0);    // J1z + J2z, likewise
  T Bphi = T(0), Bth = T(0), Bpsi = T(0);
  T thrust_expo = T(0);
  T throttle_start = T(0);
  T tau_up = T(0), tau_down = T(0);
  T reaction_torque = T(0);
  T coulomb_phi = T(0), coulomb_theta = T(0), coulomb_psi = T(0);
  T left_gain = T(1), right_gain = T(1);
};

// What a ruler and a scale measure, and the stops: fixed during a fit.
struct RigGeometry
{
  double d = 0;   // motor arm about roll, m
  double lT = 0;  // thrust arm about pitch, m
  // Gravity's moment about pitch at pitch 0: (m1*l1 + m2*l2) * g, N*m.
  double gravity_moment = 0;
  // The point masses' inertia about pitch (m1*l1^2 + m2*l2^2) and about yaw
  // (that plus m3*(l3x^2 + l3y^2)), kg*m^2.
  double pitch_point_inertia = 0;
  double yaw_point_inertia = 0;
  RigLimits limits;
};

inline RigGeometry rigGeometryOf(const zv_rig::RigParams& p, const RigLimits& limits = RigLimits())
{
  RigGeometry g;
  g.d = p.d;
  g.lT = p.lT;
  g.gravity_moment = (p.m1 * p.l1 + p.m2 * p.l2) * p.g;
  g.pitch_point_inertia = p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2;
  g.yaw_point_inertia = p.m1 * p.l1 * p.l1 + p.m2 * p.l2 * p.l2 + p.m3 * (p.l3x * p.l3x + p.l3y * p.l3y);
  g.limits = limits;
  return g;
}

inline RigDynamicParams<double> rigDynamicParamsOf(const zv_rig::RigDescription& r)
{
  RigDynamicParams<double> q;
  q.km = r.zorvik.km;
  q.J1x = r.zorvik.J1x;
  q.pitch_inertia = r.zorvik.J1y + r.zorvik.J2y;
  q.yaw_inertia = r.zorvik.J1z + r.zorvik.J2z;
  q.Bphi = r.zorvik.Bphi;
  q.Bth = r.zorvik.Bth;
  q.Bpsi = r.zorvik.Bpsi;
  q.thrust_expo = r.actuator.thrust_expo;
  q.throttle_start = r.actuator.throttle_start;
  q.tau_up = r.actuator.tau_up;
  q.tau_down = r.actuator.tau_down;
  q.reaction_torque = r.actuator.reaction_torque;
  q.coulomb_phi = r.friction.coulomb_phi;
  q.coulomb_theta = r.friction.coulomb_theta;
  q.coulomb_psi = r.friction.coulomb_psi;
  q.left_gain = r.actuator.left_gain;
  q.right_gain = r.actuator.right_gain;
  return q;
}

// The same parameters in another scalar type (e.g. to start a fit from them).
template <typename T, typename S>
RigDynamicParams<T> rigDynamicParamsCast(const RigDynamicParams<S>& p)
{
  RigDynamicParams<T> q;
  q.km = T(p.km);
  q.J1x = T(p.J1x);
  q.pitch_inertia = T(p.pitch_inertia);
  q.yaw_inertia = T(p.yaw_inertia);
  q.Bphi = T(p.Bphi);
  q.Bth = T(p.Bth);
  q.Bpsi = T(p.Bpsi);
  q.thrust_expo = T(p.thrust_expo);
  q.throttle_start = T(p.throttle_start);
  q.tau_up = T(p.tau_up);
  q.tau_down = T(p.tau_down);
  q.reaction_torque = T(p.reaction_torque);
  q.coulomb_phi = T(p.coulomb_phi);
  q.coulomb_theta = T(p.coulomb_theta);
  q.coulomb_psi = T(p.coulomb_psi);
  q.left_gain = T(p.left_gain);
  q.right_gain = T(p.right_gain);
  return q;
}

// Steady thrust as a fraction of gain * km for throttle u in [0, 1].
template <typename T>
T thrustFraction(const T& u, const T& expo, const T& start)
{
  if (!(u > start))
  {
    return T(0);
  }
  const T x = (u - start) / (T(1) - start);
  return (T(1) - expo) * x + expo * x * x;
}

// The throttle whose steady thrust is the given fraction c in [0, 1] of full
// thrust: the curve's inverse (c = 0 gives 0, the motor off). Plain double:
// for tests and for planning throttles, not on a differentiated path.
inline double throttleForThrustFraction(double c, double expo, double start)
{
  if (!(c > 0))
  {
    return 0.0;
  }
  if (c >= 1)
  {
    return 1.0;
  }
  // (1 - e) x + e x^2 = c, the positive root; e = 0 is the straight line.
  const double x =
      expo > 0 ? (std::sqrt((1 - expo) * (1 - expo) + 4 * expo * c) - (1 - expo)) / (2 * expo) : c;
  return start + (1 - start) * x;
}

// How Coulomb friction acts on one axis during a step.
enum class CoulombPhase
{
  kNone,             // no Coulomb friction on this axis
  kSlidingPositive,  // moving (or starting) towards positive angles: -c
  kSlidingNegative,  // towards negative angles: +c
  kStuck,            // at rest, held by stiction: no acceleration
};

struct CoulombPhases
{
  CoulombPhase roll = CoulombPhase::kNone, pitch = CoulombPhase::kNone, yaw = CoulombPhase::kNone;
};

// Every torque on each axis but Coulomb friction, N*m.
template <typename T>
struct RigTorquesT
{
  T roll = T(0), pitch = T(0), yaw = T(0);
};

namespace rig_dynamics_detail
{
template <typename T>
RigTorquesT<T> torques(const RigStateT<T>& s, const T& f_left, const T& f_right, const RigDynamicParams<T>& p,
                       const RigGeometry& g)
{
  using std::cos;
  using std::sin;
  const T thrust = f_left + f_right;
  RigTorquesT<T> tq;
  tq.roll = g.d * (f_left - f_right) - p.Bphi * s.roll_rate;
  tq.pitch = g.lT * thrust * cos(s.roll) - g.gravity_moment * cos(s.pitch) - p.Bth * s.pitch_rate;
  tq.yaw = g.lT * thrust * cos(s.pitch) * sin(s.roll) + p.reaction_torque * thrust - p.Bpsi * s.yaw_rate;
  return tq;
}

template <typename T>
CoulombPhase phaseOf(const T& torque, const T& rate, const T& c)
{
  if (!(c > T(0)))
  {
    return CoulombPhase::kNone;
  }
  if (rate > T(0) || (!(rate < T(0)) && torque > c))
  {
    return CoulombPhase::kSlidingPositive;
  }
  if (rate < T(0) || torque < -c)
  {
    return CoulombPhase::kSlidingNegative;
  }
  return CoulombPhase::kStuck;
}

template <typename T>
CoulombPhases phasesOf(const RigStateT<T>& s, const RigTorquesT<T>& tq, const RigDynamicParams<T>& p)
{
  CoulombPhases ph;
  ph.roll = phaseOf(tq.roll, s.roll_rate, p.coulomb_phi);
  ph.pitch = phaseOf(tq.pitch, s.pitch_rate, p.coulomb_theta);
  ph.yaw = phaseOf(tq.yaw, s.yaw_rate, p.coulomb_psi);
  return ph;
}

template <typename T>
T netTorque(const T& torque, const T& c, CoulombPhase phase)
{
  switch (phase)
  {
    case CoulombPhase::kSlidingPositive:
      return torque - c;
    case CoulombPhase::kSlidingNegative:
      return torque + c;
    case CoulombPhase::kStuck:
      return T(0);
    case CoulombPhase::kNone:
      break;
  }
  return torque;
}

// Each axis's whole inertia: the fitted body's share and the point masses'.
template <typename T>
T pitchInertiaOf(const RigDynamicParams<T>& p, const RigGeometry& g)
{
  return g.pitch_point_inertia + p.pitch_inertia;
}

template <typename T>
T yawInertiaOf(const RigDynamicParams<T>& p, const RigGeometry& g)
{
  return g.yaw_point_inertia + p.yaw_inertia;
}

template <typename T>
RigAccelerationsT<T> accelerationsIn(const RigTorquesT<T>& tq, const CoulombPhases& ph, const RigDynamicParams<T>& p,
                                     const RigGeometry& g)
{
  RigAccelerationsT<T> a;
  a.roll = netTorque(tq.roll, p.coulomb_phi, ph.roll) / p.J1x;
  a.pitch = netTorque(tq.pitch, p.coulomb_theta, ph.pitch) / pitchInertiaOf(p, g);
  a.yaw = netTorque(tq.yaw, p.coulomb_psi, ph.yaw) / yawInertiaOf(p, g);
  return a;
}

template <typename T>
RigStateT<T> derivative(const RigStateT<T>& s, const T& f_left, const T& f_right, const CoulombPhases& ph,
                        const RigDynamicParams<T>& p, const RigGeometry& g)
{
  const RigAccelerationsT<T> a = accelerationsIn(torques(s, f_left, f_right, p, g), ph, p, g);
  RigStateT<T> ds;
  ds.roll = s.roll_rate;
  ds.pitch = s.pitch_rate;
  ds.yaw = s.yaw_rate;
  ds.roll_rate = a.roll;
  ds.pitch_rate = a.pitch;
  ds.yaw_rate = a.yaw;
  return ds;
}

template <typename T>
RigStateT<T> axpy(const RigStateT<T>& s, double h, const RigStateT<T>& ds)
{
  RigStateT<T> r;
  r.roll = s.roll + h * ds.roll;
  r.pitch = s.pitch + h * ds.pitch;
  r.yaw = s.yaw + h * ds.yaw;
  r.roll_rate = s.roll_rate + h * ds.roll_rate;
  r.pitch_rate = s.pitch_rate + h * ds.pitch_rate;
  r.yaw_rate = s.yaw_rate + h * ds.yaw_rate;
  return r;
}

// Inelastic stop: the bearing stops at its limit and keeps no speed into it.
template <typename T>
void stopAt(T& angle, T& rate, double lo, double hi)
{
  if (angle <= T(lo))
  {
    angle = T(lo);
    if (rate < T(0))
    {
      rate = T(0);
    }
  }
  else if (angle >= T(hi))
  {
    angle = T(hi);
    if (rate > T(0))
    {
      rate = T(0);
    }
  }
}

// A sliding axis whose rate changed sign during the step passed through rest,
// at the share f = before / (before - rate) of the step. Stiction decides
// there: unless the other torques (`torque`, at the step's start) push on
// beyond c against the old direction, it stays at rest. If they do, it slides
// on the other way, and the friction RK4 kept against the old direction over
// the rest of the step, (1 - f) * dt, turns round: 2c over that time. Setting
// every reversal's rate to 0 instead lost up to a step's acceleration each
// time: an error of the step's order, so that the same rig stepped at 1 ms
// and at 2.5 ms drifted apart by more than encoders resolve.
template <typename T>
void passThroughRest(T& rate, const T& before, CoulombPhase phase, const T& torque, const T& c, const T& inertia,
                     double dt)
{
  if (phase != CoulombPhase::kSlidingPositive && phase != CoulombPhase::kSlidingNegative)
  {
    return;
  }
  const bool from_positive = before > T(0) && rate < T(0);
  const bool from_negative = before < T(0) && rate > T(0);
  if (!from_positive && !from_negative)
  {
    return;
  }
  const bool slides_on = from_positive ? torque < -c : torque > c;
  if (!slides_on)
  {
    rate = T(0);
    return;
  }
  const T rest_of_step = (T(1) - before / (before - rate)) * dt;
  rate += (from_positive ? T(2) : T(-2)) * c * rest_of_step / inertia;
}

// The lag's exact solution over one step: the produced thrust at 0, dt/2 and dt.
template <typename T>
void lagOverStep(const T& produced, const T& commanded, const T& tau_up, const T& tau_down, double dt, T& at_start,
                 T& at_half, T& at_end)
{
  using std::exp;
  const T tau = commanded > produced ? tau_up : tau_down;
  if (!(tau > T(0)))
  {
    at_start = commanded;
    at_half = commanded;
    at_end = commanded;
    return;
  }
  at_start = produced;
  const T decay_half = exp(-(0.5 * dt) / tau);
  at_half = commanded + (produced - commanded) * decay_half;
  at_end = commanded + (produced - commanded) * (decay_half * decay_half);
}
}  // namespace rig_dynamics_detail

// Angular accelerations for a state and the two produced thrusts (N); Coulomb
// friction and stiction as they act in that state, the stops not applied.
template <typename T>
RigAccelerationsT<T> rigAccelerations(const RigStateT<T>& s, const T& f_left, const T& f_right,
                                      const RigDynamicParams<T>& p, const RigGeometry& g)
{
  using namespace rig_dynamics_detail;
  const RigTorquesT<T> tq = torques(s, f_left, f_right, p, g);
  return accelerationsIn(tq, phasesOf(s, tq, p), p, g);
}

// Steady (commanded) thrust of each motor for a throttle, N.
template <typename T>
T commandedThrust(const T& u, const T& gain, const RigDynamicParams<T>& p)
{
  return gain * p.km * thrustFraction(u, p.thrust_expo, p.throttle_start);
}

// One step of dt seconds from s with the throttles held (each in [0, 1]; the
// caller clips them), in the order documented at the top of this file.
template <typename T>
RigStateT<T> rigStep(const RigStateT<T>& s, const T& u_left, const T& u_right, const RigDynamicParams<T>& p,
                     const RigGeometry& g, double dt)
{
  using namespace rig_dynamics_detail;
  const T cmd_left = commandedThrust(u_left, p.left_gain, p);
  const T cmd_right = commandedThrust(u_right, p.right_gain, p);
  T left_start, left_half, left_end, right_start, right_half, right_end;
  lagOverStep(s.thrust_left, cmd_left, p.tau_up, p.tau_down, dt, left_start, left_half, left_end);
  lagOverStep(s.thrust_right, cmd_right, p.tau_up, p.tau_down, dt, right_start, right_half, right_end);
  const RigTorquesT<T> tq = torques(s, left_start, right_start, p, g);
  const CoulombPhases ph = phasesOf(s, tq, p);

  const RigStateT<T> k1 = derivative(s, left_start, right_start, ph, p, g);
  const RigStateT<T> k2 = derivative(axpy(s, dt / 2, k1), left_half, right_half, ph, p, g);
  const RigStateT<T> k3 = derivative(axpy(s, dt / 2, k2), left_half, right_half, ph, p, g);
  const RigStateT<T> k4 = derivative(axpy(s, dt, k3), left_end, right_end, ph, p, g);
  RigStateT<T> sum = k1;
  sum = axpy(sum, 2.0, k2);
  sum = axpy(sum, 2.0, k3);
  sum = axpy(sum, 1.0, k4);
  RigStateT<T> next = axpy(s, dt / 6, sum);
  next.thrust_left = left_end;
  next.thrust_right = right_end;

  passThroughRest(next.roll_rate, s.roll_rate, ph.roll, tq.roll, p.coulomb_phi, p.J1x, dt);
  passThroughRest(next.pitch_rate, s.pitch_rate, ph.pitch, tq.pitch, p.coulomb_theta, pitchInertiaOf(p, g), dt);
  passThroughRest(next.yaw_rate, s.yaw_rate, ph.yaw, tq.yaw, p.coulomb_psi, yawInertiaOf(p, g), dt);
  stopAt(next.pitch, next.pitch_rate, g.limits.pitch_min, g.limits.pitch_max);
  stopAt(next.roll, next.roll_rate, g.limits.roll_min, g.limits.roll_max);
  return next;
}

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_DYNAMICS_H
