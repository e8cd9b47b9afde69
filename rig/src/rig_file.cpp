#include "zv_rig/rig_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include <yaml-cpp/yaml.h>

namespace zv_rig
{
namespace
{
enum class Allowed
{
  kAnyFinite,
  kNonNegative,
  kZeroToOne,        // [0, 1]
  kBelowOneHalf,     // [0, 0.5)
};

struct Key
{
  const char* name;
  double& (*value)(RigDescription&);
  Allowed allowed;
};

struct Section
{
  const char* name;
  std::vector<Key> keys;
  bool required;  // every key must be given (the physical parameters have no ideal value)
};

#define ZV_RIG_KEY(section, key, allowed) \
  {                                       \
#key, [](RigDescription& r) -> double& { return r.section.key; }, Allowed::allowed \
  }

const std::vector<Section>& sections()
{
  static const std::vector<Section> table = [] {
    Section zorvik{"zorvik", {}, true};
    for (const RigParamField& f : kRigParamFields)
    {
      zorvik.keys.push_back({f.key, nullptr, Allowed::kAnyFinite});
    }
    return std::vector<Section>{
        zorvik,
        {"actuator",
         {ZV_RIG_KEY(actuator, tau_up, kNonNegative), ZV_RIG_KEY(actuator, tau_down, kNonNegative),
          ZV_RIG_KEY(actuator, thrust_expo, kZeroToOne), ZV_RIG_KEY(actuator, throttle_start, kBelowOneHalf),
          ZV_RIG_KEY(actuator, left_gain, kNonNegative), ZV_RIG_KEY(actuator, right_gain, kNonNegative),
          ZV_RIG_KEY(actuator, reaction_torque, kAnyFinite)},
         false},
        {"friction",
         {ZV_RIG_KEY(friction, coulomb_phi, kNonNegative), ZV_RIG_KEY(friction, coulomb_theta, kNonNegative),
          ZV_RIG_KEY(friction, coulomb_psi, kNonNegative)},
         false},
        {"sensor", {ZV_RIG_KEY(sensor, angle_noise, kNonNegative), ZV_RIG_KEY(sensor, counts_per_rev, kNonNegative)},
         false},
    };
  }();
  return table;
}
#undef ZV_RIG_KEY

double& valueOf(const Section& section, size_t index, RigDescription& rig)
{
  if (section.keys[index].value == nullptr)
  {
    return rig.zorvik.*(kRigParamFields[index].member);
  }
  return section.keys[index].value(rig);
}

// "" when allowed, else what is allowed.
std::string refusal(Allowed allowed, double v)
{
  switch (allowed)
  {
    case Allowed::kAnyFinite:
      return "";
    case Allowed::kNonNegative:
      return v >= 0 ? "" : "allowed is 0 or more";
    case Allowed::kZeroToOne:
      return v >= 0 && v <= 1 ? "" : "allowed is 0 to 1";
    case Allowed::kBelowOneHalf:
      return v >= 0 && v < 0.5 ? "" : "allowed is 0 or more and below 0.5";
  }
  return "";
}

std::string names(const std::vector<std::string>& list)
{
  std::string text;
  for (size_t i = 0; i < list.size(); ++i)
  {
    text += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + list[i];
  }
  return text;
}

std::string line(const std::string& path, const YAML::Node& node)
{
  return path + ":" + std::to_string(node.Mark().line + 1) + ": ";
}

// A plain YAML scalar that is a finite number; quoted text is a string to
// rosparam too, so it is not taken as a number here either.
bool parseNumber(const YAML::Node& node, double& value)
{
  if (!node.IsScalar() || node.Tag() == "!" || node.Scalar().empty())
  {
    return false;
  }
  const std::string& text = node.Scalar();
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value);
}

std::string valueText(const YAML::Node& node)
{
  if (node.IsScalar())
  {
    return node.Scalar();
  }
  std::ostringstream out;
  out << YAML::Dump(node);
  return out.str();
}

std::string readFile(const std::string& path, RigDescription& out, const std::string& what, const char* example)
{
  errno = 0;
  std::ifstream in(path);
  if (!in)
  {
    return "cannot read the " + what + " from " + path + ": " + std::strerror(errno) + "; give the path of a file like " +
           example;
  }
  YAML::Node root;
  try
  {
    root = YAML::Load(in);
  }
  catch (const YAML::Exception& e)
  {
    return path + ":" + std::to_string(e.mark.line + 1) + ": not readable as YAML (" + e.msg + ")";
  }
  std::vector<std::string> section_names;
  for (const Section& s : sections())
  {
    section_names.push_back(s.name);
  }
  if (!root.IsMap())
  {
    return path + " is not a rig file: expected the sections " + names(section_names) + ", each with 'key: value' lines";
  }

  RigDescription read;
  std::set<std::string> seen_sections;
  bool has_zorvik = false;
  std::vector<bool> zorvik_seen(kRigParamFields.size(), false);
  for (const auto& entry : root)
  {
    const std::string name = entry.first.IsScalar() ? entry.first.Scalar() : valueText(entry.first);
    const Section* section = nullptr;
    for (const Section& s : sections())
    {
      if (name == s.name)
      {
        section = &s;
      }
    }
    if (section == nullptr)
    {
      return line(path, entry.first) + "'" + name + "' is not a section of a rig file: allowed are " +
             names(section_names);
    }
    if (!seen_sections.insert(name).second)
    {
      return line(path, entry.first) + "'" + name + ":' is given twice: keep one";
    }
    if (entry.second.IsNull())
    {
      has_zorvik = has_zorvik || section->required;
      continue;
    }
    if (!entry.second.IsMap())
    {
      return line(path, entry.first) + "'" + name + ":' must hold 'key: value' lines, one per parameter";
    }
    has_zorvik = has_zorvik || section->required;
    std::vector<std::string> key_names;
    for (const Key& k : section->keys)
    {
      key_names.push_back(k.name);
    }
    std::set<std::string> seen_keys;
    for (const auto& item : entry.second)
    {
      const std::string key = item.first.IsScalar() ? item.first.Scalar() : valueText(item.first);
      const std::string where = line(path, item.first) + name + "/" + key;
      size_t index = 0;
      while (index < section->keys.size() && key != section->keys[index].name)
      {
        ++index;
      }
      if (index == section->keys.size())
      {
        return where + " is not a key of a rig file: allowed under '" + name + ":' are " + names(key_names);
      }
      if (!seen_keys.insert(key).second)
      {
        return where + " is given twice: keep one";
      }
      double value = 0;
      if (!parseNumber(item.second, value))
      {
        return where + " is '" + valueText(item.second) + "', not a finite number: give its value in SI units";
      }
      const std::string allowed = refusal(section->keys[index].allowed, value);
      if (!allowed.empty())
      {
        return where + " is " + item.second.Scalar() + ": " + allowed;
      }
      valueOf(*section, index, read) = value;
      if (section->required)
      {
        zorvik_seen[index] = true;
      }
    }
  }
  if (!has_zorvik)
  {
    return path + " has no 'zorvik:' section: it is not a rig parameter file";
  }
  for (size_t i = 0; i < kRigParamFields.size(); ++i)
  {
    if (!zorvik_seen[i])
    {
      return path + ": zorvik/" + kRigParamFields[i].key +
             " is missing: add it under 'zorvik:' (the rig has 24 parameters)";
    }
  }
  out = read;
  return "";
}
}  // namespace

std::string readRigFile(const std::string& path, RigDescription& out)
{
  return readFile(path, out, "rig file", "sim/config/default_rig.yaml");
}

std::string readRigParamsFile(const std::string& path, RigParams& out)
{
  RigDescription rig;
  const std::string error = readFile(path, rig, "rig parameters", "rig/config/zorvik_params.yaml");
  if (error.empty())
  {
    out = rig.zorvik;
  }
  return error;
}

std::string exactNumber(double value)
{
  char text[32];
  for (int digits = 15; digits <= 17; ++digits)
  {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value)
    {
      break;
    }
  }
  std::string s = text;
  if (s.find_first_of(".n") == std::string::npos)  // "n": inf and nan stay as they are
  {
    const size_t exponent = s.find('e');
    s.insert(exponent == std::string::npos ? s.size() : exponent, ".0");
  }
  return s;
}

std::string rigFileValues(const RigDescription& rig, const std::string& section_name, const std::string& key,
                          std::string& out)
{
  RigDescription values = rig;
  std::vector<std::string> section_names;
  for (const Section& section : sections())
  {
    section_names.push_back(section.name);
    if (section_name != section.name)
    {
      continue;
    }
    std::vector<std::string> key_names;
    std::string map;
    for (size_t i = 0; i < section.keys.size(); ++i)
    {
      const std::string number = exactNumber(valueOf(section, i, values));
      if (key == section.keys[i].name)
      {
        out = number;
        return "";
      }
      key_names.push_back(section.keys[i].name);
      map += (i == 0 ? "{" : ", ") + key_names.back() + ": " + number;
    }
    if (!key.empty())
    {
      return section_name + "/" + key + " is not a key of a rig file: allowed under '" + section_name + ":' are " +
             names(key_names);
    }
    out = map + "}";
    return "";
  }
  return "'" + section_name + "' is not a section of a rig file: allowed are " + names(section_names);
}

std::string writeRigFile(const std::string& path, const RigDescription& rig, const std::string& header_comment)
{
  std::ostringstream text;
  std::istringstream header(header_comment);
  for (std::string comment; std::getline(header, comment);)
  {
    text << (comment.empty() ? "#" : "# " + comment) << "\n";
  }
  RigDescription values = rig;
  for (const Section& section : sections())
  {
    text << section.name << ":\n";
    for (size_t i = 0; i < section.keys.size(); ++i)
    {
      const double value = valueOf(section, i, values);
      // What readRigFile would refuse is not written: the file must read back.
      const std::string allowed = std::isfinite(value) ? refusal(section.keys[i].allowed, value) : "allowed are finite numbers";
      if (!allowed.empty())
      {
        return "cannot write " + path + ": " + section.name + "/" + section.keys[i].name + " is " + exactNumber(value) +
               ": " + allowed;
      }
      text << "  " << section.keys[i].name << ": " << exactNumber(value) << "\n";
    }
  }
  // Written beside the target and renamed over it, so a reader never sees half a file.
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial);
    out << text.str();
    out.close();
    if (!out)
    {
      const std::string reason = std::strerror(errno);
      std::remove(partial.c_str());
      return "cannot write the rig file " + path + ": " + reason;
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0)
  {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    return "cannot write the rig file " + path + ": " + reason;
  }
  return "";
}

}  // namespace zv_rig
