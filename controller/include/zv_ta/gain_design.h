// Gain design of the Zorvik controller: pole placement from the rig's
// physical parameters. ROS-free so it can be checked without a master.
#ifndef ZV_TA_GAIN_DESIGN_H
#define ZV_TA_GAIN_DESIGN_H

#include <string>
#include <vector>

#include "zv_rig/rig_params.h"

namespace zorvik_controller
{
// The rig parameter set, one field per key under /zorvik/ (SI units,
// radians), in the single precision the design and the law compute in.
using RigParameters = zv_rig::BasicRigParams<float>;

struct Gains
{
  float F_e;  // equilibrium force, N
  float kp_phi, ki_phi, kd_phi;
  float kp_theta, ki_theta, kd_theta;
  float kp_psi, ki_psi, kd_psi;
  // Largest magnitude the pitch and yaw integrators may reach, rad*s, so that
  // ki * integrator stays within kPitchIntegralShare * F_e (N of force) and
  // kYawIntegralRoll (rad of roll reference). The roll integrator has none:
  // its ki is 0.
  float integrator_theta_limit, integrator_psi_limit;
};

// Share of F_e the pitch integral may add or take away: it trims the gravity
// feed-forward for what the parameters get wrong (masses, lengths, km).
const float kPitchIntegralShare = 0.2f;
// Roll the yaw integral may ask for, rad: a third of the body's +-0.6 rad roll
// stops, which leaves the rest of the roll range to the proportional and
// derivative terms.
const float kYawIntegralRoll = 0.2f;

// Total thrust whose moment about the pitch axis balances gravity.
float equilibriumForce(const RigParameters& p);

Gains designGains(const RigParameters& p);

// The design outputs that came out infinite or NaN, as "name = value" texts.
std::vector<std::string> nonFiniteDesignOutputs(const Gains& gains);

// Whether the law may drive the motors with this design: the divisors of the
// law (d, km) and of the roll and equilibrium design (lT, J1x) must be finite
// and non-zero, and every gain and F_e finite. A zero J1x, for instance, does
// not give an infinite gain but silently switches the roll loop off.
bool designDrivesMotors(const RigParameters& p, const Gains& gains);

// Clips a throttle to [0, 1]; +inf gives 1 and -inf gives 0. NaN passes
// through, so callers must not hand it one.
float saturateThrottle(float u);
}  // namespace zorvik_controller

#endif  // ZV_TA_GAIN_DESIGN_H
