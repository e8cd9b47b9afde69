#ifndef ZV_VIZ_STATUS_PANEL_H
#define ZV_VIZ_STATUS_PANEL_H

#ifndef Q_MOC_RUN
#include <diagnostic_msgs/DiagnosticArray.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <rviz/panel.h>
#include <std_msgs/Bool.h>
#endif

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPushButton;

namespace zv_viz
{
class ArmServiceCaller;

// The rig's link, arming and rates as the driver reports them, with an ARM button and a STOP
// button. The space bar is STOP anywhere in RViz while this panel exists: in a text field it still
// types its space, elsewhere it does nothing else (it can never press a focused button).
class StatusPanel : public rviz::Panel
{
  Q_OBJECT
 public:
  explicit StatusPanel(QWidget* parent = nullptr);
  ~StatusPanel() override;

  // Builds the panel and starts listening; RViz calls it for a panel from a configuration and for
  // one added from the "Add New Panel" dialog alike. The panel saves no keys of its own.
  void onInitialize() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 public Q_SLOTS:
  // Ask the driver to arm the rig / to zero the throttles and disarm it. Neither waits for the answer.
  void arm();
  void stop();

 private Q_SLOTS:
  void refresh();

 private:
  using Clock = std::chrono::steady_clock;

  void build();
  void request(bool arm);
  void diagnosticsCallback(const diagnostic_msgs::DiagnosticArray::ConstPtr& msg);
  void armedCallback(const std_msgs::Bool::ConstPtr& msg);
  void motorsCutCallback(const std_msgs::Bool::ConstPtr& msg);
  void showStatus();
  void showCallResult();
  // The rig's heartbeat has said disarmed since the last request, and nothing since says armed.
  bool stopConfirmed() const;

  QLabel* driver_label_ = nullptr;
  QLabel* link_label_ = nullptr;
  QLabel* armed_label_ = nullptr;
  QLabel* motors_cut_label_ = nullptr;
  QLabel* states_rate_label_ = nullptr;
  QLabel* commands_rate_label_ = nullptr;
  QLabel* call_label_ = nullptr;
  QPushButton* arm_button_ = nullptr;
  QPushButton* stop_button_ = nullptr;

  // The panel's subscriptions are served from its own queue, drained by its refresh timer on the
  // GUI thread, so the callbacks may touch widgets whichever way the host spins ROS.
  ros::CallbackQueue queue_;
  ros::NodeHandle nh_;
  ros::Subscriber diagnostics_sub_;
  ros::Subscriber armed_sub_;
  ros::Subscriber motors_cut_sub_;
  std::unique_ptr<ArmServiceCaller> caller_;

  // What the driver said last; the values of its "Serial link" status as text.
  bool have_diagnostics_ = false;
  Clock::time_point diagnostics_time_;
  int level_ = 0;
  QString message_;
  QString link_;
  QString armed_;
  QString motors_cut_;
  QString states_rate_;
  QString commands_rate_;
  bool have_armed_topic_ = false;
  bool armed_topic_ = false;
  bool have_motors_cut_topic_ = false;
  bool motors_cut_topic_ = false;
  // Why the driver ended the last arm request by itself (a reset rig, a lost link), if it did.
  QString arm_ended_;
  // When the newest heartbeat saying disarmed left the rig, as the diagnostics date it.
  bool have_disarmed_heartbeat_ = false;
  Clock::time_point disarmed_heartbeat_time_;

  // The last request sent to the arm service and whether its answer came (and said success).
  uint64_t request_id_ = 0;
  bool request_arm_ = false;
  bool answered_ = true;
  bool accepted_ = false;
  QString answer_;
  Clock::time_point request_time_;
};

}  // namespace zv_viz

#endif  // ZV_VIZ_STATUS_PANEL_H
