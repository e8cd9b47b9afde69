#include "zv_sim/rig_params_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>

namespace zv_sim
{
namespace
{
const char kSection[] = "zorvik";

std::string trim(const std::string& s)
{
  const size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos)
  {
    return "";
  }
  return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// The line without its comment: '#' at the start or after a blank.
std::string withoutComment(const std::string& line)
{
  for (size_t i = 0; i < line.size(); ++i)
  {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
    {
      return line.substr(0, i);
    }
  }
  return line;
}

bool parseNumber(const std::string& text, double& value)
{
  if (text.empty())
  {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value);
}

const RigParamField* fieldNamed(const std::string& key)
{
  for (const RigParamField& f : kRigParamFields)
  {
    if (key == f.key)
    {
      return &f;
    }
  }
  return nullptr;
}
}  // namespace

std::string readRigParamsFile(const std::string& path, RigParams& params)
{
  std::ifstream in(path);
  if (!in)
  {
    return "cannot read the rig parameters from " + path + ": " + std::strerror(errno) +
           "; give the path of a file like controller/config/zorvik_params.yaml";
  }
  RigParams read = params;
  bool seen[std::tuple_size<decltype(kRigParamFields)>::value] = {};
  bool in_section = false, found_section = false;
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number)
  {
    const std::string line = withoutComment(raw);
    const std::string text = trim(line);
    if (text.empty())
    {
      continue;
    }
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const size_t colon = text.find(':');
    const bool indented = line[0] == ' ' || line[0] == '\t';
    if (!indented)
    {
      in_section = colon != std::string::npos && trim(text.substr(0, colon)) == kSection;
      if (in_section)
      {
        if (found_section || !trim(text.substr(colon + 1)).empty())
        {
          return where + "expected one '" + kSection + ":' line with the parameters indented below it";
        }
        found_section = true;
      }
      continue;
    }
    if (!in_section)
    {
      continue;
    }
    if (colon == std::string::npos)
    {
      return where + "'" + text + "' is not a 'key: value' line";
    }
    const std::string key = trim(text.substr(0, colon));
    const std::string value = trim(text.substr(colon + 1));
    const RigParamField* field = fieldNamed(key);
    if (field == nullptr)
    {
      continue;
    }
    const size_t index = static_cast<size_t>(field - kRigParamFields.data());
    if (seen[index])
    {
      return where + kSection + "/" + key + " is given twice: keep one";
    }
    double number_value = 0;
    if (!parseNumber(value, number_value))
    {
      return where + kSection + "/" + key + " is '" + value + "', not a finite number: give its value in SI units";
    }
    read.*(field->member) = number_value;
    seen[index] = true;
  }
  if (!found_section)
  {
    return path + " has no '" + kSection + ":' section: it is not a rig parameter file";
  }
  for (size_t i = 0; i < kRigParamFields.size(); ++i)
  {
    if (!seen[i])
    {
      return path + ": " + kSection + "/" + kRigParamFields[i].key + " is missing: add it under '" + kSection +
             ":' (the rig has 24 parameters)";
    }
  }
  params = read;
  return "";
}

}  // namespace zv_sim
