// Rig files and parameter files, read and written without ROS.
//
// A rig file is YAML with up to four sections; a parameter file (what the
// controller is loaded with under /zorvik/) is a rig file with only the first:
//
//   zorvik:      # the 24 physical parameters, all required (RigParams)
//     l1: 0.5
//     ...
//   actuator:    # ActuatorParams: tau_up, tau_down, thrust_expo, throttle_start,
//     ...        #   left_gain, right_gain, reaction_torque
//   friction:    # FrictionParams: coulomb_phi, coulomb_theta, coulomb_psi
//   sensor:      # SensorParams: angle_noise, counts_per_rev
//
// A missing actuator, friction or sensor section or key takes the ideal value
// (the defaults of rig_params.h). Refused, with the file, the line, the key,
// the value and what is allowed: an unknown section or key, a key given twice,
// a value that is not a finite number, a negative time constant, Coulomb level,
// gain or noise, thrust_expo outside [0, 1], throttle_start outside [0, 0.5).
#ifndef ZV_RIG_RIG_FILE_H
#define ZV_RIG_RIG_FILE_H

#include <string>

#include "zv_rig/rig_params.h"

namespace zv_rig
{
// Reads the rig file at `path` into `out`. Returns "" on success, else the
// message; `out` is then left unchanged.
std::string readRigFile(const std::string& path, RigDescription& out);

// Reads only the `zorvik:` section of a parameter or rig file (the whole file
// is still checked). Returns "" on success, else the message; `out` is then
// left unchanged.
std::string readRigParamsFile(const std::string& path, RigParams& out);

// Writes `rig` to `path` as a rig file with every section and key, each value
// exact (readRigFile gives back the same doubles), `header_comment` first as
// `#` lines. The file is replaced only once it is complete. Returns "" on
// success, else the message.
std::string writeRigFile(const std::string& path, const RigDescription& rig, const std::string& header_comment);

// The values of one section of `rig` as a YAML flow map ("{l1: 0.5, ...}"),
// or with a `key` that value alone, as writeRigFile writes them. Returns "",
// else what is wrong with the section or key name.
std::string rigFileValues(const RigDescription& rig, const std::string& section, const std::string& key,
                          std::string& out);

// The shortest decimal text that reads back as exactly `value` (a finite
// double), with a '.' or an exponent so that YAML takes it as a float.
std::string exactNumber(double value);

}  // namespace zv_rig

#endif  // ZV_RIG_RIG_FILE_H
