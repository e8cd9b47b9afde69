// The rig's 24 parameters read straight from a parameter file such as
// controller/config/zorvik_params.yaml, without ROS: for tests and programs
// that must use the very values the controller is loaded with.
//
// The file is the flat YAML the ROS parameter server loads: a top-level
// `zorvik:` line, then one indented `key: value` line per parameter, `#`
// comments and blank lines anywhere. Other top-level sections are passed over;
// keys under `zorvik:` that are not rig parameters are ignored.
#ifndef ZV_SIM_RIG_PARAMS_FILE_H
#define ZV_SIM_RIG_PARAMS_FILE_H

#include <string>

#include "zv_sim/rig_model.h"

namespace zv_sim
{
// Fills all 24 members of `params` from the file at `path`. Returns "" on
// success, else a message naming the file (and line), the key, the value found
// and what to do; `params` is then left unchanged.
std::string readRigParamsFile(const std::string& path, RigParams& params);

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_PARAMS_FILE_H
