// The rig's 24 parameters from the ROS parameter server (/zorvik/), for the
// controller and for the programs that simulate the rig. A header, so that
// the ROS-free users of zv_rig never link roscpp.
#ifndef ZV_RIG_RIG_PARAMS_SERVER_H
#define ZV_RIG_RIG_PARAMS_SERVER_H

#include <array>
#include <string>

#include <ros/ros.h>

#include "zv_rig/rig_file.h"
#include "zv_rig/rig_params.h"

namespace zv_rig
{
enum class ServerParam
{
  kRead,
  kMissing,
  kNotANumber,  // there, but neither a double nor an int
};

inline const char* describe(ServerParam status)
{
  return status == ServerParam::kMissing ? "is missing" : status == ServerParam::kNotANumber ? "is not a number" : "is read";
}

// Reads every key /zorvik/<key> into p, in the order of kRigParamFields; a
// key that is not read leaves its member as it was. Reading a double and
// rounding it to float afterwards gives the float getParam's value exactly.
inline std::array<ServerParam, 24> readRigParamsFromServer(const ros::NodeHandle& nh, RigParams& p)
{
  std::array<ServerParam, 24> status;
  for (size_t i = 0; i < kRigParamFields.size(); ++i)
  {
    const std::string key = std::string("/zorvik/") + kRigParamFields[i].key;
    if (nh.getParam(key, p.*kRigParamFields[i].member))
    {
      status[i] = ServerParam::kRead;
    }
    else
    {
      status[i] = nh.hasParam(key) ? ServerParam::kNotANumber : ServerParam::kMissing;
    }
  }
  return status;
}

// For the programs that simulate the rig: logs one fatal line per key the
// model needs that is missing or not a number, naming `program`, and returns
// false if there was any. Keys the model does not use (l3z, J2x, J3x, J3y,
// J3z) may be missing.
inline bool readRigParamsFromServer(RigParams& p, const char* program)
{
  const std::array<ServerParam, 24> status = readRigParamsFromServer(ros::NodeHandle(), p);
  bool ok = true;
  for (size_t i = 0; i < kRigParamFields.size(); ++i)
  {
    const std::string key = kRigParamFields[i].key;
    const bool unused = key == "l3z" || key == "J2x" || key == "J3x" || key == "J3y" || key == "J3z";
    if (status[i] != ServerParam::kRead && !unused)
    {
      ROS_FATAL(
          "parameter /zorvik/%s %s: load the rig parameters (e.g. rig/config/zorvik_params.yaml of package "
          "zv_rig) before starting the %s, or give it a rig file in ~rig_file",
          key.c_str(), describe(status[i]), program);
      ok = false;
    }
  }
  return ok;
}

// The simulated rig's truth for `program`: the rig file named by its private
// parameter ~rig_file when that is set, else the /zorvik/ parameters with an
// ideal actuator, friction and sensor. Logs the reason as fatal and returns
// false when neither can be read.
inline bool readSimulatedRig(RigDescription& rig, const char* program)
{
  std::string path;
  if (ros::NodeHandle("~").getParam("rig_file", path))
  {
    const std::string error = readRigFile(path, rig);
    if (!error.empty())
    {
      ROS_FATAL("the %s cannot simulate the rig in ~rig_file: %s", program, error.c_str());
      return false;
    }
    return true;
  }
  RigDescription ideal;
  if (!readRigParamsFromServer(ideal.zorvik, program))
  {
    return false;
  }
  rig = ideal;
  return true;
}

}  // namespace zv_rig

#endif  // ZV_RIG_RIG_PARAMS_SERVER_H
