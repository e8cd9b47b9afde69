// pid_controller_node as a separate process, seen only through the master
// and its topics.
#include <ros/ros.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
const std::string kNode = "/pid_controller_node";

template <typename Pred>
bool waitFor(Pred pred, double seconds)
{
  const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(seconds);
  while (!pred())
  {
    if (ros::WallTime::now() > deadline)
    {
      return false;
    }
    ros::spinOnce();
    ros::WallDuration(0.005).sleep();
  }
  return true;
}

// Whether the master lists `node` among the publishers (index 0) or the
// subscribers (index 1) of `topic`.
bool masterLists(int index, const std::string& topic, const std::string& node)
{
  XmlRpc::XmlRpcValue args, result, payload;
  args[0] = ros::this_node::getName();
  if (!ros::master::execute("getSystemState", args, result, payload, true))
  {
    return false;
  }
  XmlRpc::XmlRpcValue& entries = payload[index];
  for (int i = 0; i < entries.size(); ++i)
  {
    if (static_cast<std::string>(entries[i][0]) != topic)
    {
      continue;
    }
    for (int j = 0; j < entries[i][1].size(); ++j)
    {
      if (static_cast<std::string>(entries[i][1][j]) == node)
      {
        return true;
      }
    }
  }
  return false;
}

// Throttle the node must answer a level, still rig with: the hover throttle
// when the rig parameters are loaded, 0 (motors held) without them.
float expectedLevelThrottle()
{
  float m1, l1, m2, l2, g, lT, km;
  if (!ros::param::get("/zorvik/km", km))
  {
    return 0.0f;
  }
  ros::param::get("/zorvik/m1", m1);
  ros::param::get("/zorvik/l1", l1);
  ros::param::get("/zorvik/m2", m2);
  ros::param::get("/zorvik/l2", l2);
  ros::param::get("/zorvik/g", g);
  ros::param::get("/zorvik/lT", lT);
  const float F_e = (m1 * l1 + m2 * l2) * g / lT;
  return F_e / (2.0f * km);
}

class NodeTest : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    state_pub_ = nh_.advertise<zv_msgs::State>("/zv_state", 5);
    command_sub_ = nh_.subscribe("/zv_command", 100, &NodeTest::onCommand, this, ros::TransportHints().tcpNoDelay());
    ASSERT_TRUE(
        waitFor([this] { return state_pub_.getNumSubscribers() > 0 && command_sub_.getNumPublishers() > 0; }, 20.0))
        << "pid_controller_node never connected";
  }

  void onCommand(const zv_msgs::Command::ConstPtr& msg)
  {
    commands_.push_back(*msg);
  }

  ros::NodeHandle nh_;
  ros::Publisher state_pub_;
  ros::Subscriber command_sub_;
  std::vector<zv_msgs::Command> commands_;
};

TEST_F(NodeTest, RegistersItsTopicsWithTheMaster)
{
  EXPECT_TRUE(waitFor([] { return masterLists(0, "/zv_command", kNode); }, 10.0));
  EXPECT_TRUE(waitFor([] { return masterLists(1, "/zv_state", kNode); }, 10.0));
  EXPECT_TRUE(waitFor([] { return masterLists(1, "/zv_reference_state", kNode); }, 10.0));

  ros::master::V_TopicInfo topics;
  ASSERT_TRUE(ros::master::getTopics(topics));
  bool typed = false;
  for (const auto& t : topics)
  {
    typed |= t.name == "/zv_command" && t.datatype == "zv_msgs/Command";
  }
  EXPECT_TRUE(typed);
}

TEST_F(NodeTest, AnswersEachStateWithOneCommandAndIsNotLatched)
{
  const float expected = expectedLevelThrottle();
  const int kStates = 20;
  for (int i = 0; i < kStates; ++i)
  {
    state_pub_.publish(zv_msgs::State());
    // One at a time, so the node's queue of 5 never drops one.
    ASSERT_TRUE(waitFor([&] { return commands_.size() >= static_cast<std::size_t>(i + 1); }, 5.0)) << "state " << i;
  }
  // A stray second answer would arrive right behind the first.
  waitFor([] { return false; }, 0.3);
  ASSERT_EQ(static_cast<std::size_t>(kStates), commands_.size());
  for (const zv_msgs::Command& c : commands_)
  {
    EXPECT_EQ(expected, c.left_motor);
    EXPECT_EQ(expected, c.right_motor);
  }

  // A late subscriber gets nothing of what went before...
  std::vector<zv_msgs::Command> late;
  ros::Subscriber late_sub = nh_.subscribe<zv_msgs::Command>(
      "/zv_command", 10, [&late](const zv_msgs::Command::ConstPtr& m) { late.push_back(*m); });
  ASSERT_TRUE(waitFor([&] { return late_sub.getNumPublishers() > 0; }, 10.0));
  waitFor([] { return false; }, 0.5);
  EXPECT_TRUE(late.empty());
  // ...and exactly what comes after.
  state_pub_.publish(zv_msgs::State());
  EXPECT_TRUE(waitFor([&] { return !late.empty(); }, 5.0));
  waitFor([] { return false; }, 0.3);
  EXPECT_EQ(1u, late.size());
}
}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_controller_node");
  ros::NodeHandle nh;
  return RUN_ALL_TESTS();
}
