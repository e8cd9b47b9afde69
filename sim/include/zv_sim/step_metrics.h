// Figures of a recorded step response, free of ROS: 10-90 % rise time,
// overshoot, 2 % settling time and steady-state error.
#ifndef ZV_SIM_STEP_METRICS_H
#define ZV_SIM_STEP_METRICS_H

#include <vector>

namespace zv_sim
{
struct StepMetrics
{
  // Seconds after the step; NaN when the response never got there.
  double rise_time = 0;           // from 10 % to 90 % of the step (NaN: already at 90 % when the step came)
  double settling_time = 0;       // from the step until it stays within 2 % of the step around the target
  double overshoot = 0;           // beyond the target, as a fraction of the step (0.05 = 5 %)
  double peak_error = 0;          // largest |target - value| after the first 90 % crossing, in the signal's unit
  double steady_state_error = 0;  // mean of target - value over the final window, in the signal's unit
};

// Samples (t[i], y[i]) in time order; the step from `initial` to `target` is
// applied at t_step. The steady-state error is averaged over the last
// `final_window` seconds of the record. The settling band is a fraction of the
// step (0.02: the usual 2 % criterion).
StepMetrics analyseStep(const std::vector<double>& t, const std::vector<double>& y, double t_step, double initial,
                        double target, double final_window, double band = 0.02);

}  // namespace zv_sim

#endif  // ZV_SIM_STEP_METRICS_H
