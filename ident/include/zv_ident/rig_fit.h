// Grey-box identification of the rig: an output-error fit of the simulator's
// own equations of motion (zv_sim/rig_dynamics.h) to recorded angles, driven by
// the recorded throttles. The data are cut into windows of about a second
// (multiple shooting); each window starts near the measured state (angles, and
// rates from a local quadratic fit) and its start is fitted too, so an error in
// one window cannot carry into the next. What a ruler and a scale measure
// (lengths, masses, g) stays as the base file says.
//
// Units as in the rig file (SI, radians, seconds).
#ifndef ZV_IDENT_RIG_FIT_H
#define ZV_IDENT_RIG_FIT_H

#include <array>
#include <string>
#include <vector>

#include <zv_rig/rig_params.h>

#include "zv_ident/recording.h"

namespace zv_ident
{
// The fitted quantities, in the order of zv_sim::RigDynamicParams, then the
// motors' balance.
enum FittedIndex
{
  kKm,
  kJ1x,
  kPitchInertia,  // J1y + J2y
  kYawInertia,    // J1z + J2z
  kBphi,
  kBth,
  kBpsi,
  kThrustExpo,
  kThrottleStart,
  kTauUp,
  kTauDown,
  kReactionTorque,
  kCoulombPhi,
  kCoulombTheta,
  kCoulombPsi,
  // The motors' difference: left gain 1 + b, right gain 1 - b (km carries
  // their mean). A few per cent between two motors of one make is common, and
  // without it every roll the fit sees would carry a torque it cannot explain.
  kMotorBalance,
  kFittedCount
};

// The fitted quantity's name as the table shows it.
const char* fittedName(int index);
// Which motion determines it, for a value the data leave open.
const char* fittedExcitation(int index);

std::array<double, kFittedCount> fittedValuesOf(const zv_rig::RigDescription& rig);
// `rig` with the fitted quantities set; the pitch and yaw inertias are split
// between J1 and J2 in `rig`'s own ratio.
zv_rig::RigDescription withFittedValues(const zv_rig::RigDescription& rig,
                                        const std::array<double, kFittedCount>& values);

struct FitOptions
{
  // One solve per length, each from the last one's result; all but the last
  // hold the friction (viscous and Coulomb) at its base value.
  std::vector<double> window_s = {0.3, 1.0};
  int short_window_stride = 3;  // of the windows of all but the last length, every third is used
  // Validation simulates windows this long, each from the measured state.
  // Roll is a double integrator that the controller holds tight: over a
  // second, the rate error of a start taken from noisy angles alone grows to
  // the size of the roll motion itself, even with the true parameters.
  double validation_window_s = 0.5;
  double max_relative_sd = 0.10;              // above this a value keeps its base value
  double angle_noise = 0.003;                 // rad, what the robust loss takes as ordinary misfit
  int threads = 2;
  int max_iterations = 100;
};

struct FittedValue
{
  double base = 0;
  double estimate = 0;  // what the fit found
  double sd = 0;        // its standard deviation (0 when not determined)
  bool determined = false;
  bool accepted = false;  // written to the rig file; otherwise it keeps its base value
  std::string reason;     // why not accepted
};

struct FitResult
{
  zv_rig::RigDescription rig;  // base with the accepted values
  std::array<FittedValue, kFittedCount> values;
  int iterations = 0;
  double residual_rms = 0;  // rad, over the fitted samples
  bool converged = false;
  std::string message;  // the solver's summary line
};

// Fits `data` (one series per recording) starting from `base`. Returns "" or
// why the data cannot be fitted (what is missing, and which profile gives it).
std::string fitRig(const zv_rig::RigDescription& base, const std::vector<Series>& data, const FitOptions& options,
                   FitResult& result);

// What the data lack for a fit: too short, no flight, no motion on an axis.
// "" when they will do; otherwise names what is missing and the profile that
// provides it.
std::string checkExcitation(const std::vector<Series>& data);

// The rig simulated over `data` in windows of `window_s`, each from the
// measured start, with the recorded throttles: simulated angles per frame
// (frames before the first window and in the rig's idle stretches copy the
// measurement) and the fit percentage per axis,
// 100 * (1 - |y - y_sim| / |y - mean(y)|) over the simulated frames.
struct Validation
{
  std::vector<std::array<double, 3>> simulated;
  std::vector<bool> used;  // the frame lies in a simulated window
  std::array<double, 3> fit_percent = {{0, 0, 0}};
};
Validation validateRig(const zv_rig::RigDescription& rig, const Series& data, double window_s);

}  // namespace zv_ident

#endif  // ZV_IDENT_RIG_FIT_H
