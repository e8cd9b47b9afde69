// The status panel in-process against a real master: diagnostics and the latched topics published
// here, the arm service played by a server of this process on a thread of its own.
#include "../src/status_panel.h"
#include "qt_poll.h"

#include <diagnostic_msgs/DiagnosticArray.h>
#include <gtest/gtest.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Bool.h>
#include <std_srvs/SetBool.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace
{
using zv_viz_test::pollUntil;

// Plays the driver's arm service; each call can be held for a while to stand for a slow driver.
class FakeArmService
{
 public:
  FakeArmService() : spinner_(1, &queue_)
  {
    ros::NodeHandle nh;
    nh.setCallbackQueue(&queue_);
    server_ = nh.advertiseService("/zv_ros_driver/arm", &FakeArmService::serve, this);
    spinner_.start();
  }
  ~FakeArmService()
  {
    server_.shutdown();
    spinner_.stop();
  }
  std::vector<bool> calls()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::atomic<double> hold_seconds{0.0};
  std::atomic<int> answered{0};

 private:
  bool serve(std_srvs::SetBool::Request& req, std_srvs::SetBool::Response& res)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(req.data);
    }
    ros::WallDuration(hold_seconds.load()).sleep();
    res.success = true;
    res.message = req.data ? "arming requested" : "disarm queued";
    ++answered;
    return true;
  }
  ros::CallbackQueue queue_;
  ros::AsyncSpinner spinner_;
  ros::ServiceServer server_;
  std::mutex mutex_;
  std::vector<bool> calls_;
};

class StatusPanelTest : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    panel.reset(new zv_viz::StatusPanel);
    panel->initialize(nullptr);
    panel->show();
  }
  QString text(const char* name)
  {
    return panel->findChild<QLabel*>(name)->text();
  }
  QPushButton* button(const char* name)
  {
    return panel->findChild<QPushButton*>(name);
  }
  // Waits until the label shows the text (or, with `part`, contains it).
  bool shows(const char* name, const QString& expected, bool part = false)
  {
    return pollUntil([&] { return part ? text(name).contains(expected) : text(name) == expected; });
  }
  std::unique_ptr<zv_viz::StatusPanel> panel;
};

diagnostic_msgs::DiagnosticStatus serialLink(const std::vector<std::pair<std::string, std::string>>& values)
{
  diagnostic_msgs::DiagnosticStatus status;
  status.name = "zv_ros_driver: Serial link";
  status.message = "link up";
  for (const auto& v : values)
  {
    diagnostic_msgs::KeyValue kv;
    kv.key = v.first;
    kv.value = v.second;
    status.values.push_back(kv);
  }
  return status;
}

TEST_F(StatusPanelTest, ShowsTheDriversWordAndNoDriverOnceItFallsSilent)
{
  ros::NodeHandle nh;
  ros::Publisher diagnostics = nh.advertise<diagnostic_msgs::DiagnosticArray>("/diagnostics", 10);
  ros::Publisher armed = nh.advertise<std_msgs::Bool>("/zv_armed", 1, true);
  EXPECT_TRUE(shows("driver", "No driver", true));

  // Another node's status first; then numbers, a non-number and a missing key in the driver's.
  diagnostic_msgs::DiagnosticArray array;
  diagnostic_msgs::DiagnosticStatus other;
  other.name = "camera: Serial link status";
  array.status.push_back(other);
  array.status.push_back(
      serialLink({{"Link", "up"}, {"Armed", "no"}, {"States per second", "199.6"}, {"Commands per second", "lots"}}));
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(10.0);
  while (ros::WallTime::now() < end && text("link") != "up")
  {
    diagnostics.publish(array);
    pollUntil([] { return false; }, 0.2);
  }
  EXPECT_EQ("up", text("link"));
  EXPECT_EQ("200", text("states_per_second"));
  EXPECT_EQ("?", text("commands_per_second"));
  EXPECT_EQ("?", text("motors_cut"));
  EXPECT_EQ("no", text("armed"));
  EXPECT_TRUE(text("driver").contains("link up"));

  // The rig's own word on the latched topic wins over the diagnostics' copy.
  std_msgs::Bool yes;
  yes.data = true;
  armed.publish(yes);
  diagnostics.publish(array);
  EXPECT_TRUE(shows("armed", "yes"));

  // Silence: after about two seconds nothing the driver said is shown as current.
  EXPECT_TRUE(shows("driver", "No driver", true));
  EXPECT_EQ("?", text("link"));
  EXPECT_EQ("?", text("armed"));
}

TEST_F(StatusPanelTest, StopWithoutTheServiceSaysSo)
{
  button("stop")->click();
  EXPECT_TRUE(shows("call_result", "STOP FAILED: /zv_ros_driver/arm is not available", true));
}

// The press returns before the driver answers; ARM then STOP reach the driver in that order,
// STOP last, and a driver that takes too long is reported.
TEST_F(StatusPanelTest, CallsNeverWaitOnTheGuiThreadAndStopComesLast)
{
  FakeArmService service;
  service.hold_seconds = 3.0;
  button("arm")->click();
  button("stop")->click();
  EXPECT_EQ(0, service.answered.load());
  EXPECT_TRUE(shows("call_result", "STOP NOT CONFIRMED: no answer from the driver", true));
  service.hold_seconds = 0.0;
  // Answered after 3 s, and no heartbeat has said disarmed since the press.
  EXPECT_TRUE(pollUntil([&] { return service.answered.load() >= 1; }));
  EXPECT_TRUE(shows("call_result", "STOP NOT CONFIRMED: the rig's heartbeat has not said disarmed", true));
  const std::vector<bool> calls = service.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_FALSE(calls.back());
  EXPECT_LE(calls.size(), 2u);
}

// The driver's answer only says what it queued: a heartbeat from after the press saying disarmed
// confirms the STOP. The panel also shows why the driver ended a request by itself.
TEST_F(StatusPanelTest, StopIsConfirmedByTheRigsHeartbeatOnly)
{
  FakeArmService service;
  ros::NodeHandle nh;
  ros::Publisher diagnostics = nh.advertise<diagnostic_msgs::DiagnosticArray>("/diagnostics", 10);
  ros::Publisher armed = nh.advertise<std_msgs::Bool>("/zv_armed", 1, true);
  std_msgs::Bool no;
  no.data = false;
  armed.publish(no);
  ASSERT_TRUE(pollUntil([&] { return diagnostics.getNumSubscribers() > 0; }));
  // Publishes the driver's status every 0.2 s until the call line contains `expected`.
  auto until = [&](const std::string& heartbeat, const std::string& age, const QString& expected, double seconds)
  {
    diagnostic_msgs::DiagnosticArray array;
    array.status.push_back(serialLink({{"Link", "up"},
                                       {"Armed", "no"},
                                       {"Arm request ended", "the rig disarmed itself (reset?): press ARM to arm again"},
                                       {"Rig heartbeat status", heartbeat},
                                       {"Seconds since last heartbeat", age}}));
    return pollUntil(
        [&]
        {
          diagnostics.publish(array);
          pollUntil([] { return false; }, 0.2);
          return text("call_result").contains(expected);
        },
        seconds);
  };

  button("stop")->click();
  // Still armed: not confirmed, and after 2 s said in red.
  EXPECT_TRUE(until("0x01 armed", "0.050", "STOP not confirmed yet", 5.0)) << text("call_result").toStdString();
  EXPECT_TRUE(until("0x01 armed", "0.050", "STOP NOT CONFIRMED", 5.0)) << text("call_result").toStdString();
  EXPECT_TRUE(until("0x00 disarmed", "0.050", "STOP confirmed: the rig's heartbeat says disarmed", 5.0));
  EXPECT_EQ("no: the rig disarmed itself (reset?): press ARM to arm again", text("armed"));

  // A disarmed heartbeat older than the press confirms nothing.
  button("stop")->click();
  EXPECT_FALSE(until("0x00 disarmed", "5.000", "STOP confirmed", 1.5)) << text("call_result").toStdString();
}

// The space bar is STOP whichever widget has the focus; a text field still gets its space, a
// button or check box gets nothing.
TEST_F(StatusPanelTest, SpaceBarStopsFromAnyWidget)
{
  FakeArmService service;
  QWidget other;
  QLineEdit* field = new QLineEdit(&other);
  QCheckBox* box = new QCheckBox(&other);
  other.show();

  QTest::keyClick(field, Qt::Key_Space);
  EXPECT_EQ(" ", field->text());
  EXPECT_TRUE(pollUntil([&] { return service.calls().size() == 1; }));
  QTest::keyClick(box, Qt::Key_Space);
  EXPECT_FALSE(box->isChecked());
  // A STOP not yet sent is replaced by a newer one: wait for each before the next press.
  EXPECT_TRUE(pollUntil([&] { return service.calls().size() == 2; }));
  int armed = 0;
  QObject::connect(button("arm"), &QPushButton::clicked, [&] { ++armed; });
  QTest::keyClick(button("arm"), Qt::Key_Space);
  EXPECT_EQ(0, armed);

  EXPECT_TRUE(pollUntil([&] { return service.calls().size() == 3; }));
  for (bool call : service.calls())
  {
    EXPECT_FALSE(call);
  }
}

}  // namespace
