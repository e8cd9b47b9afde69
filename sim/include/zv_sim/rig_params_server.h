// The rig's parameters from the ROS parameter server (/zorvik/), for the
// programs that simulate the rig: the emulator and the simulated board.
#ifndef ZV_SIM_RIG_PARAMS_SERVER_H
#define ZV_SIM_RIG_PARAMS_SERVER_H

#include <string>

#include <ros/ros.h>

#include "zv_sim/rig_model.h"

namespace zv_sim
{
// Reads every key the model uses into p; logs one fatal line per missing key,
// naming `program`, and returns false if any was missing. Keys the model does
// not use (l3z, J2x, J3x, J3y, J3z) may be missing.
inline bool readRigParamsFromServer(RigParams& p, const char* program)
{
  ros::NodeHandle nh;
  bool ok = true;
  for (const RigParamField& f : kRigParamFields)
  {
    const std::string key = f.key;
    const bool unused = key == "l3z" || key == "J2x" || key == "J3x" || key == "J3y" || key == "J3z";
    if (!nh.getParam("/zorvik/" + key, p.*f.member) && !unused)
    {
      ROS_FATAL(
          "parameter /zorvik/%s is missing or not a number: load the rig parameters (e.g. "
          "controller/config/zorvik_params.yaml) before starting the %s",
          key.c_str(), program);
      ok = false;
    }
  }
  return ok;
}

}  // namespace zv_sim

#endif  // ZV_SIM_RIG_PARAMS_SERVER_H
