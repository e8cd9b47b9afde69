// zv_rig_file: checks a rig or parameter file before anything is started from
// it, and prints its values for launch files (<param command=...>), which
// cannot pick one section out of a YAML file themselves.
#include <cstdio>
#include <cstring>
#include <string>

#include "zv_rig/rig_file.h"

namespace
{
const char kUsage[] =
    "usage: zv_rig_file check FILE            exit 1 with the reason if FILE is not a readable rig file\n"
    "       zv_rig_file check-params FILE     the same, for a parameter file (or a rig file) given as one\n"
    "       zv_rig_file get FILE SECTION      print the section's values as one YAML map\n"
    "       zv_rig_file get FILE SECTION/KEY  print one value (missing: the ideal value)\n";

int usage()
{
  std::fputs(kUsage, stderr);
  return 2;
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 3)
  {
    return usage();
  }
  const std::string command = argv[1];
  const std::string path = argv[2];
  if (!(((command == "check" || command == "check-params") && argc == 3) || (command == "get" && argc == 4)))
  {
    return usage();
  }
  zv_rig::RigDescription rig;
  const std::string error =
      command == "check-params" ? zv_rig::readRigParamsFile(path, rig.zorvik) : zv_rig::readRigFile(path, rig);
  if (!error.empty())
  {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (command != "get")
  {
    return 0;
  }
  const std::string wanted = argv[3];
  const size_t slash = wanted.find('/');
  const std::string section = wanted.substr(0, slash);
  const std::string key = slash == std::string::npos ? "" : wanted.substr(slash + 1);
  std::string values;
  const std::string listed = zv_rig::rigFileValues(rig, section, key, values);
  if (!listed.empty())
  {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), listed.c_str());
    return 1;
  }
  std::printf("%s\n", values.c_str());
  return 0;
}
