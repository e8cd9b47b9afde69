// zv_rig_emulator: the simulated rig behind a pseudo-terminal. Serves the rig's
// side of the serial protocol in real time so that the real driver and
// controller run against it unchanged. Publishes no topics.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include <ros/ros.h>

#include "zv_sim/link_latency_probe.h"
#include "zv_sim/pty_link.h"
#include "zv_sim/rig_firmware.h"
#include "zv_sim/rig_model.h"
#include "zv_rig/rig_params_server.h"

namespace
{
double now()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void requestStop(int)
{
  ros::requestShutdown();
}

void writeLatencies(const std::string& path, const std::vector<double>& samples)
{
  std::ofstream out(path);
  if (!out)
  {
    // Written after shutdown, when the ROS log no longer prints.
    std::fprintf(stderr, "zv_rig_emulator: cannot write the latency log %s: check the folder exists and is writable\n",
                 path.c_str());
    return;
  }
  out.precision(9);
  for (double s : samples)
  {
    out << s << "\n";
  }
}

int run()
{
  ros::NodeHandle pnh("~");
  zv_rig::RigDescription truth;
  if (!zv_rig::readSimulatedRig(truth, "emulator"))
  {
    return 2;
  }
  zv_sim::RigLimits limits;
  pnh.param("pitch_min", limits.pitch_min, limits.pitch_min);
  pnh.param("pitch_max", limits.pitch_max, limits.pitch_max);
  pnh.param("roll_min", limits.roll_min, limits.roll_min);
  pnh.param("roll_max", limits.roll_max, limits.roll_max);
  const std::string problem = zv_sim::RigModel::validate(truth, limits);
  if (!problem.empty())
  {
    ROS_FATAL("cannot simulate this rig: %s", problem.c_str());
    return 2;
  }

  zv_sim::FirmwareConfig config;
  int seed = 1;
  std::string latency_log;
  pnh.param("physics_rate", config.physics_rate, config.physics_rate);
  pnh.param("encoder_rate", config.encoder_rate, config.encoder_rate);
  pnh.param("heartbeat_rate", config.heartbeat_rate, config.heartbeat_rate);
  pnh.param("throttle_timeout", config.throttle_timeout, config.throttle_timeout);
  // The rig's own encoders, unless ~quantization says otherwise.
  config.quantization = truth.sensor.counts_per_rev > 0 ? 2 * M_PI / truth.sensor.counts_per_rev : 0.0;
  pnh.param("quantization", config.quantization, config.quantization);
  config.noise_stddev = truth.sensor.angle_noise;  // the rig's own sensor, unless ~noise_stddev says otherwise
  pnh.param("noise_stddev", config.noise_stddev, config.noise_stddev);
  pnh.param("noise_seed", seed, seed);
  pnh.param("swap_motors", config.swap_motors, config.swap_motors);
  pnh.param("latency_log", latency_log, latency_log);
  config.noise_seed = static_cast<unsigned>(seed);
  const std::string bad_config = zv_sim::RigFirmware::validate(config);
  if (!bad_config.empty())
  {
    ROS_FATAL("cannot start the emulator: %s", bad_config.c_str());
    return 2;
  }
  if (config.swap_motors)
  {
    ROS_WARN("~swap_motors is set: the left throttle drives the right motor and back (fault injection)");
  }

  zv_sim::RigModel model(truth, limits);
  zv_sim::RigState initial = model.state();  // at rest on the lower pitch stop
  pnh.param("initial_roll", initial.roll, initial.roll);
  pnh.param("initial_pitch", initial.pitch, initial.pitch);
  pnh.param("initial_yaw", initial.yaw, initial.yaw);
  model.setState(initial);

  std::string link_path;
  pnh.param<std::string>("link", link_path, "/tmp/zorvik_sim_tty");
  std::unique_ptr<zv_sim::PtyLink> link;
  try
  {
    link.reset(new zv_sim::PtyLink(link_path));
  }
  catch (const std::runtime_error& e)
  {
    ROS_FATAL("cannot open the simulated serial line: %s", e.what());
    return 1;
  }
  std::cout << "zv_rig_emulator: simulated rig on " << link->linkPath() << " -> " << link->slavePath() << std::endl;

  zv_sim::RigFirmware firmware(model, config, now());
  const double wall_start = now();
  const std::clock_t cpu_start = std::clock();
  std::vector<uint8_t> out, in;
  zv_sim::LinkLatencyProbe latency;
  bool host_was_present = false;
  while (ros::ok())
  {
    out.clear();
    firmware.advance(now(), out);
    link->send(out);
    latency.written(out.data(), out.size(), now());
    // Sleep until the next frame is due, but wake often enough for the host's bytes.
    const double wait = std::min(std::max(firmware.nextFrameTime() - now(), 0.0), 0.01);
    in.clear();
    const bool present = link->receive(in, wait);
    if (!in.empty())
    {
      const double t = now();
      out.clear();
      firmware.advance(t, out);  // the model catches up before the command applies
      link->send(out);
      latency.written(out.data(), out.size(), t);
      latency.read(in.data(), in.size(), t);
      firmware.receive(in.data(), in.size(), t);
    }
    if (link->takeHostLost())
    {
      firmware.linkLost();
      latency.linkLost();
      ROS_INFO("host closed %s; waiting for it to reopen", link->linkPath().c_str());
    }
    if (present && !host_was_present)
    {
      ROS_INFO("host opened %s", link->linkPath().c_str());
    }
    host_was_present = present;
    ros::spinOnce();
  }

  if (!latency_log.empty())
  {
    writeLatencies(latency_log, latency.latencies());
  }
  // The emulator runs in real time, so its CPU share is its cost per simulated second.
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  const double wall = now() - wall_start;
  // On stdout: the ROS log is already shut down here, and would drop these lines.
  std::printf("zv_rig_emulator: emulator cost: %.3f s of CPU over %.1f s simulated (%.2f %% of real time)\n", cpu,
              wall, wall > 0 ? 100 * cpu / wall : 0.0);
  const zv_firmware::RigCore::Counters c = firmware.counters();
  std::printf(
      "zv_rig_emulator: stopping: %lu frames accepted, %lu rejected (check or kind), %lu bytes skipped, %llu bytes "
      "dropped\n",
      static_cast<unsigned long>(c.frames_accepted), static_cast<unsigned long>(c.frames_rejected),
      static_cast<unsigned long>(c.bytes_skipped), static_cast<unsigned long long>(link->bytesDropped()));
  std::fflush(stdout);
  return 0;
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_rig_emulator");
  std::signal(SIGTERM, requestStop);
  std::signal(SIGHUP, requestStop);
  return run();
}
