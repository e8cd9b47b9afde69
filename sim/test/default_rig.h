// The default rig, read from rig/config/zorvik_params.yaml (the file the
// controller is loaded with; its path comes from the build as
// ZV_RIG_PARAMS_YAML), for the model and firmware tests.
#ifndef ZV_SIM_TEST_DEFAULT_RIG_H
#define ZV_SIM_TEST_DEFAULT_RIG_H

#include <stdexcept>
#include <string>

#include "zv_rig/rig_file.h"
#include "zv_sim/rig_model.h"

namespace zv_sim_test
{
// Throws std::runtime_error (a failed test, with the reader's message) when the
// file cannot be read.
inline zv_sim::RigParams defaultRig()
{
  zv_sim::RigParams p;
  const std::string error = zv_rig::readRigParamsFile(ZV_RIG_PARAMS_YAML, p);
  if (!error.empty())
  {
    throw std::runtime_error(error);
  }
  return p;
}

}  // namespace zv_sim_test

#endif  // ZV_SIM_TEST_DEFAULT_RIG_H
