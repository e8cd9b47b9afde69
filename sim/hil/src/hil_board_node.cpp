// zv_hil_board: the rig's firmware image on a simulated ATmega2560 in place of
// the board, with the rig model of sim/ on its pins, behind a pseudo-terminal
// the real driver opens. Publishes what tests and benchmarks watch under its
// private namespace; the driver sees only the serial line.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <ros/ros.h>
#include <sys/resource.h>
#include <std_msgs/Bool.h>
#include <std_msgs/Float32.h>
#include <sensor_msgs/JointState.h>

#include "hil_rig.h"
#include "zv_rig/rig_params_server.h"

namespace
{
void requestStop(int)
{
  ros::requestShutdown();
}

class Publisher : public zv_sim::hil::HilListener
{
 public:
  Publisher()
  {
    ros::NodeHandle pnh("~");
    esc_[zv_sim::hil::kEscLeft] = pnh.advertise<std_msgs::Float32>("esc_left_us", 1000);
    esc_[zv_sim::hil::kEscRight] = pnh.advertise<std_msgs::Float32>("esc_right_us", 1000);
    model_ = pnh.advertise<sensor_msgs::JointState>("model_state", 100);
    bootloader_ = pnh.advertise<std_msgs::Bool>("bootloader", 1, true);
    pace_ = pnh.advertise<std_msgs::Float32>("pace", 1, true);
    std_msgs::Bool b;
    b.data = false;
    bootloader_.publish(b);
  }

  void pulse(const zv_sim::hil::Pulse& p) override
  {
    if (esc_[p.esc].getNumSubscribers() > 0)
    {
      std_msgs::Float32 m;
      m.data = static_cast<float>(p.width_us);
      esc_[p.esc].publish(m);
    }
  }
  // The model's angles and rates, then the angles the frame carried.
  void encoderFrame(const zv_ros_driver::EncoderAngles& sent, const zv_sim::RigState& truth,
                    double sim_seconds) override
  {
    if (model_.getNumSubscribers() > 0)
    {
      sensor_msgs::JointState m;
      m.header.stamp.fromSec(sim_seconds);
      m.name = {"roll", "pitch", "yaw", "roll_sent", "pitch_sent", "yaw_sent"};
      m.position = {truth.roll, truth.pitch, truth.yaw, sent.roll, sent.pitch, sent.yaw};
      m.velocity = {truth.roll_rate, truth.pitch_rate, truth.yaw_rate, 0, 0, 0};
      model_.publish(m);
    }
  }
  void bootloader(bool active) override
  {
    std_msgs::Bool m;
    m.data = active;
    bootloader_.publish(m);
    if (active)
    {
      ROS_INFO("host opened the port: board reset, bootloader holds the line");
    }
    else
    {
      ROS_INFO("bootloader done: firmware running");
    }
  }
  void pace(double pace) override
  {
    std_msgs::Float32 m;
    m.data = static_cast<float>(pace);
    pace_.publish(m);
  }

 private:
  ros::Publisher esc_[zv_sim::hil::kEscCount];
  ros::Publisher model_, bootloader_, pace_;
};

void writeLines(const std::string& path, const std::vector<double>& samples)
{
  std::ofstream out(path);
  if (!out)
  {
    ROS_ERROR("cannot write %s: check the folder exists and is writable", path.c_str());
    return;
  }
  out.precision(9);
  for (double s : samples)
  {
    out << s << "\n";
  }
}

void writeFigures(const std::string& path, const zv_sim::hil::HilRig& rig)
{
  std::ofstream out(path);
  if (!out)
  {
    ROS_ERROR("cannot write the figures %s: check the folder exists and is writable", path.c_str());
    return;
  }
  const zv_sim::hil::BoardFigures& f = rig.board().figures();
  out << "isr_max_cycles " << f.isr_max_cycles << "\n";
  out << "isr_max_vector " << f.isr_max_vector << "\n";
  for (size_t v = 0; v < f.isr_max_by_vector.size(); ++v)
  {
    if (f.isr_max_by_vector[v] > 0)
    {
      out << "isr_vector_" << v << "_max_cycles " << f.isr_max_by_vector[v] << "\n";
    }
  }
  out << "loop_max_cycles " << f.loop_max_cycles << "\n";
  out << "loop_own_max_cycles " << f.loop_own_max_cycles << "\n";
  out << "loop_passes " << f.loop_passes << "\n";
  out << "sim_seconds " << rig.simSeconds() << "\n";
  out << "wall_seconds " << rig.wallSeconds() << "\n";
  out << "lost_seconds " << rig.lostSeconds() << "\n";
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) == 0)
  {
    out << "cpu_seconds "
        << usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec)
        << "\n";
  }
  out << "resets_by_host " << f.resets_by_host << "\n";
  out << "resets_by_firmware " << f.resets_by_firmware << "\n";
  out << "uart_bytes_lost " << f.uart_bytes_lost << "\n";
  out << "throttle_to_pulse_us";
  for (double us : f.throttle_to_pulse_us)
  {
    out << " " << us;
  }
  out << "\n";
}

int run()
{
  ros::NodeHandle pnh("~");
  zv_rig::RigDescription truth;
  if (!zv_rig::readSimulatedRig(truth, "simulated board"))
  {
    return 2;
  }
  const std::string problem = zv_sim::RigModel::validate(truth);
  if (!problem.empty())
  {
    ROS_FATAL("cannot simulate this rig: %s", problem.c_str());
    return 2;
  }

  zv_sim::hil::HilConfig config;
  std::string variant;
  int baud = static_cast<int>(config.baud);
  std::string figures_log, latency_log;
  pnh.param<std::string>("variant", variant, "");
  pnh.param<std::string>("firmware", config.firmware, "");
  pnh.param<std::string>("link", config.link, config.link);
  pnh.param("bootloader_time", config.bootloader_time, config.bootloader_time);
  pnh.param("baud", baud, baud);
  pnh.param<std::string>("figures_log", figures_log, "");
  pnh.param<std::string>("latency_log", latency_log, "");
  if (config.firmware.empty())
  {
    config.firmware = std::string(ZV_FIRMWARE_IMAGE_DIR) + "/zv_firmware.elf";
  }
  // Faults wired on the board as a miswired rig has them; the image stays the one to flash.
  if (variant == "swap_esc")
  {
    config.wiring.esc_swapped = true;
  }
  else if (variant == "reverse_encoder")
  {
    config.wiring.pitch_encoder_reversed = true;
  }
  else if (!variant.empty())
  {
    ROS_FATAL("~variant is '%s': give swap_esc, reverse_encoder or nothing", variant.c_str());
    return 2;
  }
  if (!(config.bootloader_time >= 0 && config.bootloader_time < 60))
  {
    ROS_FATAL("~bootloader_time is %g s: give 0 to 60 s (the Mega's bootloader takes about 1.5 s)",
              config.bootloader_time);
    return 2;
  }
  if (baud <= 0)
  {
    ROS_FATAL("~baud is %d: give the line's speed, e.g. 115200", baud);
    return 2;
  }
  config.baud = static_cast<uint32_t>(baud);
  if (!variant.empty())
  {
    ROS_WARN("fault injection '%s': %s wired on the simulated board", variant.c_str(),
             config.wiring.esc_swapped ? "ESC signals swapped" : "pitch encoder's A and B swapped");
  }

  Publisher publisher;
  std::unique_ptr<zv_sim::hil::HilRig> rig;
  try
  {
    rig.reset(new zv_sim::hil::HilRig(zv_sim::RigModel(truth), config, &publisher));
  }
  catch (const std::runtime_error& e)
  {
    ROS_FATAL("cannot start the simulated board: %s", e.what());
    return 1;
  }
  std::printf("zv_hil_board: %s on a simulated ATmega2560, serial line %s -> %s\n", config.firmware.c_str(),
              rig->link().linkPath().c_str(), rig->link().slavePath().c_str());
  std::fflush(stdout);

  bool crash_reported = false;
  while (ros::ok())
  {
    rig->step();
    if (!rig->board().running() && !crash_reported)
    {
      ROS_ERROR(
          "the firmware crashed or stopped on the simulated board: ESC pulses stopped; reopen the port to reset it");
    }
    crash_reported = !rig->board().running();
  }

  if (!figures_log.empty())
  {
    writeFigures(figures_log, *rig);
  }
  if (!latency_log.empty())
  {
    writeLines(latency_log, rig->latencies());
  }
  // Printed, not logged: logging is down once the node is shutting down.
  const zv_sim::hil::BoardFigures& f = rig->board().figures();
  std::printf(
      "zv_hil_board stopping: %.1f s simulated in %.1f s (pace %.3f), longest interrupt %llu cycles, longest "
      "main-loop pass %llu cycles, %llu resets by the host, %llu by the firmware, %llu host bytes dropped by the "
      "bootloader\n",
      rig->simSeconds(), rig->wallSeconds(), rig->simSeconds() / std::max(rig->wallSeconds(), 1e-9),
      static_cast<unsigned long long>(f.isr_max_cycles), static_cast<unsigned long long>(f.loop_max_cycles),
      static_cast<unsigned long long>(f.resets_by_host), static_cast<unsigned long long>(f.resets_by_firmware),
      static_cast<unsigned long long>(rig->hostBytesDropped()));
  return 0;
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_hil_board");
  std::signal(SIGTERM, requestStop);
  std::signal(SIGHUP, requestStop);
  return run();
}
