// zv_step_response: runs the benchmark's step sequence against a running loop
// (lift-off to level, pitch +10 deg, then yaw +20 deg), prints the figures of
// each step beside the gain design's and writes the record as CSV (~csv).
#include <cmath>
#include <cstdio>
#include <string>

#include <ros/ros.h>

#include "zv_sim/step_experiment.h"
#include "zv_sim/step_metrics.h"

namespace
{
const double kDeg = M_PI / 180.0;
const double kZeta = 0.8;

void report(const char* loop, const zv_sim::StepMetrics& m, double tr_design)
{
  const double wn = 2.2 / tr_design;
  const double rise_theory = 2.47 / wn;
  const double overshoot_theory = std::exp(-M_PI * kZeta / std::sqrt(1 - kZeta * kZeta));
  const double settling_theory = 4.0 / (kZeta * wn);
  std::printf("%-6s %-22s %10s %10s\n", loop, "", "measured", "design");
  std::printf("%-6s %-22s %10.3f %10.3f   (design tr %.2f s, wn %.1f rad/s)\n", "", "rise time 10-90 %, s", m.rise_time,
              rise_theory, tr_design, wn);
  std::printf("%-6s %-22s %10.1f %10.1f\n", "", "overshoot, %", 100 * m.overshoot, 100 * overshoot_theory);
  std::printf("%-6s %-22s %10.3f %10.3f   (4 / (zeta wn))\n", "", "settling 2 %, s", m.settling_time, settling_theory);
  std::printf("%-6s %-22s %10.3f %10.3f\n", "", "steady-state error, deg", m.steady_state_error / kDeg, 0.0);
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "zv_step_response");
  ros::NodeHandle pnh("~");
  std::string csv;
  double pitch_hold = 6.0, yaw_hold = 25.0;
  pnh.param<std::string>("csv", csv, "");
  pnh.param("pitch_hold", pitch_hold, pitch_hold);
  pnh.param("yaw_hold", yaw_hold, yaw_hold);

  zv_sim::StepExperiment experiment;
  if (!experiment.waitForState(30.0))
  {
    std::fprintf(stderr, "zv_step_response: no /zv_state within 30 s: is the rig (or emulator) and driver up?\n");
    return 1;
  }
  const double t0 = zv_sim::StepExperiment::now();
  if (!experiment.holdUntilSettled(0.0, 0.0, 0.5 * kDeg, 1.0, 15.0))
  {
    std::fprintf(stderr, "zv_step_response: the rig did not settle level within 15 s; figures follow anyway\n");
  }
  std::printf("lift-off from the pitch stop and settling level: %.2f s\n", zv_sim::StepExperiment::now() - t0);

  std::vector<double> t, y;
  const double t_pitch = zv_sim::StepExperiment::now();
  experiment.hold(10 * kDeg, 0.0, pitch_hold);
  experiment.series(t_pitch, &zv_sim::StepSample::pitch, t, y);
  const zv_sim::StepMetrics pitch = zv_sim::analyseStep(t, y, t_pitch, 0.0, 10 * kDeg, 1.0);

  const double t_yaw = zv_sim::StepExperiment::now();
  experiment.hold(10 * kDeg, 20 * kDeg, yaw_hold);
  experiment.series(t_yaw, &zv_sim::StepSample::yaw, t, y);
  const zv_sim::StepMetrics yaw = zv_sim::analyseStep(t, y, t_yaw, 0.0, 20 * kDeg, 1.0);

  std::printf("step responses on the simulated rig (pitch 0 -> +10 deg, then yaw 0 -> +20 deg):\n");
  report("pitch", pitch, 0.5);
  report("yaw", yaw, 1.0);
  std::printf("t_pitch_step %.6f t_yaw_step %.6f\n", t_pitch, t_yaw);
  if (!csv.empty() && !experiment.writeCsv(csv))
  {
    std::fprintf(stderr, "zv_step_response: cannot write %s\n", csv.c_str());
    return 1;
  }
  return 0;
}
