// The rig's URDF must move the way the rig does: the same joint names as
// /joint_states, the model's stops as limits, the parameter set's lever arms,
// and positive joint angles in the directions the thrust drives them.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include <urdf/model.h>

#include "zv_sim/rig_model.h"

namespace
{
struct Frame
{
  urdf::Vector3 p;   // origin in the base frame
  urdf::Rotation r;  // orientation in the base frame
};

urdf::Vector3 add(const urdf::Vector3& a, const urdf::Vector3& b)
{
  return urdf::Vector3(a.x + b.x, a.y + b.y, a.z + b.z);
}
urdf::Vector3 sub(const urdf::Vector3& a, const urdf::Vector3& b)
{
  return urdf::Vector3(a.x - b.x, a.y - b.y, a.z - b.z);
}
urdf::Vector3 cross(const urdf::Vector3& a, const urdf::Vector3& b)
{
  return urdf::Vector3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}
double dot(const urdf::Vector3& a, const urdf::Vector3& b)
{
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

class RigUrdf : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    ASSERT_TRUE(model_.initFile(ZV_SIM_URDF)) << "cannot parse " << ZV_SIM_URDF;
  }

  // Pose of a link for the given joint angles (yaw, pitch, roll by name).
  Frame linkFrame(const std::string& link, const std::map<std::string, double>& q) const
  {
    urdf::LinkConstSharedPtr l = model_.getLink(link);
    if (!l || !l->parent_joint)
    {
      return Frame();  // the root
    }
    const urdf::Joint& j = *l->parent_joint;
    Frame parent = linkFrame(j.parent_link_name, q);
    Frame f;
    f.p = add(parent.p, parent.r * j.parent_to_joint_origin_transform.position);
    f.r = parent.r * j.parent_to_joint_origin_transform.rotation;
    auto angle = q.find(j.name);
    if (angle != q.end() && j.type != urdf::Joint::FIXED)
    {
      const double s = std::sin(angle->second / 2);
      urdf::Rotation turn(j.axis.x * s, j.axis.y * s, j.axis.z * s, std::cos(angle->second / 2));
      f.r = f.r * turn;
    }
    return f;
  }

  // Joint axis in the base frame for the given angles.
  urdf::Vector3 jointAxis(const std::string& joint, const std::map<std::string, double>& q) const
  {
    urdf::JointConstSharedPtr j = model_.getJoint(joint);
    return linkFrame(j->child_link_name, q).r * j->axis;
  }

  // Moment of both motors' thrust (1 N each along the motor's z) about a joint axis.
  double thrustMoment(const std::string& joint, const std::map<std::string, double>& q, double left = 1.0,
                      double right = 1.0) const
  {
    urdf::JointConstSharedPtr j = model_.getJoint(joint);
    const Frame at = linkFrame(j->child_link_name, q);
    const urdf::Vector3 axis = at.r * j->axis;
    double moment = 0;
    for (const auto& motor : {std::make_pair("left_motor", left), std::make_pair("right_motor", right)})
    {
      const Frame m = linkFrame(motor.first, q);
      urdf::Vector3 thrust = m.r * urdf::Vector3(0, 0, motor.second);
      moment += dot(cross(sub(m.p, at.p), thrust), axis);
    }
    return moment;
  }

  urdf::Model model_;
};
}  // namespace

TEST_F(RigUrdf, JointsAreNamedAsTheJointStatesAndLimitedByTheStops)
{
  const zv_sim::RigLimits stops;
  urdf::JointConstSharedPtr yaw = model_.getJoint("yaw");
  urdf::JointConstSharedPtr pitch = model_.getJoint("pitch");
  urdf::JointConstSharedPtr roll = model_.getJoint("roll");
  ASSERT_TRUE(yaw && pitch && roll);
  EXPECT_EQ(yaw->type, urdf::Joint::CONTINUOUS) << "yaw has no stop";
  ASSERT_EQ(pitch->type, urdf::Joint::REVOLUTE);
  ASSERT_EQ(roll->type, urdf::Joint::REVOLUTE);
  EXPECT_DOUBLE_EQ(pitch->limits->lower, stops.pitch_min);
  EXPECT_DOUBLE_EQ(pitch->limits->upper, stops.pitch_max);
  EXPECT_DOUBLE_EQ(roll->limits->lower, stops.roll_min);
  EXPECT_DOUBLE_EQ(roll->limits->upper, stops.roll_max);
  // Chain: base -> yaw -> pitch -> roll -> motors.
  EXPECT_EQ(pitch->parent_link_name, yaw->child_link_name);
  EXPECT_EQ(roll->parent_link_name, pitch->child_link_name);
  EXPECT_EQ(model_.getLink("left_motor")->parent_joint->parent_link_name, roll->child_link_name);
  EXPECT_EQ(model_.getLink("right_motor")->parent_joint->parent_link_name, roll->child_link_name);
}

TEST_F(RigUrdf, ThrustMomentsAreThoseOfTheModelWithTheParameterSetsLeverArms)
{
  // lT = 0.5 m, d = 0.2 m; 1 N per motor. In the model the pitch moment is
  // lT (f_l + f_r) cos(roll), the roll moment d (f_l - f_r), and the yaw moment
  // lT (f_l + f_r) cos(pitch) sin(roll).
  const double lT = 0.5, d = 0.2, roll = 0.3, pitch = 0.2;
  const std::map<std::string, double> q = {{"yaw", 0.7}, {"pitch", pitch}, {"roll", roll}};
  EXPECT_NEAR(thrustMoment("pitch", q), lT * 2 * std::cos(roll), 1e-9);
  EXPECT_NEAR(thrustMoment("roll", q, 1.0, 0.0), d, 1e-9);
  EXPECT_NEAR(thrustMoment("roll", q, 0.0, 1.0), -d, 1e-9);
  EXPECT_NEAR(thrustMoment("yaw", q), lT * 2 * std::cos(pitch) * std::sin(roll), 1e-9);
}

TEST_F(RigUrdf, PositiveAnglesAreWhereTheThrustDrivesThem)
{
  const std::map<std::string, double> level = {{"yaw", 0}, {"pitch", 0}, {"roll", 0}};
  // Thrust lifts the body: positive pitch.
  EXPECT_GT(thrustMoment("pitch", level), 0.0);
  EXPECT_GT(linkFrame("roll_body", {{"pitch", 0.3}}).p.z, linkFrame("roll_body", level).p.z);
  // More left thrust: positive roll, which lifts the left motor.
  EXPECT_GT(thrustMoment("roll", level, 1.0, 0.0), 0.0);
  const std::map<std::string, double> rolled = {{"roll", 0.3}};
  EXPECT_GT(linkFrame("left_motor", rolled).p.z, linkFrame("right_motor", rolled).p.z);
  // Rolled positive, the tilted thrust turns the rig towards positive yaw; level, it does not turn it.
  EXPECT_GT(thrustMoment("yaw", rolled), 0.0);
  EXPECT_NEAR(thrustMoment("yaw", level), 0.0, 1e-12);
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
