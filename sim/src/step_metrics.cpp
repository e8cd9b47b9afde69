#include "zv_sim/step_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zv_sim
{
namespace
{
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Time at which the normalised response first reaches `level`, interpolated
// between the samples around the crossing.
double firstCrossing(const std::vector<double>& t, const std::vector<double>& z, size_t begin, double level)
{
  for (size_t i = begin; i < z.size(); ++i)
  {
    if (z[i] >= level)
    {
      if (i == begin || z[i] == z[i - 1])
      {
        return t[i];
      }
      return t[i - 1] + (level - z[i - 1]) / (z[i] - z[i - 1]) * (t[i] - t[i - 1]);
    }
  }
  return kNaN;
}
}  // namespace

StepMetrics analyseStep(const std::vector<double>& t, const std::vector<double>& y, double t_step, double initial,
                        double target, double final_window, double band)
{
  StepMetrics m;
  const double step = target - initial;
  const size_t n = std::min(t.size(), y.size());
  const size_t begin = static_cast<size_t>(std::lower_bound(t.begin(), t.begin() + n, t_step) - t.begin());
  if (begin >= n || step == 0)
  {
    m.rise_time = m.settling_time = m.overshoot = m.peak_error = m.steady_state_error = kNaN;
    return m;
  }
  // Normalised so the step always goes from 0 up to 1.
  std::vector<double> z(n);
  for (size_t i = 0; i < n; ++i)
  {
    z[i] = (y[i] - initial) / step;
  }
  const double t10 = firstCrossing(t, z, begin, 0.1);
  const double t90 = firstCrossing(t, z, begin, 0.9);
  // A response already 90 % of the way or beyond when the step comes (a rig
  // hanging off its old reference past the new one) never rose through the
  // step: no rise time, rather than 0. One that holds a smaller offset towards
  // the new reference (1 deg on a 10 deg step) rises from where it is.
  m.rise_time = z[begin] >= 0.9 ? kNaN : t90 - t10;

  double peak = -std::numeric_limits<double>::infinity();
  for (size_t i = begin; i < n; ++i)
  {
    peak = std::max(peak, z[i]);
  }
  m.overshoot = std::max(0.0, peak - 1.0);

  m.peak_error = kNaN;
  if (!std::isnan(t90))
  {
    m.peak_error = 0;
    for (size_t i = begin; i < n; ++i)
    {
      if (t[i] >= t90)
      {
        m.peak_error = std::max(m.peak_error, std::fabs(target - y[i]));
      }
    }
  }

  // Settled from the sample after the last one outside the band.
  m.settling_time = 0;
  for (size_t i = n; i-- > begin;)
  {
    if (std::fabs(z[i] - 1.0) > band)
    {
      m.settling_time = i + 1 < n ? t[i + 1] - t_step : kNaN;
      break;
    }
  }

  double sum = 0;
  size_t count = 0;
  for (size_t i = begin; i < n; ++i)
  {
    if (t[i] >= t[n - 1] - final_window)
    {
      sum += target - y[i];
      ++count;
    }
  }
  m.steady_state_error = count > 0 ? sum / count : kNaN;
  return m;
}

}  // namespace zv_sim
