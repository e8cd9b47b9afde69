// The default rig of controller/config/zorvik_params.yaml, for the model and
// firmware tests.
#ifndef ZV_SIM_TEST_DEFAULT_RIG_H
#define ZV_SIM_TEST_DEFAULT_RIG_H

#include "zv_sim/rig_model.h"

namespace zv_sim_test
{
inline zv_sim::RigParams defaultRig()
{
  zv_sim::RigParams p;
  p.l1 = 0.5;
  p.l2 = 0.25;
  p.l3x = 0.1;
  p.l3y = 0.05;
  p.l3z = 0.05;
  p.lT = 0.5;
  p.d = 0.2;
  p.m1 = 0.5;
  p.m2 = 0.2;
  p.m3 = 0.3;
  p.J1x = 0.02;
  p.J1y = 0.005;
  p.J1z = 0.02;
  p.J2x = 0.0005;
  p.J2y = 0.004;
  p.J2z = 0.004;
  p.J3x = p.J3y = p.J3z = 0.001;
  p.Bphi = 0.01;
  p.Bth = 0.02;
  p.Bpsi = 0.02;
  p.km = 5.0;
  p.g = 9.81;
  return p;
}

}  // namespace zv_sim_test

#endif  // ZV_SIM_TEST_DEFAULT_RIG_H
