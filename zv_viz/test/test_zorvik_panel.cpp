// The panel in-process against a real master: built from an rviz::Config, driven through its own
// widgets, observed through what it publishes and what it saves.
#include "../src/zorvik_panel.h"
#include "qt_poll.h"

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace
{
const double kDeg = 0.017453292519943295;

using zv_viz_test::pollUntil;

template <class Msg>
struct Recorder
{
  explicit Recorder(const std::string& topic)
  {
    ros::NodeHandle nh;
    sub = nh.subscribe<Msg>(topic, 100,
                            [this](const typename Msg::ConstPtr& m)
                            {
                              messages.push_back(*m);
                              arrivals.push_back(ros::WallTime::now());
                            });
  }
  // Waits for a message, published after the call, that satisfies the predicate.
  bool waitFor(const std::function<bool(const Msg&)>& pred, double seconds = 10.0)
  {
    const size_t from = messages.size();
    return pollUntil(
        [&]
        {
          for (size_t i = from; i < messages.size(); ++i)
          {
            if (pred(messages[i]))
            {
              return true;
            }
          }
          return false;
        },
        seconds);
  }
  ros::Subscriber sub;
  std::vector<Msg> messages;
  std::vector<ros::WallTime> arrivals;
};

// Topics that this process (the panel) has advertised, whether or not the master accepted them.
bool topicAdvertised(const std::string& name)
{
  ros::V_string topics;
  ros::this_node::getAdvertisedTopics(topics);
  for (const std::string& t : topics)
  {
    if (t == name)
    {
      return true;
    }
  }
  return false;
}

// Handles on the panel's widgets, found through its layouts rather than by object order.
struct Widgets
{
  explicit Widgets(zv_viz::ZorvikPanel& panel)
  {
    QVBoxLayout* main = qobject_cast<QVBoxLayout*>(panel.layout());
    group = qobject_cast<QGroupBox*>(main->itemAt(0)->widget());
    QGridLayout* grid = qobject_cast<QGridLayout*>(group->layout());
    for (int r = 0; r < 3; ++r)
    {
      label[r] = qobject_cast<QLabel*>(grid->itemAtPosition(r, 0)->widget());
      slider[r] = qobject_cast<QSlider*>(grid->itemAtPosition(r, 1)->widget());
      spin[r] = qobject_cast<QDoubleSpinBox*>(grid->itemAtPosition(r, 2)->widget());
    }
    topics = qobject_cast<QGroupBox*>(main->itemAt(1)->widget());
    combo = panel.findChild<QComboBox*>();
    enabled = qobject_cast<QCheckBox*>(main->itemAt(2)->layout()->itemAt(0)->widget());
    pwm = qobject_cast<QCheckBox*>(main->itemAt(3)->layout()->itemAt(0)->widget());
  }
  // What a user's pick in the selector reports, also when the entry was already current.
  void choose(const QString& text)
  {
    combo->setCurrentText(text);
    Q_EMIT combo->activated(combo->currentIndex());
    // The QString overload, deprecated in newer Qt, is the one the panel connects to.
    QMetaObject::invokeMethod(combo, "activated", Q_ARG(QString, text));
  }
  QGroupBox* group;
  QGroupBox* topics;
  QLabel* label[3];
  QSlider* slider[3];
  QDoubleSpinBox* spin[3];
  QComboBox* combo;
  QCheckBox* enabled;
  QCheckBox* pwm;
};

struct Saved
{
  const char* topic;  // nullptr: key absent
  int enabled;        // -1: key absent
  int pwm;            // -1: key absent
};

class PanelTest : public ::testing::Test
{
 protected:
  void SetUp() override
  {
    ros::param::del("/zorvik/d");
    ros::param::del("/zorvik/km");
  }

  zv_viz::ZorvikPanel& make(const Saved& saved)
  {
    rviz::Config config;
    if (saved.topic != nullptr)
    {
      config.mapSetValue("Topic", QString(saved.topic));
    }
    if (saved.enabled >= 0)
    {
      config.mapSetValue("Enabled", saved.enabled == 1);
    }
    if (saved.pwm >= 0)
    {
      config.mapSetValue("PWM Cntrl Enabled", saved.pwm == 1);
    }
    return load(config);
  }

  zv_viz::ZorvikPanel& load(const rviz::Config& config)
  {
    panel.reset(new zv_viz::ZorvikPanel);
    panel->load(config);
    panel->show();
    widgets.reset(new Widgets(*panel));
    return *panel;
  }

  void click(QCheckBox* box)
  {
    QTest::mouseClick(box, Qt::LeftButton);
  }

  std::unique_ptr<zv_viz::ZorvikPanel> panel;
  std::unique_ptr<Widgets> widgets;
};

TEST_F(PanelTest, StateLayoutTruncatesSpinBoxToWholeDegrees)
{
  make({"/zv_state", 1, -1});
  Widgets& w = *widgets;
  EXPECT_EQ("Zorvik States", w.group->title());
  EXPECT_EQ("Pitch", w.label[0]->text());
  EXPECT_EQ("Roll", w.label[2]->text());
  EXPECT_EQ(-45, w.slider[0]->minimum());
  EXPECT_EQ(45, w.slider[2]->maximum());

  // Slider moves from 0 to 12, and its change writes 12.00 back.
  w.spin[0]->setValue(12.7);
  EXPECT_EQ(12, w.slider[0]->value());
  EXPECT_DOUBLE_EQ(12.0, w.spin[0]->value());
  // Slider already at 12: nothing comes back, the spin box keeps its fraction.
  w.spin[0]->setValue(12.7);
  EXPECT_EQ(12, w.slider[0]->value());
  EXPECT_DOUBLE_EQ(12.7, w.spin[0]->value());
  w.spin[1]->setValue(-12.7);
  EXPECT_EQ(-12, w.slider[1]->value());

  Recorder<zv_msgs::State> states("/zv_state");
  const float pitch = static_cast<float>(12 * kDeg);
  const float yaw = static_cast<float>(-12 * kDeg);
  EXPECT_TRUE(states.waitFor([&](const zv_msgs::State& m) { return m.pitch == pitch && m.yaw == yaw; }));
}

TEST_F(PanelTest, StateLayoutPublishesRadians)
{
  make({"/zv_state", 1, -1});
  Widgets& w = *widgets;
  w.slider[0]->setValue(10);
  w.slider[1]->setValue(-20);
  w.spin[2]->setValue(45);
  EXPECT_EQ(45, w.slider[2]->value());

  Recorder<zv_msgs::State> states("/zv_state");
  zv_msgs::State got;
  ASSERT_TRUE(states.waitFor(
      [&](const zv_msgs::State& m)
      {
        got = m;
        return m.roll != 0.0f;
      }));
  EXPECT_NEAR(0.17453292, got.pitch, 1e-7);
  EXPECT_NEAR(-0.34906584, got.yaw, 1e-7);
  EXPECT_NEAR(0.78539819, got.roll, 1e-7);

  // An unchanged setpoint keeps streaming.
  const size_t before = states.messages.size();
  EXPECT_TRUE(pollUntil([&] { return states.messages.size() >= before + 3; }));
  EXPECT_EQ(got.roll, states.messages.back().roll);
}

TEST_F(PanelTest, ReferenceLayoutHidesRollAndPublishesYawPitch)
{
  make({"/zv_reference_state", 1, 1});
  Widgets& w = *widgets;
  EXPECT_EQ("Zorvik Reference States", w.group->title());
  EXPECT_EQ("Pitch_r", w.label[0]->text());
  EXPECT_EQ("Yaw_r", w.label[1]->text());
  EXPECT_TRUE(w.slider[2]->isHidden());
  EXPECT_TRUE(w.spin[2]->isHidden());
  EXPECT_TRUE(w.label[2]->isHidden());

  w.spin[0]->setValue(12.7);
  EXPECT_EQ(12, w.slider[0]->value());
  w.slider[1]->setValue(-30);
  EXPECT_DOUBLE_EQ(-30.0, w.spin[1]->value());

  // The PWM box means nothing outside the Command layout.
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  const float pitch = static_cast<float>(12 * kDeg);
  const float yaw = static_cast<float>(-30 * kDeg);
  EXPECT_TRUE(refs.waitFor([&](const zv_msgs::ReferenceState& m) { return m.pitch == pitch && m.yaw == yaw; }));
}

TEST_F(PanelTest, CommandLayoutSliderAndSpinBoxSettleOnTwoDecimals)
{
  make({"/zv_command", 1, -1});
  Widgets& w = *widgets;
  EXPECT_EQ("Zorvik Commands", w.group->title());
  EXPECT_EQ("Force", w.label[0]->text());
  EXPECT_EQ("Torque", w.label[1]->text());
  EXPECT_EQ("PWM", w.label[2]->text());
  EXPECT_EQ(-20000, w.slider[0]->minimum());
  EXPECT_EQ(20000, w.slider[1]->maximum());
  EXPECT_EQ(15000, w.slider[0]->tickInterval());
  EXPECT_EQ(1000, w.slider[2]->maximum());
  EXPECT_EQ(3, w.spin[2]->decimals());
  EXPECT_EQ(2, w.spin[0]->decimals());

  // 12345 ticks -> 12.345 -> shown and reported as 12.35 -> slider 12350 -> 12.35 again.
  w.slider[0]->setValue(12345);
  EXPECT_EQ(12350, w.slider[0]->value());
  EXPECT_DOUBLE_EQ(12.35, w.spin[0]->value());

  // With d and km at 1.0 and no torque, each motor gets half the force: 12.35 / 2 (halving is exact).
  Recorder<zv_msgs::Command> commands("/zv_command");
  const float half = 6.175f;
  EXPECT_TRUE(
      commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == half && m.right_motor == half; }));

  w.spin[2]->setValue(0.4567);
  EXPECT_EQ(457, w.slider[2]->value());
  w.slider[2]->setValue(1000);
  EXPECT_DOUBLE_EQ(1.0, w.spin[2]->value());
}

TEST_F(PanelTest, MixingLawUsesRigParameters)
{
  ros::param::set("/zorvik/d", 0.25);
  ros::param::set("/zorvik/km", 2.0);
  make({"/zv_command", 1, -1});
  widgets->spin[0]->setValue(0.8);
  widgets->spin[1]->setValue(0.1);
  Recorder<zv_msgs::Command> commands("/zv_command");
  zv_msgs::Command got;
  ASSERT_TRUE(commands.waitFor(
      [&](const zv_msgs::Command& m)
      {
        got = m;
        return m.right_motor != 0.0f && m.left_motor != m.right_motor;
      }));
  // torque / d = 0.4; left (0.8 + 0.4) / 2 / 2 = 0.3, right (0.8 - 0.4) / 2 / 2 = 0.1.
  EXPECT_NEAR(0.3, got.left_motor, 1e-7);
  EXPECT_NEAR(0.1, got.right_motor, 1e-7);
}

TEST_F(PanelTest, MixingLawDefaultsAndNonNumericParametersGiveOneAndPublishUnclamped)
{
  ros::param::set("/zorvik/d", std::string("wide"));
  make({"/zv_command", 1, -1});
  widgets->spin[0]->setValue(2.0);
  widgets->spin[1]->setValue(0.5);
  Recorder<zv_msgs::Command> commands("/zv_command");
  EXPECT_TRUE(
      commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == 1.25f && m.right_motor == 0.75f; }));
}

TEST_F(PanelTest, PwmBoxIsReadAtEveryTick)
{
  make({"/zv_command", 1, 1});
  Widgets& w = *widgets;
  EXPECT_TRUE(w.pwm->isChecked());
  w.spin[0]->setValue(1.0);
  w.slider[2]->setValue(400);
  Recorder<zv_msgs::Command> commands("/zv_command");
  const float pwm = 0.4f;  // 400 ticks at 1000 per unit
  EXPECT_TRUE(commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == pwm && m.right_motor == pwm; }));
  click(w.pwm);
  EXPECT_FALSE(w.pwm->isChecked());
  EXPECT_TRUE(
      commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == 0.5f && m.right_motor == 0.5f; }));
  click(w.pwm);
  EXPECT_TRUE(commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == pwm; }));
}

TEST_F(PanelTest, ConfigChangedOnlyWhenEnabledChanges)
{
  make({"/zv_reference_state", 0, -1});
  Widgets& w = *widgets;
  QSignalSpy spy(panel.get(), SIGNAL(configChanged()));
  EXPECT_FALSE(w.slider[0]->isEnabled());
  EXPECT_FALSE(w.spin[2]->isEnabled());

  w.choose("/zv_command");
  click(w.pwm);
  w.slider[0]->setValue(5);
  EXPECT_EQ(0, spy.count());

  click(w.enabled);
  EXPECT_EQ(1, spy.count());
  EXPECT_TRUE(w.slider[0]->isEnabled());
  EXPECT_TRUE(w.spin[2]->isEnabled());
  click(w.enabled);
  EXPECT_EQ(2, spy.count());
  EXPECT_FALSE(w.spin[1]->isEnabled());
  // No change, no notification; the widgets still follow the flag.
  w.slider[0]->setEnabled(true);
  QMetaObject::invokeMethod(panel.get(), "setEnabled", Q_ARG(bool, false));
  EXPECT_EQ(2, spy.count());
  EXPECT_FALSE(w.slider[0]->isEnabled());
  EXPECT_TRUE(panel->isEnabled());
  // The selector and the boxes stay usable while editing is off.
  EXPECT_TRUE(w.combo->isEnabled());
  EXPECT_TRUE(w.enabled->isEnabled());
}

TEST_F(PanelTest, LayoutsKeepTheirOwnValuesAcrossSwitches)
{
  make({"/zv_state", 1, -1});
  Widgets& w = *widgets;
  w.slider[0]->setValue(7);
  w.slider[2]->setValue(30);

  w.choose("/zv_reference_state");
  EXPECT_EQ(0, w.slider[0]->value());
  EXPECT_TRUE(w.slider[2]->isHidden());
  w.slider[0]->setValue(-5);

  w.choose("/zv_command");
  EXPECT_EQ(0, w.slider[0]->value());
  EXPECT_FALSE(w.slider[2]->isHidden());
  w.spin[1]->setValue(3.5);

  w.choose("/zv_state");
  EXPECT_EQ(7, w.slider[0]->value());
  EXPECT_EQ(30, w.slider[2]->value());
  EXPECT_DOUBLE_EQ(30.0, w.spin[2]->value());
  EXPECT_EQ(1, w.spin[2]->decimals());
  EXPECT_FALSE(w.slider[2]->isHidden());
  Recorder<zv_msgs::State> states("/zv_state");
  const float pitch = static_cast<float>(7 * kDeg);
  const float roll = static_cast<float>(30 * kDeg);
  EXPECT_TRUE(states.waitFor([&](const zv_msgs::State& m) { return m.pitch == pitch && m.roll == roll; }));

  w.choose("/zv_reference_state");
  EXPECT_EQ(-5, w.slider[0]->value());
  w.choose("/zv_command");
  EXPECT_EQ(3500, w.slider[1]->value());
  EXPECT_DOUBLE_EQ(3.5, w.spin[1]->value());
}

// Applying the State layout holds the panel for 0.5 s on the steady clock: no State goes out and
// the rows ignore the keyboard; then the stream resumes with the values set before, and editing too.
// A message published in the panel's own process reaches the recorder at the next spin, so an
// arrival before the end of the hold would mean a send during it (a stall can only delay it).
TEST_F(PanelTest, StateLayoutHoldsSendsAndEditsForHalfASecond)
{
  Recorder<zv_msgs::State> states("/zv_state");
  const ros::WallTime loaded = ros::WallTime::now();
  make({"/zv_state", 1, -1});
  Widgets& w = *widgets;
  ASSERT_TRUE(states.waitFor([](const zv_msgs::State&) { return true; }));
  EXPECT_GE((states.arrivals.front() - loaded).toSec(), 0.5);
  w.slider[0]->setValue(7);
  const float seven = static_cast<float>(7 * kDeg);
  ASSERT_TRUE(states.waitFor([&](const zv_msgs::State& m) { return m.pitch == seven; }));

  ros::spinOnce();
  const size_t before = states.messages.size();
  const ros::WallTime applied = ros::WallTime::now();
  w.choose("/zv_state");
  w.slider[0]->setFocus();
  QTest::keyClick(w.slider[0], Qt::Key_Right);
  EXPECT_EQ(7, w.slider[0]->value());
  ASSERT_TRUE(pollUntil([&] { return states.messages.size() > before; }));
  EXPECT_GE((states.arrivals[before] - applied).toSec(), 0.5);
  EXPECT_EQ(seven, states.messages[before].pitch);

  QTest::keyClick(w.slider[0], Qt::Key_Right);
  EXPECT_EQ(8, w.slider[0]->value());
  const float eight = static_cast<float>(8 * kDeg);
  EXPECT_TRUE(states.waitFor([&](const zv_msgs::State& m) { return m.pitch == eight; }));
}

TEST_F(PanelTest, TopicChoiceReplacesThePublisher)
{
  make({"/zv_state", 1, -1});
  Widgets& w = *widgets;
  Recorder<zv_msgs::State> states("/zv_state");
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  ASSERT_TRUE(states.waitFor([](const zv_msgs::State&) { return true; }));

  w.choose("/zv_reference_state");
  EXPECT_TRUE(refs.waitFor([](const zv_msgs::ReferenceState&) { return true; }));
  EXPECT_TRUE(pollUntil([&] { return states.sub.getNumPublishers() == 0; }));

  // Choosing while disabled advertises nothing; enabling then advertises the chosen type.
  click(w.enabled);
  EXPECT_TRUE(pollUntil([&] { return refs.sub.getNumPublishers() == 0; }));
  Recorder<zv_msgs::Command> commands("/zv_command");
  w.choose("/zv_command");
  EXPECT_FALSE(topicAdvertised("/zv_command"));
  click(w.enabled);
  EXPECT_TRUE(commands.waitFor([](const zv_msgs::Command&) { return true; }));

  // Choosing the current entry again advertises anew and keeps streaming.
  w.choose("/zv_command");
  EXPECT_TRUE(commands.waitFor([](const zv_msgs::Command&) { return true; }));
}

TEST_F(PanelTest, DisabledPanelPublishesNothing)
{
  make({"/zv_reference_state", -1, -1});
  EXPECT_FALSE(widgets->enabled->isChecked());
  EXPECT_FALSE(topicAdvertised("/zv_reference_state"));
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  click(widgets->enabled);
  EXPECT_TRUE(refs.waitFor([](const zv_msgs::ReferenceState&) { return true; }));
}

TEST_F(PanelTest, SaveAndLoadRoundTrip)
{
  {
    // Saved before ever being loaded: construction's values.
    zv_viz::ZorvikPanel fresh;
    rviz::Config config;
    fresh.save(config);
    bool enabled = true;
    QString topic = "x";
    EXPECT_TRUE(config.mapGetBool("Enabled", &enabled));
    EXPECT_FALSE(enabled);
    EXPECT_TRUE(config.mapGetString("Topic", &topic));
    EXPECT_EQ("", topic);
  }

  make({"/zv_command", 1, 1});
  widgets->choose("/zv_reference_state");
  rviz::Config saved;
  panel->save(saved);
  QString topic;
  bool enabled = false;
  bool pwm = true;
  ASSERT_TRUE(saved.mapGetString("Topic", &topic));
  EXPECT_EQ("/zv_reference_state", topic);
  ASSERT_TRUE(saved.mapGetBool("Enabled", &enabled));
  EXPECT_TRUE(enabled);
  EXPECT_FALSE(saved.mapGetBool("PWM Cntrl Enabled", &pwm));

  // A saved enabled panel streams again at once; the PWM box comes back unchecked.
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  load(saved);
  EXPECT_EQ("Zorvik Reference States", widgets->group->title());
  EXPECT_EQ("/zv_reference_state", widgets->combo->currentText());
  EXPECT_TRUE(widgets->enabled->isChecked());
  EXPECT_FALSE(widgets->pwm->isChecked());
  EXPECT_TRUE(refs.waitFor([](const zv_msgs::ReferenceState&) { return true; }));
}

TEST_F(PanelTest, UnrecognisedTopicFallsBackToState)
{
  for (const char* saved : {"/ZV_COMMAND", "/zv_reference", "zv_command"})
  {
    make({saved, 0, -1});
    EXPECT_EQ("Zorvik States", widgets->group->title()) << saved;
    EXPECT_EQ("/zv_state", widgets->combo->currentText()) << saved;
    rviz::Config config;
    panel->save(config);
    QString topic;
    config.mapGetString("Topic", &topic);
    EXPECT_EQ("/zv_state", topic) << saved;
  }
}

// A configuration without "Topic": roscpp resolves the empty name to "/", hands back a valid
// publisher and the master silently refuses the registration, so nothing would ever arrive. The panel
// runs the Command layout, shows "/zv_command" and publishes nothing until a topic is chosen.
TEST_F(PanelTest, MissingTopicNeverAdvertisesOnAnEmptyName)
{
  make({nullptr, 1, 1});
  Widgets& w = *widgets;
  EXPECT_EQ("Zorvik Commands", w.group->title());
  EXPECT_EQ("/zv_command", w.combo->currentText());
  EXPECT_TRUE(w.slider[0]->isEnabled());
  EXPECT_FALSE(topicAdvertised("/"));

  // Row 2 edits the PWM value like the rest of the Command layout.
  w.slider[2]->setValue(250);
  EXPECT_DOUBLE_EQ(0.25, w.spin[2]->value());

  // Toggling "Enabled" off and on again must neither throw nor advertise.
  click(w.enabled);
  click(w.enabled);
  EXPECT_FALSE(topicAdvertised("/"));
  rviz::Config config;
  panel->save(config);
  QString topic = "x";
  config.mapGetString("Topic", &topic);
  EXPECT_EQ("", topic);

  Recorder<zv_msgs::Command> commands("/zv_command");
  w.choose("/zv_command");
  const float pwm = 0.25f;  // 250 ticks at 1000 per unit
  EXPECT_TRUE(commands.waitFor([&](const zv_msgs::Command& m) { return m.left_motor == pwm; }));
}

// The sign of both inputs must survive to the throttles (a range starting at 0 would lose it).
// With d = km = 1: left = (-3 + -1) / 2 = -2, right = (-3 - -1) / 2 = -1.
TEST_F(PanelTest, NegativeForceAndTorqueReachTheCommand)
{
  make({"/zv_command", 1, 0});
  widgets->spin[0]->setValue(-3.0);
  widgets->spin[1]->setValue(-1.0);
  EXPECT_EQ(-3000, widgets->slider[0]->value());
  Recorder<zv_msgs::Command> commands("/zv_command");
  EXPECT_TRUE(
      commands.waitFor([](const zv_msgs::Command& m) { return m.left_motor == -2.0f && m.right_motor == -1.0f; }));
}

// Roll at 30 deg lies outside the PWM row's 0..1: applying the Command layout must not let the
// spin box's clamp to 1.0 write the throttle.
TEST_F(PanelTest, LeavingStateWithRollSetDoesNotSetPwm)
{
  make({"/zv_state", 1, 1});
  Widgets& w = *widgets;
  w.slider[2]->setValue(30);
  w.choose("/zv_command");
  EXPECT_DOUBLE_EQ(0.0, w.spin[2]->value());
  EXPECT_EQ(0, w.slider[2]->value());
  Recorder<zv_msgs::Command> commands("/zv_command");
  ASSERT_TRUE(pollUntil([&] { return commands.messages.size() >= 3; }));
  for (const zv_msgs::Command& m : commands.messages)
  {
    EXPECT_EQ(0.0f, m.left_motor);
    EXPECT_EQ(0.0f, m.right_motor);
  }
}

// What a panel saved before a topic was chosen writes: it must not stream anything anywhere.
TEST_F(PanelTest, EmptySavedTopicPublishesNothing)
{
  make({"", 1, -1});
  EXPECT_EQ("Zorvik Commands", widgets->group->title());
  EXPECT_TRUE(widgets->enabled->isChecked());
  Recorder<zv_msgs::State> states("/zv_state");
  QTest::qWait(300);
  ros::V_string topics;
  ros::this_node::getAdvertisedTopics(topics);
  EXPECT_EQ(ros::V_string{"/rosout"}, topics);
  EXPECT_TRUE(states.messages.empty());
}

// Panels > Add New Panel initialises a panel and never loads it; a configured panel is initialised
// and loaded in the same turn of the event loop. Either way: one widget tree, one send timer.
TEST_F(PanelTest, InitialisedPanelBuildsOnceWithOrWithoutLoad)
{
  panel.reset(new zv_viz::ZorvikPanel);
  panel->initialize(nullptr);
  panel->show();
  ASSERT_TRUE(pollUntil([&] { return panel->layout() != nullptr; }));
  widgets.reset(new Widgets(*panel));
  EXPECT_EQ("Zorvik Commands", widgets->group->title());
  EXPECT_FALSE(widgets->enabled->isChecked());
  EXPECT_FALSE(widgets->slider[0]->isEnabled());
  EXPECT_FALSE(topicAdvertised("/zv_command"));

  panel.reset(new zv_viz::ZorvikPanel);
  panel->initialize(nullptr);
  rviz::Config config;
  config.mapSetValue("Topic", "/zv_state");
  config.mapSetValue("Enabled", true);
  panel->load(config);
  panel->show();
  QTest::qWait(100);
  widgets.reset(new Widgets(*panel));
  EXPECT_EQ(3, panel->findChildren<QSlider*>().size());
  EXPECT_EQ("Zorvik States", widgets->group->title());

  // Layout switches and "Enabled" toggles must not add a timer: the stream stays at 20 Hz.
  widgets->choose("/zv_command");
  click(widgets->enabled);
  click(widgets->enabled);
  widgets->choose("/zv_reference_state");
  click(widgets->enabled);
  click(widgets->enabled);
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  ASSERT_TRUE(refs.waitFor([](const zv_msgs::ReferenceState&) { return true; }));
  const size_t before = refs.messages.size();
  const ros::WallTime start = ros::WallTime::now();
  pollUntil([] { return false; }, 3.0);
  const double rate = (refs.messages.size() - before) / (ros::WallTime::now() - start).toSec();
  EXPECT_GT(rate, 13.0);
  EXPECT_LT(rate, 27.0);
}

TEST_F(PanelTest, SecondLoadReusesTheWidgets)
{
  make({"/zv_command", 0, -1});
  QSlider* first = widgets->slider[0];
  const int children = panel->findChildren<QWidget*>().size();
  QSignalSpy spy(panel.get(), SIGNAL(configChanged()));

  rviz::Config again;
  again.mapSetValue("Topic", "/zv_reference_state");
  again.mapSetValue("Enabled", true);
  panel->load(again);
  widgets.reset(new Widgets(*panel));
  EXPECT_EQ(first, widgets->slider[0]);
  EXPECT_EQ(children, panel->findChildren<QWidget*>().size());
  EXPECT_EQ(0, spy.count());
  EXPECT_EQ("Zorvik Reference States", widgets->group->title());
  EXPECT_EQ("/zv_reference_state", widgets->combo->currentText());
  EXPECT_TRUE(widgets->enabled->isChecked());
  EXPECT_TRUE(widgets->slider[0]->isEnabled());
  Recorder<zv_msgs::ReferenceState> refs("/zv_reference_state");
  EXPECT_TRUE(refs.waitFor([](const zv_msgs::ReferenceState&) { return true; }));
}

}  // namespace

int main(int argc, char** argv)
{
  qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "test_zorvik_panel");
  ros::NodeHandle nh;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
