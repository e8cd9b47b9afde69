#ifndef ZV_VIZ_ZORVIK_PANEL_H
#define ZV_VIZ_ZORVIK_PANEL_H

#ifndef Q_MOC_RUN
#include <ros/ros.h>
#include <rviz/panel.h>
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>
#endif

#include <QString>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QSlider;
class QTimer;
class QVBoxLayout;

namespace zv_viz
{
// The topics the panel can drive. They are the selector's entries, the accepted values of the
// saved "Topic" key and the keys that choose the message type published.
static const std::string kStateTopic = "/zv_state";
static const std::string kReferenceTopic = "/zv_reference_state";
static const std::string kCommandTopic = "/zv_command";

// Three sliders with spin boxes that set a State (degrees), a ReferenceState (degrees) or a
// Command (force and torque, or one direct throttle) and publish it every 50 ms while enabled.
class ZorvikPanel : public rviz::Panel
{
  Q_OBJECT
 public:
  explicit ZorvikPanel(QWidget* parent = nullptr);

  // A panel added from RViz's "Add New Panel" dialog is initialised and never loaded: it builds
  // itself from the defaults once the event loop runs, unless a load came first.
  void onInitialize() override;
  void load(const rviz::Config& config) override;
  void save(rviz::Config config) const override;

 public Q_SLOTS:
  void setTopic();

 protected Q_SLOTS:
  void sliderOneCallback(int value);
  void sliderTwoCallback(int value);
  void sliderThreeCallback(int value);
  void spinboxOneCallback(double value);
  void spinboxTwoCallback(double value);
  void spinboxThreeCallback(double value);
  void sendSetpoints();
  // Hides QWidget::setEnabled: switches editing and publishing, never the panel itself.
  void setEnabled(bool enabled);
  void updateLayout(const QString& layout_type);

 protected:
  void init();
  void updateWidgets();

 private:
  enum class Kind
  {
    State,
    Reference,
    Command
  };
  // The layout and the message type both follow topic_: State, Reference, anything else Command.
  Kind kind() const;
  // Creates the two check boxes from enabled_ and pwm_enabled_ and builds the panel around them.
  void build();
  bool built() const
  {
    return enabled_check_box_ != nullptr;
  }
  // Enables the six row widgets while editing is on and no hold is running, disables them otherwise.
  void applyEnabledState();
  // Applying the State layout holds the panel's output for a while: nothing is sent and the row
  // widgets take no input. The hold runs on the steady clock while the event loop goes on, so RViz,
  // its other panels (STOP) and the keyboard stay live, also under a simulated clock that stands still.
  void startHold();
  bool holding() const;
  // A load after the panel was built reuses its widgets.
  void reapply();
  // Shows topic_ in the selector; an empty topic_ runs the Command layout and shows its name.
  void selectTopicInComboBox();
  // The body of the six slider and spin-box slots: writes the member that the row stands for in
  // the current layout and moves the partner widget.
  void editRow(int row, bool from_slider, double value);
  QSlider* rowSlider(int row) const;
  QDoubleSpinBox* rowSpinBox(int row) const;

  QSlider* slider_one_ = nullptr;
  QSlider* slider_two_ = nullptr;
  QSlider* slider_three_ = nullptr;
  QDoubleSpinBox* spinbox_one_ = nullptr;
  QDoubleSpinBox* spinbox_two_ = nullptr;
  QDoubleSpinBox* spinbox_three_ = nullptr;
  QLabel* label_one_ = nullptr;
  QLabel* label_two_ = nullptr;
  QLabel* label_three_ = nullptr;
  QString topic_;
  QCheckBox* enabled_check_box_ = nullptr;
  QCheckBox* pwm_check_box_ = nullptr;
  QComboBox* topic_combo_box_ = nullptr;
  QVBoxLayout* main_layout_ = nullptr;
  QGridLayout* slider_layout_ = nullptr;
  QGroupBox* slider_group_box_ = nullptr;
  QTimer* hold_timer_ = nullptr;
  ros::Publisher publisher_;
  ros::NodeHandle nh_;
  zv_msgs::State state_msg_;
  zv_msgs::ReferenceState reference_msg_;
  zv_msgs::Command command_msg_;
  float d_ = 1.0f;
  float km_ = 1.0f;
  float scale_ = 1000.0f;
  bool enabled_ = false;
  bool pwm_enabled_ = false;
  int pitch_ = 0;
  int yaw_ = 0;
  int roll_ = 0;
  int pitch_r_ = 0;
  int yaw_r_ = 0;
  double force_ = 0.0;
  double torque_ = 0.0;
  double pwm_ = 0.0;
  int pitch_limit_ = 45;
  int yaw_limit_ = 45;
  int roll_limit_ = 45;
  int force_limit_ = 20;
  int torque_limit_ = 20;
  int pwm_limit_ = 1;
};

}  // namespace zv_viz

#endif  // ZV_VIZ_ZORVIK_PANEL_H
