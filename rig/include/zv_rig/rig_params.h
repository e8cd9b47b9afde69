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
// The rig's physical parameters; the same 24 keys as under /zorvik/.
struct RigParams
{
  double l1 = 0, l2 = 0, l3x = 0, l3y = 0, l3z = 0, lT = 0, d = 0;
  double m1 = 0, m2 = 0, m3 = 0;
  double J1x = 0, J1y = 0, J1z = 0, J2x = 0, J2y = 0, J2z = 0, J3x = 0, J3y = 0, J3z = 0;
  double Bphi = 0, Bth = 0, Bpsi = 0;
  double km = 0, g = 0;
};

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
  double angle_noise = 0;  // rad, standard deviation of white noise added before quantisation
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
