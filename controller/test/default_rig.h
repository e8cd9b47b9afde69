// The default rig for the tests, read through the shared reader from the
// parameter file that controller.launch loads, so that its values are typed
// in one place only.
#ifndef ZV_TA_TEST_DEFAULT_RIG_H
#define ZV_TA_TEST_DEFAULT_RIG_H

#include "zv_ta/gain_design.h"

#include "zv_rig/rig_file.h"

#include <map>
#include <stdexcept>
#include <string>

namespace zv_ta_test
{
using RigMap = std::map<std::string, double>;

// Every key of the file, by name; throws std::runtime_error with the reader's
// message when the file cannot be read.
inline RigMap readRigYaml(const std::string& path = ZV_TA_RIG_YAML)
{
  zv_rig::RigParams params;
  const std::string error = zv_rig::readRigParamsFile(path, params);
  if (!error.empty())
  {
    throw std::runtime_error(error);
  }
  RigMap rig;
  for (const zv_rig::RigParamField& f : zv_rig::kRigParamFields)
  {
    rig[f.key] = params.*f.member;
  }
  return rig;
}

// The parameter set as the gain design takes it; every key must be there.
inline zorvik_controller::RigParameters rigParameters(const RigMap& rig)
{
  zv_rig::RigParams params;
  for (const zv_rig::RigParamField& f : zv_rig::kRigParamFields)
  {
    const auto it = rig.find(f.key);
    if (it == rig.end())
    {
      throw std::runtime_error(std::string("the rig parameter set has no key zorvik/") + f.key);
    }
    params.*f.member = it->second;
  }
  return zv_rig::rigParamsCast<float>(params);
}

// Read once per test program.
inline const RigMap& defaultRig()
{
  static const RigMap rig = readRigYaml();
  return rig;
}
}  // namespace zv_ta_test

#endif  // ZV_TA_TEST_DEFAULT_RIG_H
