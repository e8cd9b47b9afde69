// What the Zorvik rig is: its 24 physical parameters (the keys under /zorvik/)
// and what a real rig adds to them: the motors' thrust curve and lag, bearing
// friction beyond the viscous terms, and the angle sensor's noise. No ROS.
//
// Units: SI throughout (m, kg, kg*m^2, N*m*s/rad, N, m/s^2, s); angles in rad.
// Every default below is the ideal rig: thrust = km * throttle at once, only
// viscous friction, exact angles.
#ifndef ZV_RIG_RIG_PARAMS_H
#define ZV_RIG_RIG_PARAMS_H

#include <array>

namespace zv_rig
{
// The 24 keys in the order the controller reads them; X(key) once each.
#define ZV_RIG_PARAM_KEYS(X)                                                                                        \
  X(l1) X(l2) X(l3x) X(l3y) X(l3z) X(lT) X(d) X(m1) X(m2) X(m3) X(J1x) X(J1y) X(J1z) X(J2x) X(J2y) X(J2z) X(J3x) \
      X(J3y) X(J3z) X(Bphi) X(Bth) X(Bpsi) X(km) X(g)

// The rig's physical parameters; the same 24 keys as under /zorvik/. The
// simulator holds them in double; the controller designs and mixes in float,
// with the values the parameter server gives rounded once to float.
template <typename Scalar>
struct BasicRigParams
{
  Scalar l1 = 0, l2 = 0, l3x = 0, l3y = 0, l3z = 0, lT = 0, d = 0;
  Scalar m1 = 0, m2 = 0, m3 = 0;
  Scalar J1x = 0, J1y = 0, J1z = 0, J2x = 0, J2y = 0, J2z = 0, J3x = 0, J3y = 0, J3z = 0;
  Scalar Bphi = 0, Bth = 0, Bpsi = 0;
  Scalar km = 0, g = 0;
};
using RigParams = BasicRigParams<double>;

#define ZV_RIG_PARAM_COUNT_ONE(key) +1
static_assert(sizeof(RigParams) == (0 ZV_RIG_PARAM_KEYS(ZV_RIG_PARAM_COUNT_ONE)) * sizeof(double),
              "every member of BasicRigParams is in ZV_RIG_PARAM_KEYS");
#undef ZV_RIG_PARAM_COUNT_ONE

// The same parameters in another scalar type, each converted with static_cast.
template <typename To, typename From>
BasicRigParams<To> rigParamsCast(const BasicRigParams<From>& from)
{
  BasicRigParams<To> to;
#define ZV_RIG_PARAM_CAST_ONE(key) to.key = static_cast<To>(from.key);
  ZV_RIG_PARAM_KEYS(ZV_RIG_PARAM_CAST_ONE)
#undef ZV_RIG_PARAM_CAST_ONE
  return to;
}

struct RigParamField
{
  const char* key;  // key below /zorvik/
  double RigParams::*member;
};
// All 24 keys, in the order the controller reads them.
extern const std::array<RigParamField, 24> kRigParamFields;

// The motors and propellers (rig file section `actuator:`). With throttle u and
// start threshold s, x = (u - s) / (1 - s) for u > s, else 0 (the motor does
// not turn); the steady thrust of a motor is gain * km * ((1 - e) * x + e * x^2)
// with e = thrust_expo. The produced thrust follows that value with a
// first-order lag: tau_up while it rises, tau_down while it falls (0: at once).
struct ActuatorParams
{
  double tau_up = 0;           // s
  double tau_down = 0;         // s
  double thrust_expo = 0;      // e, in [0, 1]
  double throttle_start = 0;   // s, in [0, 0.5)
  double left_gain = 1;        // factor on km for the left motor
  double right_gain = 1;       // and for the right one
  double reaction_torque = 0;  // N*m of yaw torque per N of total thrust (both props turn the same way)
};

// Coulomb (dry) friction of each bearing beside the viscous Bphi, Bth, Bpsi
// (rig file section `friction:`), N*m.
struct FrictionParams
{
  double coulomb_phi = 0;
  double coulomb_theta = 0;
  double coulomb_psi = 0;
};

// The angle sensor (rig file section `sensor:`).
struct SensorParams
{
  double angle_noise = 0;     // rad, standard deviation of white noise added before quantisation
  double counts_per_rev = 0;  // the encoders' counts per revolution (x4 quadrature); 0: exact angles
};

// A whole rig file: the physical parameters and what a real rig adds.
struct RigDescription
{
  RigParams zorvik;
  ActuatorParams actuator;
  FrictionParams friction;
  SensorParams sensor;
};

}  // namespace zv_rig

#endif  // ZV_RIG_RIG_PARAMS_H
