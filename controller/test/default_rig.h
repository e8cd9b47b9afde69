// The default rig for the tests, read from the parameter file that
// controller.launch loads, so that its values are typed in one place only.
// The file is flat: a "zorvik:" line, then indented "key: value  # comment"
// lines. Anything else under "zorvik:" is an error, not a silent skip.
#ifndef ZV_TA_TEST_DEFAULT_RIG_H
#define ZV_TA_TEST_DEFAULT_RIG_H

#include "zv_ta/gain_design.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

namespace zv_ta_test
{
using RigMap = std::map<std::string, double>;

inline std::string trimmed(const std::string& s)
{
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos)
  {
    return std::string();
  }
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

inline RigMap readRigYaml(const std::string& path = ZV_TA_RIG_YAML)
{
  std::ifstream in(path);
  if (!in)
  {
    throw std::runtime_error("cannot open the rig parameter file " + path);
  }
  RigMap rig;
  bool inside = false;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n)
  {
    const std::string text = line.substr(0, line.find('#'));
    const std::string body = trimmed(text);
    if (body.empty())
    {
      continue;
    }
    const std::size_t colon = body.find(':');
    const std::string key = trimmed(body.substr(0, colon));
    const std::string value = colon == std::string::npos ? std::string() : trimmed(body.substr(colon + 1));
    if (text.find_first_not_of(" \t") == 0)
    {
      inside = key == "zorvik" && value.empty();
      continue;
    }
    if (!inside)
    {
      continue;
    }
    char* end = nullptr;
    const double v = std::strtod(value.c_str(), &end);
    if (colon == std::string::npos || value.empty() || *end != '\0' || rig.count(key))
    {
      throw std::runtime_error(path + ":" + std::to_string(n) +
                               ": expected a new \"key: number\" under zorvik:, got \"" + line + "\"");
    }
    rig[key] = v;
  }
  return rig;
}

// The parameter set as the gain design takes it; every key must be there.
inline zorvik_controller::RigParameters rigParameters(const RigMap& rig)
{
  using zorvik_controller::RigParameters;
  const struct
  {
    const char* key;
    float RigParameters::*field;
  } fields[] = {{"l1", &RigParameters::l1},     {"l2", &RigParameters::l2},     {"l3x", &RigParameters::l3x},
                {"l3y", &RigParameters::l3y},   {"l3z", &RigParameters::l3z},   {"lT", &RigParameters::lT},
                {"d", &RigParameters::d},       {"m1", &RigParameters::m1},     {"m2", &RigParameters::m2},
                {"m3", &RigParameters::m3},     {"J1x", &RigParameters::J1x},   {"J1y", &RigParameters::J1y},
                {"J1z", &RigParameters::J1z},   {"J2x", &RigParameters::J2x},   {"J2y", &RigParameters::J2y},
                {"J2z", &RigParameters::J2z},   {"J3x", &RigParameters::J3x},   {"J3y", &RigParameters::J3y},
                {"J3z", &RigParameters::J3z},   {"Bphi", &RigParameters::Bphi}, {"Bth", &RigParameters::Bth},
                {"Bpsi", &RigParameters::Bpsi}, {"km", &RigParameters::km},     {"g", &RigParameters::g}};
  RigParameters p = {};
  for (const auto& f : fields)
  {
    const auto it = rig.find(f.key);
    if (it == rig.end())
    {
      throw std::runtime_error(std::string("the rig parameter file has no key zorvik/") + f.key);
    }
    p.*f.field = static_cast<float>(it->second);
  }
  return p;
}

// Read once per test program.
inline const RigMap& defaultRig()
{
  static const RigMap rig = readRigYaml();
  return rig;
}
}  // namespace zv_ta_test

#endif  // ZV_TA_TEST_DEFAULT_RIG_H
