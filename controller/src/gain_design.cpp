#include "zv_ta/gain_design.h"

#include <cmath>
#include <sstream>

namespace zorvik_controller
{
namespace
{
// Rise times of the three loops, s.
const float tr_phi = 0.25f;
const float tr_theta = 0.5f;
const float tr_psi = 1.0f;
const double kRiseTimeFactor = 2.2;  // natural frequency = 2.2 / rise time
const double kDamping = 0.8;         // shared by all three loops

float proportionalGain(float tr, float b)
{
  const double wn = kRiseTimeFactor / static_cast<double>(tr);
  return static_cast<float>(std::pow(wn, 2) / static_cast<double>(b));
}

float derivativeGain(float tr, float b)
{
  const double wn = kRiseTimeFactor / static_cast<double>(tr);
  return static_cast<float>(2 * wn * kDamping / static_cast<double>(b));
}

double sq(float x)
{
  return std::pow(static_cast<double>(x), 2);
}

// m1*l1^2 + m2*l2^2, the arm's share of the pitch and yaw inertia sums.
double armInertia(const RigParameters& p)
{
  return static_cast<double>(p.m1) * sq(p.l1) + static_cast<double>(p.m2) * sq(p.l2);
}

bool finiteNonZero(float x)
{
  return std::isfinite(x) && x != 0.0f;
}
}  // namespace

float equilibriumForce(const RigParameters& p)
{
  return (p.m1 * p.l1 + p.m2 * p.l2) * p.g / p.lT;
}

Gains designGains(const RigParameters& p)
{
  Gains k;
  k.F_e = equilibriumForce(p);

  const float S_psi = static_cast<float>((armInertia(p) + static_cast<double>(p.J2z)) +
                                         static_cast<double>(p.m3) * (sq(p.l3x) + sq(p.l3y)));
  const float b_psi = (k.F_e * p.lT) / (p.J1z + S_psi);  // yaw acceleration per radian of roll
  const float b_phi = 1.0f / p.J1x;                      // roll acceleration per unit torque
  const float b_theta = static_cast<float>(static_cast<double>(p.lT) /
                                           ((armInertia(p) + static_cast<double>(p.J1y)) + static_cast<double>(p.J2y)));

  k.kp_phi = proportionalGain(tr_phi, b_phi);
  k.ki_phi = 0.0f;
  k.kd_phi = derivativeGain(tr_phi, b_phi);
  k.kp_theta = proportionalGain(tr_theta, b_theta);
  k.ki_theta = 0.05f;
  k.kd_theta = derivativeGain(tr_theta, b_theta);
  k.kp_psi = proportionalGain(tr_psi, b_psi);
  k.ki_psi = 0.02f;
  k.kd_psi = derivativeGain(tr_psi, b_psi);

  k.integrator_theta_limit = std::fabs(kPitchIntegralShare * k.F_e / k.ki_theta);
  k.integrator_psi_limit = kYawIntegralRoll / k.ki_psi;
  return k;
}

std::vector<std::string> nonFiniteDesignOutputs(const Gains& gains)
{
  const struct
  {
    const char* name;
    float value;
  } outputs[] = {{"F_e", gains.F_e},           {"kp_phi", gains.kp_phi},     {"ki_phi", gains.ki_phi},
                 {"kd_phi", gains.kd_phi},     {"kp_theta", gains.kp_theta}, {"ki_theta", gains.ki_theta},
                 {"kd_theta", gains.kd_theta}, {"kp_psi", gains.kp_psi},     {"ki_psi", gains.ki_psi},
                 {"kd_psi", gains.kd_psi}};
  std::vector<std::string> bad;
  for (const auto& o : outputs)
  {
    if (!std::isfinite(o.value))
    {
      std::ostringstream s;
      s << o.name << " = " << o.value;
      bad.push_back(s.str());
    }
  }
  return bad;
}

bool designDrivesMotors(const RigParameters& p, const Gains& gains)
{
  return finiteNonZero(p.d) && finiteNonZero(p.km) && finiteNonZero(p.lT) && finiteNonZero(p.J1x) &&
         nonFiniteDesignOutputs(gains).empty();
}

float saturateThrottle(float u)
{
  if (u < 0.0f)
  {
    u = 0.0f;
  }
  else if (u > 1.0f)
  {
    u = 1.0f;
  }
  return u;
}
}  // namespace zorvik_controller
