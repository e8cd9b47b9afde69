#include "zorvik_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSizePolicy>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "zv_rig/mixing.h"

namespace zv_viz
{
namespace
{
// Degrees to radians, pi / 180.
const double kDegToRad = 0.017453292519943295;
const int kSendPeriodMs = 50;
const int kDegreeTickInterval = 15;
// How long applying the State layout holds the panel's output.
const int kStateHoldMs = 500;

// Reads a rig parameter, keeping 1.0 when it is absent or not a number.
float readRigParameter(const ros::NodeHandle& nh, const std::string& key)
{
  float value = 1.0f;
  if (nh.hasParam(key) && nh.getParam(key, value))
  {
    return value;
  }
  return 1.0f;
}

// A coarse timer may fire up to 5 % (2.5 ms) off the 50 ms period; the stream's consumers expect an
// even 20 Hz. The period benchmark builds a second copy of this library with a coarse timer.
#ifdef ZV_VIZ_COARSE_SEND_TIMER
const Qt::TimerType kSendTimerType = Qt::CoarseTimer;
#else
const Qt::TimerType kSendTimerType = Qt::PreciseTimer;
#endif

void setDegreeRow(QSlider* slider, QDoubleSpinBox* spinbox, int limit, int value)
{
  slider->setRange(-limit, limit);
  slider->setTickInterval(kDegreeTickInterval);
  slider->setValue(value);
  spinbox->setRange(-limit, limit);
  spinbox->setValue(value);
}

QSlider* makeSlider()
{
  QSlider* slider = new QSlider(Qt::Horizontal);
  slider->setTickPosition(QSlider::TicksBelow);
  return slider;
}

QHBoxLayout* makeCheckBoxRow(QCheckBox* box, const QString& text)
{
  QHBoxLayout* row = new QHBoxLayout;
  box->setSizePolicy(QSizePolicy());
  row->addWidget(box);
  row->addWidget(new QLabel(text));
  return row;
}
}  // namespace

ZorvikPanel::ZorvikPanel(QWidget* parent) : rviz::Panel(parent)
{
  d_ = readRigParameter(nh_, "/zorvik/d");
  km_ = readRigParameter(nh_, "/zorvik/km");
}

ZorvikPanel::Kind ZorvikPanel::kind() const
{
  const QByteArray topic = topic_.toUtf8();
  if (kStateTopic == topic.constData())
  {
    return Kind::State;
  }
  if (kReferenceTopic == topic.constData())
  {
    return Kind::Reference;
  }
  return Kind::Command;
}

void ZorvikPanel::init()
{
  slider_one_ = makeSlider();
  spinbox_one_ = new QDoubleSpinBox;
  slider_two_ = makeSlider();
  spinbox_two_ = new QDoubleSpinBox;
  slider_three_ = makeSlider();
  spinbox_three_ = new QDoubleSpinBox;

  topic_combo_box_ = new QComboBox;
  topic_combo_box_->addItem(QString::fromStdString(kStateTopic));
  topic_combo_box_->addItem(QString::fromStdString(kReferenceTopic));
  topic_combo_box_->addItem(QString::fromStdString(kCommandTopic));
  topic_combo_box_->setInsertPolicy(QComboBox::NoInsert);
  selectTopicInComboBox();

  QTimer* send_timer = new QTimer(this);
  send_timer->setTimerType(kSendTimerType);
  // Qt's timers run on the monotonic clock, whatever ROS time does. Precise: never ends early.
  hold_timer_ = new QTimer(this);
  hold_timer_->setSingleShot(true);
  hold_timer_->setTimerType(Qt::PreciseTimer);
  connect(hold_timer_, &QTimer::timeout, this, [this] { applyEnabledState(); });

  label_one_ = new QLabel;
  label_two_ = new QLabel;
  label_three_ = new QLabel;

  slider_layout_ = new QGridLayout;
  slider_layout_->addWidget(label_one_, 0, 0);
  slider_layout_->addWidget(slider_one_, 0, 1);
  slider_layout_->addWidget(spinbox_one_, 0, 2);
  slider_layout_->addWidget(label_two_, 1, 0);
  slider_layout_->addWidget(slider_two_, 1, 1);
  slider_layout_->addWidget(spinbox_two_, 1, 2);
  slider_layout_->addWidget(label_three_, 2, 0);
  slider_layout_->addWidget(slider_three_, 2, 1);
  slider_layout_->addWidget(spinbox_three_, 2, 2);
  slider_group_box_ = new QGroupBox;
  slider_group_box_->setLayout(slider_layout_);

  QGridLayout* topic_layout = new QGridLayout;
  topic_layout->addWidget(new QLabel("Layout Type"), 0, 0);
  topic_layout->addWidget(topic_combo_box_, 0, 1);
  QGroupBox* topic_group_box = new QGroupBox(tr("Topics"));
  topic_group_box->setLayout(topic_layout);

  QHBoxLayout* enabled_row = makeCheckBoxRow(enabled_check_box_, "Enabled");
  QHBoxLayout* pwm_row = makeCheckBoxRow(pwm_check_box_, "PWM Cntrl Enabled");

  main_layout_ = new QVBoxLayout;
  main_layout_->addWidget(slider_group_box_);
  main_layout_->addWidget(topic_group_box);
  main_layout_->addLayout(enabled_row);
  main_layout_->addLayout(pwm_row);

  // String-based connections: the overloaded and, in newer Qt, deprecated signals resolve the
  // same way on every Qt 5 release.
  connect(slider_one_, SIGNAL(valueChanged(int)), this, SLOT(sliderOneCallback(int)));
  connect(spinbox_one_, SIGNAL(valueChanged(double)), this, SLOT(spinboxOneCallback(double)));
  connect(slider_two_, SIGNAL(valueChanged(int)), this, SLOT(sliderTwoCallback(int)));
  connect(spinbox_two_, SIGNAL(valueChanged(double)), this, SLOT(spinboxTwoCallback(double)));
  connect(slider_three_, SIGNAL(valueChanged(int)), this, SLOT(sliderThreeCallback(int)));
  connect(spinbox_three_, SIGNAL(valueChanged(double)), this, SLOT(spinboxThreeCallback(double)));
  connect(topic_combo_box_, SIGNAL(activated(QString)), this, SLOT(updateLayout(QString)));
  connect(enabled_check_box_, SIGNAL(toggled(bool)), this, SLOT(setEnabled(bool)));
  connect(send_timer, SIGNAL(timeout()), this, SLOT(sendSetpoints()));

  setTopic();
  setEnabled(enabled_check_box_->isChecked());
  send_timer->start(kSendPeriodMs);

  QWidget::setLayout(main_layout_);
}

void ZorvikPanel::updateWidgets()
{
  slider_one_->blockSignals(true);
  slider_two_->blockSignals(true);
  slider_three_->blockSignals(true);
  spinbox_one_->blockSignals(true);
  spinbox_two_->blockSignals(true);
  spinbox_three_->blockSignals(true);

  switch (kind())
  {
    case Kind::State:
      setDegreeRow(slider_one_, spinbox_one_, pitch_limit_, pitch_);
      setDegreeRow(slider_two_, spinbox_two_, yaw_limit_, yaw_);
      slider_three_->setRange(-roll_limit_, roll_limit_);
      slider_three_->setTickInterval(kDegreeTickInterval);
      slider_three_->setValue(roll_);
      spinbox_three_->setSingleStep(1.0);
      spinbox_three_->setDecimals(1);
      spinbox_three_->setRange(-roll_limit_, roll_limit_);
      spinbox_three_->setValue(roll_);
      slider_three_->setVisible(true);
      spinbox_three_->setVisible(true);
      label_three_->setVisible(true);
      label_one_->setText("Pitch");
      label_two_->setText("Yaw");
      label_three_->setText("Roll");
      slider_group_box_->setTitle("Zorvik States");
      startHold();
      break;
    case Kind::Reference:
      setDegreeRow(slider_one_, spinbox_one_, pitch_limit_, pitch_r_);
      setDegreeRow(slider_two_, spinbox_two_, yaw_limit_, yaw_r_);
      slider_three_->setVisible(false);
      spinbox_three_->setVisible(false);
      label_three_->setVisible(false);
      label_one_->setText("Pitch_r");
      label_two_->setText("Yaw_r");
      slider_group_box_->setTitle("Zorvik Reference States");
      break;
    case Kind::Command:
    {
      // Single-precision products and truncation toward zero, as the slider ticks were always set.
      const int tick_interval = static_cast<int>(kDegreeTickInterval * scale_);
      slider_one_->setRange(static_cast<int>(-force_limit_ * scale_), static_cast<int>(force_limit_ * scale_));
      slider_one_->setTickInterval(tick_interval);
      slider_one_->setValue(static_cast<int>(static_cast<double>(scale_) * force_));
      spinbox_one_->setRange(-force_limit_, force_limit_);
      spinbox_one_->setValue(force_);
      slider_two_->setRange(static_cast<int>(-torque_limit_ * scale_), static_cast<int>(torque_limit_ * scale_));
      slider_two_->setTickInterval(tick_interval);
      slider_two_->setValue(static_cast<int>(static_cast<double>(scale_) * torque_));
      spinbox_two_->setRange(-torque_limit_, torque_limit_);
      spinbox_two_->setValue(torque_);
      slider_three_->setRange(0, static_cast<int>(pwm_limit_ * scale_));
      slider_three_->setTickInterval(tick_interval);
      slider_three_->setValue(static_cast<int>(static_cast<double>(scale_) * pwm_));
      spinbox_three_->setSingleStep(0.001);
      spinbox_three_->setDecimals(3);
      spinbox_three_->setRange(0.0, 1.0);
      spinbox_three_->setValue(pwm_);
      slider_three_->setVisible(true);
      spinbox_three_->setVisible(true);
      label_three_->setVisible(true);
      label_one_->setText("Force");
      label_two_->setText("Torque");
      label_three_->setText("PWM");
      slider_group_box_->setTitle("Zorvik Commands");
      break;
    }
  }

  slider_one_->blockSignals(false);
  slider_two_->blockSignals(false);
  slider_three_->blockSignals(false);
  spinbox_one_->blockSignals(false);
  spinbox_two_->blockSignals(false);
  spinbox_three_->blockSignals(false);
}

QSlider* ZorvikPanel::rowSlider(int row) const
{
  return row == 0 ? slider_one_ : row == 1 ? slider_two_ : slider_three_;
}

QDoubleSpinBox* ZorvikPanel::rowSpinBox(int row) const
{
  return row == 0 ? spinbox_one_ : row == 1 ? spinbox_two_ : spinbox_three_;
}

void ZorvikPanel::editRow(int row, bool from_slider, double value)
{
  QSlider* slider = rowSlider(row);
  QDoubleSpinBox* spinbox = rowSpinBox(row);
  const Kind layout = kind();
  if (layout == Kind::Command)
  {
    // The slider counts scale_ ticks per spin-box unit.
    double& member = row == 0 ? force_ : row == 1 ? torque_ : pwm_;
    if (from_slider)
    {
      member = static_cast<float>(value) / scale_;
      spinbox->setValue(member);
    }
    else
    {
      member = value;
      slider->setValue(static_cast<int>(static_cast<double>(scale_) * value));
    }
    return;
  }
  // Whole degrees; row 2 is hidden in the Reference layout and edits nothing there.
  int* member = nullptr;
  if (layout == Kind::State)
  {
    member = row == 0 ? &pitch_ : row == 1 ? &yaw_ : &roll_;
  }
  else if (row < 2)
  {
    member = row == 0 ? &pitch_r_ : &yaw_r_;
  }
  if (member == nullptr)
  {
    return;
  }
  *member = static_cast<int>(value);
  if (from_slider)
  {
    spinbox->setValue(*member);
  }
  else
  {
    slider->setValue(*member);
  }
}

void ZorvikPanel::sliderOneCallback(int value)
{
  editRow(0, true, value);
}

void ZorvikPanel::sliderTwoCallback(int value)
{
  editRow(1, true, value);
}

void ZorvikPanel::sliderThreeCallback(int value)
{
  editRow(2, true, value);
}

void ZorvikPanel::spinboxOneCallback(double value)
{
  editRow(0, false, value);
}

void ZorvikPanel::spinboxTwoCallback(double value)
{
  editRow(1, false, value);
}

void ZorvikPanel::spinboxThreeCallback(double value)
{
  editRow(2, false, value);
}

void ZorvikPanel::setEnabled(bool enabled)
{
  if (enabled != enabled_)
  {
    Q_EMIT configChanged();
    enabled_ = enabled;
    setTopic();
  }
  applyEnabledState();
}

void ZorvikPanel::applyEnabledState()
{
  const bool editable = enabled_ && !holding();
  slider_one_->setEnabled(editable);
  spinbox_one_->setEnabled(slider_one_->isEnabled());
  slider_two_->setEnabled(editable);
  spinbox_two_->setEnabled(slider_two_->isEnabled());
  slider_three_->setEnabled(editable);
  spinbox_three_->setEnabled(slider_three_->isEnabled());
}

void ZorvikPanel::startHold()
{
  // Applying the layout again while held restarts the hold from now.
  hold_timer_->start(kStateHoldMs);
  applyEnabledState();
}

bool ZorvikPanel::holding() const
{
  return hold_timer_ != nullptr && hold_timer_->isActive();
}

void ZorvikPanel::updateLayout(const QString& layout_type)
{
  topic_ = layout_type;
  updateWidgets();
  setTopic();
}

void ZorvikPanel::setTopic()
{
  if (!enabled_)
  {
    publisher_.shutdown();
    return;
  }
  const std::string topic = topic_.toUtf8().constData();
  if (topic.empty())
  {
    // roscpp resolves an empty name to the namespace itself, "/", and returns a valid publisher
    // that the master refuses to register: messages would silently go nowhere.
    publisher_.shutdown();
    ROS_WARN(
        "Zorvik panel: no topic selected (the loaded configuration has no \"Topic\"), so nothing is "
        "published; choose a topic under \"Layout Type\" to start publishing.");
    return;
  }
  switch (kind())
  {
    case Kind::State:
      publisher_ = nh_.advertise<zv_msgs::State>(topic, 1, false);
      break;
    case Kind::Reference:
      publisher_ = nh_.advertise<zv_msgs::ReferenceState>(topic, 1, false);
      break;
    case Kind::Command:
      publisher_ = nh_.advertise<zv_msgs::Command>(topic, 1, false);
      break;
  }
}

void ZorvikPanel::sendSetpoints()
{
  // During a hold the message members keep their values too.
  if (!ros::ok() || !enabled_ || holding())
  {
    return;
  }
  switch (kind())
  {
    case Kind::State:
      state_msg_.roll = static_cast<float>(roll_ * kDegToRad);
      state_msg_.pitch = static_cast<float>(pitch_ * kDegToRad);
      state_msg_.yaw = static_cast<float>(yaw_ * kDegToRad);
      break;
    case Kind::Reference:
      reference_msg_.yaw = static_cast<float>(yaw_r_ * kDegToRad);
      reference_msg_.pitch = static_cast<float>(pitch_r_ * kDegToRad);
      break;
    case Kind::Command:
      if (pwm_check_box_->isChecked())
      {
        command_msg_.left_motor = static_cast<float>(pwm_);
        command_msg_.right_motor = static_cast<float>(pwm_);
      }
      else
      {
        // force_ is the total thrust and torque_ the torque about the roll axis, mixed as the
        // controller mixes them. Unclamped: the motor driver limits the throttles.
        const zv_rig::Throttles<double> mixed =
            zv_rig::mixThrottles<double>(torque_, force_, static_cast<double>(d_), static_cast<double>(km_));
        command_msg_.left_motor = static_cast<float>(mixed.left);
        command_msg_.right_motor = static_cast<float>(mixed.right);
      }
      break;
  }
  if (!publisher_)
  {
    return;
  }
  switch (kind())
  {
    case Kind::State:
      publisher_.publish(state_msg_);
      break;
    case Kind::Reference:
      publisher_.publish(reference_msg_);
      break;
    case Kind::Command:
      publisher_.publish(command_msg_);
      break;
  }
}

void ZorvikPanel::onInitialize()
{
  // RViz initialises every panel it creates and then, for a panel of a configuration being opened,
  // loads it in the same call. Building one turn of the event loop later lets that load build the
  // panel from its saved keys; the panel is built once either way.
  QTimer::singleShot(0, this,
                     [this]
                     {
                       if (!built())
                       {
                         build();
                       }
                     });
}

void ZorvikPanel::load(const rviz::Config& config)
{
  rviz::Panel::load(config);

  // An empty "Topic" is what a panel saved before a topic was chosen writes: it counts as missing,
  // so such a file cannot start streaming fake states.
  QString topic;
  if (config.mapGetString("Topic", &topic) && !topic.isEmpty())
  {
    const std::string name = topic.toUtf8().constData();
    if (name == kStateTopic || name == kReferenceTopic || name == kCommandTopic)
    {
      topic_ = topic;
    }
    else
    {
      topic_ = QString::fromStdString(kStateTopic);
    }
  }
  if (!config.mapGetBool("Enabled", &enabled_))
  {
    enabled_ = false;
  }
  if (!config.mapGetBool("PWM Cntrl Enabled", &pwm_enabled_))
  {
    pwm_enabled_ = false;
  }

  if (built())
  {
    reapply();
  }
  else
  {
    build();
  }
}

void ZorvikPanel::build()
{
  enabled_check_box_ = new QCheckBox;
  enabled_check_box_->setChecked(enabled_);
  pwm_check_box_ = new QCheckBox;
  pwm_check_box_->setChecked(pwm_enabled_);
  init();
  updateWidgets();
}

void ZorvikPanel::selectTopicInComboBox()
{
  topic_combo_box_->setCurrentText(topic_);
  if (topic_combo_box_->currentText() != topic_)
  {
    // An empty topic_ (none chosen yet) runs the Command layout: show that layout's name rather
    // than the first entry, so the selector tells what is in force.
    topic_combo_box_->setCurrentText(QString::fromStdString(kCommandTopic));
  }
}

void ZorvikPanel::reapply()
{
  // The box mirrors enabled_ already set, so its toggled signal finds no change to report.
  enabled_check_box_->setChecked(enabled_);
  pwm_check_box_->setChecked(pwm_enabled_);
  selectTopicInComboBox();
  setTopic();
  applyEnabledState();
  updateWidgets();
}

void ZorvikPanel::save(rviz::Config config) const
{
  config.mapSetValue("Enabled", enabled_);
  config.mapSetValue("Topic", topic_);
  rviz::Panel::save(config);
}

}  // namespace zv_viz

#include <pluginlib/class_list_macros.hpp>
PLUGINLIB_EXPORT_CLASS(zv_viz::ZorvikPanel, rviz::Panel)
