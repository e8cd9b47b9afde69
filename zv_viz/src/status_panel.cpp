#include "status_panel.h"

#include "arm_service_caller.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace zv_viz
{
namespace
{
const char* const kArmService = "/zv_ros_driver/arm";
// The driver publishes its diagnostics every second: two missed in a row mean it is gone.
const double kDriverSilenceSeconds = 2.0;
const double kAnswerWaitSeconds = 2.0;
const int kRefreshPeriodMs = 100;
const int kLongestValue = 24;
const int kLongestMessage = 100;
// Red for what needs the operator's eye; white on red, larger, for a STOP that may not have acted.
const char* const kAlarmStyle = "color: #c62828; font-weight: bold;";
const char* const kStopAlarmStyle = "color: white; background-color: #c62828; font-size: 14pt; font-weight: bold;";

QString clipped(const std::string& text, int longest)
{
  QString value = QString::fromStdString(text);
  if (value.size() > longest)
  {
    value = value.left(longest - 3) + "...";
  }
  return value;
}

// A rate as the driver sends it, as text; "?" for anything but a finite number.
QString rateText(const std::string& text)
{
  bool ok = false;
  const double value = QString::fromStdString(text).trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(value))
  {
    return "?";
  }
  return QString::number(value, 'f', std::fabs(value) < 10.0 ? 1 : 0);
}

bool endsWith(const std::string& text, const std::string& tail)
{
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

QLabel* valueLabel(const char* name)
{
  QLabel* label = new QLabel("?");
  label->setObjectName(name);
  // Text from the network is shown as it is, never interpreted as markup.
  label->setTextFormat(Qt::PlainText);
  return label;
}

void setLabel(QLabel* label, const QString& text, const QString& style)
{
  if (label->text() != text)
  {
    label->setText(text);
  }
  if (label->styleSheet() != style)
  {
    label->setStyleSheet(style);
  }
}

double secondsSince(std::chrono::steady_clock::time_point then)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}
}  // namespace

StatusPanel::StatusPanel(QWidget* parent) : rviz::Panel(parent)
{
  nh_.setCallbackQueue(&queue_);
}

StatusPanel::~StatusPanel() = default;

void StatusPanel::onInitialize()
{
  if (caller_)
  {
    return;
  }
  build();
  diagnostics_sub_ = nh_.subscribe("/diagnostics", 20, &StatusPanel::diagnosticsCallback, this);
  armed_sub_ = nh_.subscribe("/zv_armed", 1, &StatusPanel::armedCallback, this);
  motors_cut_sub_ = nh_.subscribe("/zv_motors_cut", 1, &StatusPanel::motorsCutCallback, this);
  caller_.reset(new ArmServiceCaller(kArmService));

  QTimer* refresh_timer = new QTimer(this);
  connect(refresh_timer, SIGNAL(timeout()), this, SLOT(refresh()));
  refresh_timer->start(kRefreshPeriodMs);
  // Every key event of the application passes here first, whichever widget has the focus.
  qApp->installEventFilter(this);
  refresh();
}

void StatusPanel::build()
{
  driver_label_ = valueLabel("driver");
  driver_label_->setWordWrap(true);
  link_label_ = valueLabel("link");
  armed_label_ = valueLabel("armed");
  // It may carry why the driver ended a request: wrap rather than widen the dock.
  armed_label_->setWordWrap(true);
  motors_cut_label_ = valueLabel("motors_cut");
  states_rate_label_ = valueLabel("states_per_second");
  commands_rate_label_ = valueLabel("commands_per_second");

  QGridLayout* grid = new QGridLayout;
  const QString captions[] = {"Link", "Armed", "Motors cut", "States per second", "Commands per second"};
  QLabel* values[] = {link_label_, armed_label_, motors_cut_label_, states_rate_label_, commands_rate_label_};
  for (int row = 0; row < 5; ++row)
  {
    grid->addWidget(new QLabel(captions[row]), row, 0);
    grid->addWidget(values[row], row, 1);
  }
  grid->setColumnStretch(1, 1);

  arm_button_ = new QPushButton("ARM");
  arm_button_->setObjectName("arm");
  arm_button_->setToolTip("Ask the driver to arm the rig");
  arm_button_->setMinimumHeight(48);
  stop_button_ = new QPushButton("STOP");
  stop_button_->setObjectName("stop");
  stop_button_->setToolTip("Zero the throttles and disarm the rig (space bar, anywhere in RViz)");
  stop_button_->setMinimumHeight(72);
  stop_button_->setStyleSheet(
      "QPushButton { background-color: #c62828; color: white; font-size: 22pt; font-weight: bold;"
      " border: 2px solid #8e0000; border-radius: 4px; }"
      "QPushButton:pressed { background-color: #8e0000; }");
  QHBoxLayout* buttons = new QHBoxLayout;
  buttons->addWidget(arm_button_, 1);
  buttons->addWidget(stop_button_, 3);

  call_label_ = valueLabel("call_result");
  call_label_->setText("");
  call_label_->setWordWrap(true);
  QLabel* hint = new QLabel("Space bar: STOP");
  hint->setStyleSheet("color: gray;");

  QVBoxLayout* layout = new QVBoxLayout;
  layout->addWidget(driver_label_);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->addWidget(call_label_);
  layout->addWidget(hint);
  layout->addStretch(1);
  setLayout(layout);

  connect(arm_button_, SIGNAL(clicked()), this, SLOT(arm()));
  connect(stop_button_, SIGNAL(clicked()), this, SLOT(stop()));
}

void StatusPanel::arm()
{
  request(true);
}

void StatusPanel::stop()
{
  request(false);
}

void StatusPanel::request(bool arm)
{
  if (!caller_)
  {
    return;
  }
  request_id_ = caller_->request(arm);
  request_arm_ = arm;
  answered_ = false;
  accepted_ = false;
  request_time_ = Clock::now();
  showCallResult();
}

bool StatusPanel::eventFilter(QObject* watched, QEvent* event)
{
  const QEvent::Type type = event->type();
  // Key events reach the window first and then the focused widget; act on the widget's copy only.
  if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !watched->isWidgetType())
  {
    return false;
  }
  const QKeyEvent* key = static_cast<const QKeyEvent*>(event);
  if (key->key() != Qt::Key_Space)
  {
    return false;
  }
  if (type == QEvent::KeyPress && !key->isAutoRepeat())
  {
    stop();
  }
  // A text field still gets its space. Anything else must not: a focused ARM button or check box
  // would act on it right after the STOP.
  const bool text_field = qobject_cast<QLineEdit*>(watched) != nullptr ||
                          qobject_cast<QTextEdit*>(watched) != nullptr ||
                          qobject_cast<QPlainTextEdit*>(watched) != nullptr;
  return !text_field;
}

void StatusPanel::diagnosticsCallback(const diagnostic_msgs::DiagnosticArray::ConstPtr& msg)
{
  for (const diagnostic_msgs::DiagnosticStatus& status : msg->status)
  {
    if (!endsWith(status.name, "Serial link"))
    {
      continue;
    }
    have_diagnostics_ = true;
    diagnostics_time_ = Clock::now();
    level_ = status.level;
    message_ = clipped(status.message, kLongestMessage);
    link_ = armed_ = motors_cut_ = states_rate_ = commands_rate_ = "?";
    arm_ended_.clear();
    bool heartbeat_disarmed = false;
    double heartbeat_age = -1.0;
    for (const diagnostic_msgs::KeyValue& entry : status.values)
    {
      if (entry.key == "Arm request ended")
      {
        arm_ended_ = clipped(entry.value, kLongestMessage);
      }
      else if (entry.key == "Rig heartbeat status")
      {
        heartbeat_disarmed = endsWith(entry.value.substr(0, entry.value.find(',')), " disarmed");
      }
      else if (entry.key == "Seconds since last heartbeat")
      {
        bool ok = false;
        const double age = QString::fromStdString(entry.value).trimmed().toDouble(&ok);
        heartbeat_age = ok && std::isfinite(age) && age >= 0.0 ? age : -1.0;
      }
      if (entry.key == "Link")
      {
        link_ = clipped(entry.value, kLongestValue);
      }
      else if (entry.key == "Armed")
      {
        armed_ = clipped(entry.value, kLongestValue);
      }
      else if (entry.key == "Motors cut")
      {
        motors_cut_ = clipped(entry.value, kLongestValue);
      }
      else if (entry.key == "States per second")
      {
        states_rate_ = rateText(entry.value);
      }
      else if (entry.key == "Commands per second")
      {
        commands_rate_ = rateText(entry.value);
      }
    }
    if (heartbeat_age >= 0.0)
    {
      const Clock::time_point sent = diagnostics_time_ - std::chrono::duration_cast<Clock::duration>(
                                                            std::chrono::duration<double>(heartbeat_age));
      // A heartbeat saying armed after the disarmed one takes the confirmation back.
      if (heartbeat_disarmed && (!have_disarmed_heartbeat_ || sent > disarmed_heartbeat_time_))
      {
        have_disarmed_heartbeat_ = true;
        disarmed_heartbeat_time_ = sent;
      }
      else if (!heartbeat_disarmed)
      {
        have_disarmed_heartbeat_ = false;
      }
    }
  }
}

bool StatusPanel::stopConfirmed() const
{
  return have_disarmed_heartbeat_ && disarmed_heartbeat_time_ > request_time_ && !(have_armed_topic_ && armed_topic_);
}

void StatusPanel::armedCallback(const std_msgs::Bool::ConstPtr& msg)
{
  have_armed_topic_ = true;
  armed_topic_ = msg->data;
}

void StatusPanel::motorsCutCallback(const std_msgs::Bool::ConstPtr& msg)
{
  have_motors_cut_topic_ = true;
  motors_cut_topic_ = msg->data;
}

void StatusPanel::refresh()
{
  queue_.callAvailable();
  showStatus();
  showCallResult();
}

void StatusPanel::showStatus()
{
  const bool fresh = have_diagnostics_ && secondsSince(diagnostics_time_) < kDriverSilenceSeconds;
  if (!fresh)
  {
    // The latched topics keep their last word after the driver is gone: it is no longer news.
    const QString why =
        have_diagnostics_
            ? QString("no diagnostics from zv_ros_driver for %1 s").arg(std::floor(secondsSince(diagnostics_time_)))
            : QString("no diagnostics from zv_ros_driver yet");
    setLabel(driver_label_, "No driver: " + why, "color: white; background-color: #e65100; font-weight: bold;");
    for (QLabel* label : {link_label_, armed_label_, motors_cut_label_, states_rate_label_, commands_rate_label_})
    {
      setLabel(label, "?", "");
    }
    return;
  }
  static const char* const level_colours[] = {"#2e7d32", "#e65100", "#c62828", "#616161"};
  const QString colour = level_colours[level_ >= 0 && level_ <= 3 ? level_ : 3];
  setLabel(driver_label_, "Driver: " + message_, "color: " + colour + ";");
  setLabel(link_label_, link_, link_ == "up" ? "color: #2e7d32;" : kAlarmStyle);
  // The rig's own word, from the heartbeat, when the driver has published it.
  const QString armed = have_armed_topic_ ? (armed_topic_ ? "yes" : "no") : armed_;
  if (armed == "no" && !arm_ended_.isEmpty())
  {
    // The driver ended the request by itself (the rig reset, the link was lost): say so.
    setLabel(armed_label_, "no: " + arm_ended_, kAlarmStyle);
  }
  else
  {
    setLabel(armed_label_, armed, armed == "no" ? "" : kAlarmStyle);
  }
  const QString cut = have_motors_cut_topic_ ? (motors_cut_topic_ ? "yes" : "no") : motors_cut_;
  setLabel(motors_cut_label_, cut, cut == "no" ? "" : "color: #e65100; font-weight: bold;");
  setLabel(states_rate_label_, states_rate_, "");
  setLabel(commands_rate_label_, commands_rate_, "");
}

void StatusPanel::showCallResult()
{
  ArmServiceCaller::Result result;
  while (caller_ && caller_->takeResult(&result))
  {
    if (result.id != request_id_)
    {
      continue;  // an answer to a request that a newer one has replaced
    }
    answered_ = true;
    accepted_ = result.delivered && result.success;
    answer_ = clipped(result.message, kLongestMessage);
    if (!accepted_)
    {
      setLabel(call_label_, result.arm ? "ARM failed: " + answer_ : "STOP FAILED: " + answer_,
               result.arm ? kAlarmStyle : kStopAlarmStyle);
    }
  }
  const double waited = secondsSince(request_time_);
  const QString answer = answer_.isEmpty() ? QString() : " (" + answer_ + ")";
  if (answered_ && accepted_ && request_arm_)
  {
    // The Armed row carries the rig's own word.
    setLabel(call_label_, "ARM requested" + answer, "color: #2e7d32;");
    return;
  }
  if (answered_ && accepted_)
  {
    // The driver only queued the disarm: only the rig's heartbeat shows it acted.
    if (stopConfirmed())
    {
      setLabel(call_label_, "STOP confirmed: the rig's heartbeat says disarmed", "color: #2e7d32;");
    }
    else if (waited < kAnswerWaitSeconds)
    {
      setLabel(call_label_, "STOP not confirmed yet: waiting for the rig's heartbeat to say disarmed" + answer, "");
    }
    else
    {
      setLabel(call_label_,
               QString("STOP NOT CONFIRMED: the rig's heartbeat has not said disarmed for %1 s").arg(std::floor(waited)),
               kStopAlarmStyle);
    }
    return;
  }
  if (answered_)
  {
    return;
  }
  const QString what = request_arm_ ? "ARM" : "STOP";
  if (waited < kAnswerWaitSeconds)
  {
    setLabel(call_label_, what + " sent, waiting for the driver's answer...", "");
  }
  else if (request_arm_)
  {
    setLabel(call_label_, QString("ARM: no answer from the driver for %1 s").arg(std::floor(waited)), kAlarmStyle);
  }
  else
  {
    setLabel(call_label_, QString("STOP NOT CONFIRMED: no answer from the driver for %1 s").arg(std::floor(waited)),
             kStopAlarmStyle);
  }
}

}  // namespace zv_viz

#include <pluginlib/class_list_macros.hpp>
PLUGINLIB_EXPORT_CLASS(zv_viz::StatusPanel, rviz::Panel)
