#include "zv_sim/rig_params_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using zv_sim::readRigParamsFile;
using zv_sim::RigParams;

namespace
{
// The 24 keys of the default file with made-up values, one per line.
const char kAllKeys[] =
    "  l1: 1\n  l2: 2\n  l3x: 3\n  l3y: 4\n  l3z: 5\n  lT: 6\n  d: 7\n  m1: 8\n  m2: 9\n  m3: 10\n  J1x: 11\n"
    "  J1y: 12\n  J1z: 13\n  J2x: 14\n  J2y: 15\n  J2z: 16\n  J3x: 17\n  J3y: 18\n  J3z: 19\n  Bphi: 20\n"
    "  Bth: 21\n  Bpsi: 22\n  km: 23\n";

class ParamFile : public testing::Test
{
 protected:
  std::string write(const std::string& text)
  {
    std::ofstream(path_) << text;
    return path_;
  }
  ~ParamFile() override
  {
    std::remove(path_.c_str());
  }
  std::string path_ = testing::TempDir() + "zv_rig_params_test.yaml";
};
}  // namespace

TEST_F(ParamFile, TheControllersFileGivesTheDefaultRig)
{
  RigParams p;
  ASSERT_EQ("", readRigParamsFile(ZV_RIG_PARAMS_YAML, p));
  EXPECT_EQ(0.0005, p.J2x);
  EXPECT_EQ(9.81, p.g);
  // Its comment: hover throttle F_e / (2 km) = 5.886 N / 10 N.
  EXPECT_NEAR(0.5886, (p.m1 * p.l1 + p.m2 * p.l2) * p.g / p.lT / (2 * p.km), 1e-12);
}

TEST_F(ParamFile, CommentsAndOtherSectionsArePassedOver)
{
  RigParams p;
  const std::string path = write("# header: 1\nother:\n  g: 99\nzorvik:   # the rig\n" + std::string(kAllKeys) +
                                 "\n  # a note\n  g: 9.5e0  # m/s^2\r\n  colour: red\nafter: 3\n");
  ASSERT_EQ("", readRigParamsFile(path, p));
  EXPECT_EQ(1.0, p.l1);
  EXPECT_EQ(14.0, p.J2x);
  EXPECT_EQ(23.0, p.km);
  EXPECT_EQ(9.5, p.g);
}

TEST_F(ParamFile, ErrorsNameTheKeyTheValueAndTheLine)
{
  RigParams p;
  p.g = -1;
  EXPECT_NE(std::string::npos,
            readRigParamsFile(write("zorvik:\n" + std::string(kAllKeys)), p).find("zorvik/g is missing"));
  EXPECT_NE(std::string::npos,
            readRigParamsFile(write("zorvik:\n  g: fast\n" + std::string(kAllKeys)), p).find(":2: zorvik/g is 'fast'"));
  EXPECT_NE(std::string::npos,
            readRigParamsFile(write("zorvik:\n  g: nan\n" + std::string(kAllKeys)), p).find("zorvik/g is 'nan'"));
  EXPECT_NE(
      std::string::npos,
      readRigParamsFile(write("zorvik:\n  g: 1\n  g: 2\n" + std::string(kAllKeys)), p).find("zorvik/g is given twice"));
  EXPECT_NE(std::string::npos, readRigParamsFile(write("rig:\n  g: 1\n"), p).find("no 'zorvik:' section"));
  EXPECT_NE(std::string::npos, readRigParamsFile(path_ + ".absent", p).find(path_ + ".absent"));
  EXPECT_EQ(-1, p.g) << "a failed read leaves the parameters alone";
}
