#include "zv_ident/rig_fit.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include <Eigen/Dense>
#include <ceres/ceres.h>

#include <zv_sim/rig_dynamics.h>

namespace zv_ident
{
namespace
{
using zv_sim::RigDynamicParams;
using zv_sim::RigGeometry;
using zv_sim::RigStateT;

// Frames either side of a window's start in the local fit of its start state.
const int kStartHalfWidth = 6;
// Frames of throttle history run through the motors' lag before a window, so
// that the window starts with the thrust the motors had (many time constants).
const int kLagWarmupFrames = 80;
// s, the fit's step: the simulator's 1 ms gives the same validation on the
// true rig to 0.1 % (the lag is solved exactly, RK4 is far from its limit at
// the rig's 9 rad/s) and costs two and a half times as much.
const double kPhysicsStep = 0.0025;
// Windows holding a longer frame interval (in periods) are left out.
const double kLongestInterval = 2.5;
// Each window's start state is fitted too (multiple shooting): the rig's open
// loop (roll is a double integrator) turns the small error of a start taken
// from quantised angles into a misfit that would bias the parameters.
const int kStartSize = 6;
const double kAngleUnit = 0.01;  // rad
const double kRateUnit = 0.1;    // rad/s
// Validation estimates each window's start from its first frames only, with
// the parameters held, and scores the rest of the window.
const double kValidationLeadIn = 0.1;  // s

struct FittedInfo
{
  const char* name;
  const char* excitation;
  double typical;  // scale of the fitted multiplier when the base value is 0
};

const FittedInfo kInfo[kFittedCount] = {
    {"km", "collective thrust held against gravity at several pitch angles (steps, identify)", 5.0},
    {"J1x", "roll accelerations: yaw steps or chirp-yaw (roll steers yaw)", 0.02},
    {"J1y+J2y", "pitch accelerations: pitch steps or chirp-pitch", 0.01},
    {"J1z+J2z", "yaw accelerations: yaw steps or chirp-yaw", 0.02},
    {"Bphi", "roll rates: chirp-yaw", 0.01},
    {"Bth", "pitch rates: chirp-pitch", 0.02},
    {"Bpsi", "yaw rates held for a while: yaw steps, chirp-yaw", 0.02},
    {"thrust_expo", "collective thrust over a wide range: pitch steps of several sizes (steps, identify)", 0.5},
    {"throttle_start", "collective thrust over a wide range: pitch steps of several sizes (steps, identify)", 0.05},
    {"tau_up", "fast rises of the throttles: pitch steps, chirp-pitch at its upper frequencies", 0.05},
    {"tau_down", "fast falls of the throttles: pitch steps, chirp-pitch at its upper frequencies", 0.08},
    {"reaction_torque", "collective thrust changing while yaw is held: chirp-pitch, identify", 0.005},
    {"coulomb_phi", "roll slowing through rest in both directions: chirp-yaw", 0.005},
    {"coulomb_theta", "pitch slowing through rest in both directions: chirp-pitch", 0.005},
    {"coulomb_psi", "yaw slowing through rest in both directions: yaw steps, chirp-yaw", 0.005},
    {"motor_balance", "flight with the rig held level in roll: any profile (steps, identify)", 0.02},
};

// Where a value with a base of 0 starts: the lag and Coulomb friction have no
// derivative at exactly 0, so the fit could never leave it.
const double kStartWhenZero[kFittedCount] = {5.0, 0.02, 0.01, 0.02, 0.01, 0.02, 0.02, 0.5, 0.03,
                                             0.05, 0.08, 0.0, 0.002, 0.002, 0.002, 0.0};

template <typename T>
RigDynamicParams<T> paramsFrom(const RigDynamicParams<double>& base, const std::array<double, kFittedCount>& scale,
                               const T* theta)
{
  RigDynamicParams<T> p = zv_sim::rigDynamicParamsCast<T>(base);
  T* fields[kMotorBalance] = {&p.km,          &p.J1x,    &p.pitch_inertia,   &p.yaw_inertia, &p.Bphi,
                             &p.Bth,         &p.Bpsi,   &p.thrust_expo,     &p.throttle_start, &p.tau_up,
                             &p.tau_down,    &p.reaction_torque, &p.coulomb_phi, &p.coulomb_theta,
                             &p.coulomb_psi};
  for (int i = 0; i < kMotorBalance; ++i)
  {
    *fields[i] = scale[i] * theta[i];
  }
  const T balance = scale[kMotorBalance] * theta[kMotorBalance];
  p.left_gain = T(1) + balance;
  p.right_gain = T(1) - balance;
  return p;
}

// The gains' mean goes into km, their difference into the balance.
std::array<double, kFittedCount> valuesOf(const RigDynamicParams<double>& p)
{
  const double mean_gain = 0.5 * (p.left_gain + p.right_gain);
  const double balance = mean_gain > 0 ? 0.5 * (p.left_gain - p.right_gain) / mean_gain : 0.0;
  return {{p.km * mean_gain, p.J1x, p.pitch_inertia, p.yaw_inertia, p.Bphi, p.Bth, p.Bpsi, p.thrust_expo,
           p.throttle_start, p.tau_up, p.tau_down, p.reaction_torque, p.coulomb_phi, p.coulomb_theta, p.coulomb_psi,
           balance}};
}

double clip01(double u)
{
  return std::isfinite(u) ? std::min(std::max(u, 0.0), 1.0) : 0.0;
}

// Angles and rates at frame k from a quadratic through the measured frames
// around it: a difference of two quantised angles would give rates off by a
// count per frame period.
struct StartState
{
  std::array<double, 3> angle;
  std::array<double, 3> rate;
};

StartState startStateAt(const Series& s, size_t k)
{
  StartState st;
  for (int a = 0; a < 3; ++a)
  {
    Eigen::Matrix3d ata = Eigen::Matrix3d::Zero();
    Eigen::Vector3d atb = Eigen::Vector3d::Zero();
    for (int j = -kStartHalfWidth; j <= kStartHalfWidth; ++j)
    {
      const size_t i = k + j;
      if (!s.measured[i])
      {
        continue;
      }
      const double t = s.time(i) - s.time(k);
      const Eigen::Vector3d row(1.0, t, t * t);
      ata += row * row.transpose();
      atb += row * s.angles[i][a];
    }
    const Eigen::Vector3d c = ata.ldlt().solve(atb);
    st.angle[a] = c[0];
    st.rate[a] = c[1];
  }
  return st;
}

// Frame interval k as the fit steps it: the previous throttles until the new
// ones reached the rig, then the new ones, each piece in steps of about
// kPhysicsStep. The switch falls where it fell on the rig, not on a step: a
// host that answers 1 ms later or sooner from frame to frame moves each
// throttle's thrust by a millisecond's worth, and over a window of a second
// roll, a double integrator, sums those into more than the encoders' noise.
struct Interval
{
  double piece[2];  // s: the previous throttles, then the new ones
  int steps[2];
};

Interval intervalOf(const Series& s, size_t k)
{
  const double dt = k + 1 < s.size() ? s.time(k + 1) - s.time(k) : s.period;
  Interval iv;
  iv.piece[0] = std::min(std::max(s.delayAt(k), 0.0), dt);
  iv.piece[1] = dt - iv.piece[0];
  for (int i = 0; i < 2; ++i)
  {
    iv.steps[i] = iv.piece[i] > 0 ? std::max(1, static_cast<int>(std::lround(iv.piece[i] / kPhysicsStep))) : 0;
  }
  return iv;
}

// Steps the rig through frames [k0, k0 + n) of `s` from `start`, calling
// out(j, state) after each frame interval j = 0..n-1 (the state at frame
// k0 + j + 1).
// `correction` (kStartSize values, may be null) moves the start away from the
// measured one: angles in units of kAngleUnit, rates in units of kRateUnit.
template <typename T, typename Out>
void simulateWindow(const Series& s, size_t k0, size_t n, const StartState& start, const T* correction,
                    const RigDynamicParams<T>& p, const RigGeometry& g, Out out)
{
  // The motors' thrust at the window's start, from their throttle history.
  // Over each piece of a frame interval the command is constant, so the lag's
  // exact solution takes the piece in one step (the thrust never crosses the
  // command, so the time constant cannot change within it).
  const size_t kw = k0 > static_cast<size_t>(kLagWarmupFrames) ? k0 - kLagWarmupFrames : 0;
  T left = zv_sim::commandedThrust(T(clip01(s.throttle_before[kw][0])), p.left_gain, p);
  T right = zv_sim::commandedThrust(T(clip01(s.throttle_before[kw][1])), p.right_gain, p);
  for (size_t k = kw; k < k0; ++k)
  {
    const Interval iv = intervalOf(s, k);
    for (int piece = 0; piece < 2; ++piece)
    {
      if (iv.steps[piece] == 0)
      {
        continue;
      }
      const std::array<double, 2>& u = piece == 0 ? s.throttle_before[k] : s.throttle_after[k];
      T unused0, unused1;
      zv_sim::rig_dynamics_detail::lagOverStep(left, zv_sim::commandedThrust(T(clip01(u[0])), p.left_gain, p),
                                               p.tau_up, p.tau_down, iv.piece[piece], unused0, unused1, left);
      zv_sim::rig_dynamics_detail::lagOverStep(right, zv_sim::commandedThrust(T(clip01(u[1])), p.right_gain, p),
                                               p.tau_up, p.tau_down, iv.piece[piece], unused0, unused1, right);
    }
  }

  T c[kStartSize];
  for (int i = 0; i < kStartSize; ++i)
  {
    c[i] = correction ? correction[i] : T(0);
  }
  RigStateT<T> x;
  x.roll = T(start.angle[0]) + kAngleUnit * c[0];
  x.pitch = T(start.angle[1]) + kAngleUnit * c[1];
  x.yaw = T(start.angle[2]) + kAngleUnit * c[2];
  x.roll_rate = T(start.rate[0]) + kRateUnit * c[3];
  x.pitch_rate = T(start.rate[1]) + kRateUnit * c[4];
  x.yaw_rate = T(start.rate[2]) + kRateUnit * c[5];
  x.thrust_left = left;
  x.thrust_right = right;
  for (size_t j = 0; j < n; ++j)
  {
    const size_t k = k0 + j;
    const Interval iv = intervalOf(s, k);
    for (int piece = 0; piece < 2; ++piece)
    {
      const std::array<double, 2>& u = piece == 0 ? s.throttle_before[k] : s.throttle_after[k];
      for (int i = 0; i < iv.steps[piece]; ++i)
      {
        x = zv_sim::rigStep(x, T(clip01(u[0])), T(clip01(u[1])), p, g, iv.piece[piece] / iv.steps[piece]);
      }
    }
    out(j, x);
  }
}

struct Window
{
  const Series* series;
  size_t k0;
  size_t n;
  StartState start;
};

// Windows of `frames` frames in which the rig flies (a window resting on its
// stop with the motors off says nothing about the parameters).
std::vector<Window> windowsOf(const Series& s, size_t frames)
{
  std::vector<Window> out;
  for (size_t k0 = kStartHalfWidth; k0 + frames + kStartHalfWidth < s.size(); k0 += frames)
  {
    if (!s.measured[k0])
    {
      continue;
    }
    size_t flying = 0, measured = 0;
    bool gap = false;
    for (size_t k = k0 - kStartHalfWidth; k < k0 + frames; ++k)
    {
      // Frames missing, or a rig or host that stalled: the angles, the
      // throttles and their timing there cannot be trusted (a simulated rig
      // that falls behind also sends its late frames with one and the same
      // state).
      gap = gap || s.time(k + 1) - s.time(k) > kLongestInterval * s.period;
      if (k < k0)
      {
        continue;
      }
      flying += (s.throttle_after[k][0] + s.throttle_after[k][1] > 0.2) ? 1 : 0;
      measured += s.measured[k] ? 1 : 0;
    }
    if (gap || flying * 10 < frames * 9 || measured * 10 < frames * 9)
    {
      continue;
    }
    out.push_back(Window{&s, k0, frames, startStateAt(s, k0)});
  }
  return out;
}

struct WindowCost
{
  Window w;
  RigDynamicParams<double> base;
  std::array<double, kFittedCount> scale;
  RigGeometry geometry;
  double inv_noise;

  template <typename T>
  bool operator()(const T* theta, const T* start, T* residual) const
  {
    const RigDynamicParams<T> p = paramsFrom(base, scale, theta);
    const Series& s = *w.series;
    simulateWindow(s, w.k0, w.n, w.start, start, p, geometry, [&](size_t j, const RigStateT<T>& x) {
      const size_t k = w.k0 + j + 1;
      const bool m = s.measured[k];
      residual[3 * j + 0] = m ? (x.roll - s.angles[k][0]) * inv_noise : T(0);
      residual[3 * j + 1] = m ? (x.pitch - s.angles[k][1]) * inv_noise : T(0);
      residual[3 * j + 2] = m ? (x.yaw - s.angles[k][2]) * inv_noise : T(0);
    });
    return true;
  }
};

// The parameters' information with every window's start eliminated (the
// Schur complement of the start blocks in J'J): its inverse is the
// parameters' covariance in units of the residuals' variance. `columns` is the
// number of parameter columns before the windows' start blocks.
//
// That covariance takes the residuals as independent, and within a window
// they are not: an error in where a throttle switch falls, or in the start,
// shifts a window's whole misfit one way. `scores` therefore holds the spread
// of the windows' own gradients (each window's score, its start eliminated):
// info⁺·scores·info⁺ is the covariance with each window taken as one
// independent sample, whatever the correlation inside it.
struct ParameterStatistics
{
  Eigen::MatrixXd info;
  Eigen::MatrixXd scores;
};

ParameterStatistics parameterStatistics(const ceres::CRSMatrix& jac, const std::vector<double>& residuals, int columns)
{
  ParameterStatistics st;
  st.info = Eigen::MatrixXd::Zero(columns, columns);
  st.scores = Eigen::MatrixXd::Zero(columns, columns);
  const int windows = (jac.num_cols - columns) / kStartSize;
  std::vector<Eigen::MatrixXd> jpx(windows, Eigen::MatrixXd::Zero(columns, kStartSize));
  std::vector<Eigen::MatrixXd> jxx(windows, Eigen::MatrixXd::Zero(kStartSize, kStartSize));
  std::vector<Eigen::VectorXd> gp(windows, Eigen::VectorXd::Zero(columns));
  std::vector<Eigen::VectorXd> gx(windows, Eigen::VectorXd::Zero(kStartSize));
  Eigen::VectorXd rp(columns);
  Eigen::VectorXd rx(kStartSize);
  int window = -1;  // a window's rows are contiguous; a row that no start moves belongs to the last one
  for (int row = 0; row < jac.num_rows; ++row)
  {
    rp.setZero();
    rx.setZero();
    for (int a = jac.rows[row]; a < jac.rows[row + 1]; ++a)
    {
      const int col = jac.cols[a];
      if (col < columns)
      {
        rp[col] = jac.values[a];
      }
      else
      {
        window = (col - columns) / kStartSize;
        rx[(col - columns) % kStartSize] = jac.values[a];
      }
    }
    st.info += rp * rp.transpose();
    if (window >= 0)
    {
      jpx[window] += rp * rx.transpose();
      jxx[window] += rx * rx.transpose();
      gp[window] += rp * residuals[row];
      gx[window] += rx * residuals[row];
    }
  }
  for (int w = 0; w < windows; ++w)
  {
    const Eigen::MatrixXd eliminate = jpx[w] * jxx[w].completeOrthogonalDecomposition().pseudoInverse();
    st.info -= eliminate * jpx[w].transpose();
    const Eigen::VectorXd score = gp[w] - eliminate * gx[w];
    st.scores += score * score.transpose();
  }
  return st;
}

// Values that trade against each other share a group.
const int kTradeGroup[kFittedCount] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 8, 9, 10, 4, 5, 6, 11};
// Rounds of holding what the data leave open and fitting the rest again.
const size_t kMaxRefits = 3;

double relativeSd(const FittedValue& v)
{
  return v.estimate != 0 ? v.sd / std::fabs(v.estimate) : HUGE_VAL;
}

struct Bounds
{
  double lo, hi;
};
Bounds boundsOf(int i, double base)
{
  switch (i)
  {
    case kJ1x:
      // Roll has no point masses' share: at 0 its acceleration divides by
      // zero, and the solver's trial steps do reach the bound. A body's roll
      // inertia is known from its mass and size far better than tenfold.
      return {base > 0 ? 0.1 * base : 1e-6, 1e6};
    case kThrustExpo:
      return {0.0, 1.0};
    case kThrottleStart:
      return {0.0, 0.45};
    case kReactionTorque:
      return {-1.0, 1.0};
    case kMotorBalance:
      return {-0.3, 0.3};
    case kTauUp:
    case kTauDown:
      return {1e-4, 1.0};
    case kCoulombPhi:
    case kCoulombTheta:
    case kCoulombPsi:
      return {1e-6, 1e6};  // at exactly 0 the friction has no derivative to leave by
    default:
      return {0.0, 1e6};
  }
}

}  // namespace

const char* fittedName(int index)
{
  return kInfo[index].name;
}

const char* fittedExcitation(int index)
{
  return kInfo[index].excitation;
}

std::array<double, kFittedCount> fittedValuesOf(const zv_rig::RigDescription& rig)
{
  return valuesOf(zv_sim::rigDynamicParamsOf(rig));
}

zv_rig::RigDescription withFittedValues(const zv_rig::RigDescription& rig,
                                        const std::array<double, kFittedCount>& v)
{
  zv_rig::RigDescription r = rig;
  auto split = [](double total, double& a, double& b) {
    const double sum = a + b;
    const double share = sum > 0 ? a / sum : 0.5;
    a = total * share;
    b = total - a;
  };
  r.zorvik.km = v[kKm];
  r.zorvik.J1x = v[kJ1x];
  split(v[kPitchInertia], r.zorvik.J1y, r.zorvik.J2y);
  split(v[kYawInertia], r.zorvik.J1z, r.zorvik.J2z);
  r.zorvik.Bphi = v[kBphi];
  r.zorvik.Bth = v[kBth];
  r.zorvik.Bpsi = v[kBpsi];
  r.actuator.thrust_expo = v[kThrustExpo];
  r.actuator.throttle_start = v[kThrottleStart];
  r.actuator.tau_up = v[kTauUp];
  r.actuator.tau_down = v[kTauDown];
  r.actuator.reaction_torque = v[kReactionTorque];
  r.friction.coulomb_phi = v[kCoulombPhi];
  r.friction.coulomb_theta = v[kCoulombTheta];
  r.friction.coulomb_psi = v[kCoulombPsi];
  r.actuator.left_gain = 1.0 + v[kMotorBalance];
  r.actuator.right_gain = 1.0 - v[kMotorBalance];
  return r;
}

std::string checkExcitation(const std::vector<Series>& data)
{
  double flying_s = 0;
  double sum[5] = {0, 0, 0, 0, 0}, sum2[5] = {0, 0, 0, 0, 0};
  double yaw_lo = 1e9, yaw_hi = -1e9;
  size_t count = 0;
  for (const Series& s : data)
  {
    for (size_t k = 0; k < s.size(); ++k)
    {
      const std::array<double, 2>& u = s.throttle_after[k];
      if (!s.measured[k] || u[0] + u[1] <= 0.2)
      {
        continue;
      }
      flying_s += s.period;
      const double v[5] = {s.angles[k][0], s.angles[k][1], s.angles[k][2], u[0] + u[1], u[0] - u[1]};
      for (int i = 0; i < 5; ++i)
      {
        sum[i] += v[i];
        sum2[i] += v[i] * v[i];
      }
      yaw_lo = std::min(yaw_lo, v[2]);
      yaw_hi = std::max(yaw_hi, v[2]);
      ++count;
    }
  }
  std::ostringstream err;
  if (flying_s < 20.0)
  {
    err << "the recordings hold " << flying_s
        << " s with the motors running; the fit needs at least 20 s of flight (./zv experiment identify records "
           "about 3 minutes)";
    return err.str();
  }
  auto sd = [&](int i) { return std::sqrt(std::max(0.0, sum2[i] / count - (sum[i] / count) * (sum[i] / count))); };
  std::vector<std::string> missing;
  if (sd(1) < 0.02)
  {
    missing.push_back("pitch does not move (sd " + std::to_string(sd(1)) +
                      " rad): ./zv experiment chirp-pitch or steps provides it");
  }
  if (yaw_hi - yaw_lo < 0.1)
  {
    missing.push_back("yaw does not turn (range " + std::to_string(yaw_hi - yaw_lo) +
                      " rad): ./zv experiment chirp-yaw or steps provides it");
  }
  if (sd(0) < 0.003 || sd(4) < 0.003)
  {
    missing.push_back("roll and the differential thrust do not vary: ./zv experiment chirp-yaw provides it (roll "
                      "steers yaw)");
  }
  if (sd(3) < 0.01)
  {
    missing.push_back("the collective thrust does not vary: ./zv experiment chirp-pitch or steps provides it");
  }
  for (size_t i = 0; i < missing.size(); ++i)
  {
    err << (i ? "; " : "") << missing[i];
  }
  if (!missing.empty())
  {
    err << " (./zv experiment identify gives all of it)";
  }
  return err.str();
}

std::string fitRig(const zv_rig::RigDescription& base_rig, const std::vector<Series>& data, const FitOptions& options,
                   FitResult& result)
{
  const std::string lacking = checkExcitation(data);
  if (!lacking.empty())
  {
    return lacking;
  }
  const RigGeometry geometry = zv_sim::rigGeometryOf(base_rig.zorvik);
  const RigDynamicParams<double> base = zv_sim::rigDynamicParamsOf(base_rig);
  const std::array<double, kFittedCount> base_values = valuesOf(base);
  std::array<double, kFittedCount> scale, theta;
  for (int i = 0; i < kFittedCount; ++i)
  {
    const double start = base_values[i] != 0 ? base_values[i] : kStartWhenZero[i];
    scale[i] = start != 0 ? std::fabs(start) : kInfo[i].typical;
    theta[i] = start / scale[i];
  }
  std::array<bool, kFittedCount> held;
  held.fill(false);

  FitResult r;
  for (size_t stage = 0; stage < options.window_s.size() + kMaxRefits; ++stage)
  {
    // The last pass refits with what the data leave open held at its base value.
    const bool refit = stage >= options.window_s.size();
    if (refit && std::find(held.begin(), held.end(), true) == held.end())
    {
      break;
    }
    const double window_s = options.window_s[std::min(stage, options.window_s.size() - 1)];
    std::vector<Window> windows;
    for (const Series& s : data)
    {
      const size_t frames = std::max<size_t>(10, static_cast<size_t>(std::lround(window_s / s.period)));
      const std::vector<Window> more = windowsOf(s, frames);
      // The short windows only bring the values close: every stride-th does.
      const size_t stride = stage + 1 < options.window_s.size() ? std::max(1, options.short_window_stride) : 1;
      for (size_t w = 0; w < more.size(); w += stride)
      {
        windows.push_back(more[w]);
      }
    }
    if (windows.empty())
    {
      return "no stretch of " + std::to_string(window_s) + " s with the motors running in the recordings";
    }
    std::vector<std::array<double, kStartSize>> starts(windows.size());
    for (auto& st : starts)
    {
      st.fill(0.0);
    }
    ceres::Problem problem;
    auto* ordering = new ceres::ParameterBlockOrdering;
    std::vector<double*> blocks = {theta.data()};
    size_t residuals = 0;
    for (size_t i = 0; i < windows.size(); ++i)
    {
      const Window& w = windows[i];
      auto* cost = new ceres::AutoDiffCostFunction<WindowCost, ceres::DYNAMIC, kFittedCount, kStartSize>(
          new WindowCost{w, base, scale, geometry, 1.0 / options.angle_noise}, static_cast<int>(3 * w.n));
      // Per window: a window spoilt by something the model lacks weighs like a
      // few ordinary ones, not like its squared misfit.
      problem.AddResidualBlock(cost, new ceres::HuberLoss(3.0 * std::sqrt(3.0 * w.n)), theta.data(),
                               starts[i].data());
      ordering->AddElementToGroup(starts[i].data(), 0);
      blocks.push_back(starts[i].data());
      residuals += 3 * w.n;
    }
    ordering->AddElementToGroup(theta.data(), 1);
    for (int i = 0; i < kFittedCount; ++i)
    {
      const Bounds b = boundsOf(i, base_values[i]);
      problem.SetParameterLowerBound(theta.data(), i, b.lo / scale[i]);
      problem.SetParameterUpperBound(theta.data(), i, b.hi / scale[i]);
    }
    std::vector<int> free;
    for (int i = 0; i < kFittedCount; ++i)
    {
      if (refit && held[i])
      {
        theta[i] = base_values[i] / scale[i];
      }
      else if (stage + 1 < options.window_s.size() && i >= kBphi && (i <= kBpsi || i >= kCoulombPhi))
      {
        // The short windows leave the bearings' friction as it is: stiction
        // makes their misfit rough in it, and from far off the fit would trade
        // friction for the thrust curve. The long windows fit it.
      }
      else
      {
        free.push_back(i);
      }
    }
    if (free.size() < static_cast<size_t>(kFittedCount))
    {
      std::vector<int> fixed;
      for (int i = 0; i < kFittedCount; ++i)
      {
        if (std::find(free.begin(), free.end(), i) == free.end())
        {
          fixed.push_back(i);
        }
      }
      problem.SetManifold(theta.data(), new ceres::SubsetManifold(kFittedCount, fixed));
    }
    ceres::Solver::Options so;
    so.linear_solver_type = ceres::DENSE_SCHUR;
    so.linear_solver_ordering.reset(ordering);
    so.num_threads = options.threads;
    // The refit starts next to its solution: only what was held moved.
    so.max_num_iterations = refit ? std::min(options.max_iterations, 30) : options.max_iterations;
    so.function_tolerance = 1e-7;
    so.parameter_tolerance = 1e-7;
    ceres::Solver::Summary summary;
    ceres::Solve(so, &problem, &summary);
    r.iterations += static_cast<int>(summary.iterations.size());
    r.converged = summary.termination_type == ceres::CONVERGENCE;
    {
      std::ostringstream stage_line;
      stage_line.precision(3);
      stage_line << (r.message.empty() ? "" : "; ") << windows.size() << " windows of " << window_s << " s"
                 << (refit ? " (refit)" : "") << ": " << summary.iterations.size() << " iterations, "
                 << summary.total_time_in_seconds << " s";
      r.message += stage_line.str();
    }
    const double dof = std::max<double>(1.0, double(residuals) - kFittedCount - kStartSize * windows.size());
    const double sigma2 = 2.0 * summary.final_cost / dof;  // in units of angle_noise squared
    r.residual_rms = std::sqrt(sigma2) * options.angle_noise;

    if (stage + 1 < options.window_s.size())
    {
      continue;  // the short windows only bring the values close
    }

    // Identifiability and covariance from the Jacobian at the solution, the
    // start states eliminated. Scaled multipliers: the eigenvalues compare.
    ceres::Problem::EvaluateOptions eo;
    eo.parameter_blocks = blocks;
    eo.num_threads = options.threads;
    ceres::CRSMatrix jac;
    std::vector<double> misfit;
    problem.Evaluate(eo, nullptr, &misfit, nullptr, &jac);
    const int nfree = static_cast<int>(free.size());
    const ParameterStatistics stats = parameterStatistics(jac, misfit, nfree);
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(stats.info);
    const double largest = eig.eigenvalues().maxCoeff();
    std::array<bool, kFittedCount> undetermined;
    undetermined.fill(false);
    Eigen::MatrixXd cov = Eigen::MatrixXd::Zero(nfree, nfree);
    for (int e = 0; e < nfree; ++e)
    {
      const double lambda = eig.eigenvalues()[e];
      const Eigen::VectorXd v = eig.eigenvectors().col(e);
      if (lambda > 1e-10 * largest)
      {
        cov += v * v.transpose() / lambda;  // pseudo-inverse over what the data see
        continue;
      }
      for (int i = 0; i < nfree; ++i)
      {
        if (std::fabs(v[i]) > 0.2)
        {
          undetermined[free[i]] = true;
        }
      }
    }

    // Each window taken as one sample (see parameterStatistics); of the two
    // estimates the larger counts, since too few windows can make the spread
    // of their scores come out small by chance.
    const Eigen::MatrixXd per_window = cov * stats.scores * cov;

    bool newly_held = false;
    for (int f = 0; f < nfree; ++f)
    {
      const int i = free[f];
      FittedValue& v = r.values[i];
      v.base = base_values[i];
      v.estimate = scale[i] * theta[i];
      v.determined = !undetermined[i];
      const double variance = std::max(cov(f, f) * sigma2, per_window(f, f));
      v.sd = v.determined ? std::sqrt(std::max(0.0, variance)) * scale[i] : 0.0;
      const double relative = relativeSd(v);
      v.accepted = v.determined && relative <= options.max_relative_sd;
      v.reason.clear();
      if (!v.determined)
      {
        v.reason = std::string("the data do not determine it; it needs ") + kInfo[i].excitation;
      }
      else if (!v.accepted)
      {
        std::ostringstream why;
        why.precision(2);
        why << "standard deviation " << 100 * relative << " % of the value (above " << 100 * options.max_relative_sd
            << " %); it needs more " << kInfo[i].excitation;
        v.reason = why.str();
      }
    }
    // What the data leave open is held at its base value and the rest fitted
    // again. Of the values that trade against each other (the thrust curve's
    // start and expo; each bearing's viscous and Coulomb friction) only the
    // least certain is held in one round: with it held, the other is often
    // well determined, and holding both at a base far off would leave the rest
    // to make up for two wrong values.
    std::array<int, kFittedCount> hold_in_group;
    hold_in_group.fill(-1);
    for (int f = 0; f < nfree; ++f)
    {
      const int i = free[f];
      const FittedValue& v = r.values[i];
      if (v.accepted || held[i])
      {
        continue;
      }
      if (!v.determined)
      {
        held[i] = true;
        newly_held = true;
        continue;
      }
      int& chosen = hold_in_group[kTradeGroup[i]];
      if (chosen < 0 || relativeSd(r.values[i]) > relativeSd(r.values[chosen]))
      {
        chosen = i;
      }
    }
    for (int i : hold_in_group)
    {
      if (i >= 0)
      {
        held[i] = true;
        newly_held = true;
      }
    }
    if (!newly_held || stage + 1 >= options.window_s.size() + kMaxRefits)
    {
      break;
    }
  }

  std::array<double, kFittedCount> final_values = base_values;
  for (int i = 0; i < kFittedCount; ++i)
  {
    if (r.values[i].accepted)
    {
      final_values[i] = scale[i] * theta[i];
      r.values[i].estimate = final_values[i];
    }
  }
  r.rig = withFittedValues(base_rig, final_values);
  result = r;
  return "";
}

Validation validateRig(const zv_rig::RigDescription& rig, const Series& data, double window_s)
{
  const RigGeometry geometry = zv_sim::rigGeometryOf(rig.zorvik);
  const RigDynamicParams<double> p = zv_sim::rigDynamicParamsOf(rig);
  Validation v;
  v.simulated = data.angles;
  v.used.assign(data.size(), false);
  const size_t frames = std::max<size_t>(10, static_cast<size_t>(std::lround(window_s / data.period)));
  const size_t lead_in = static_cast<size_t>(std::lround(kValidationLeadIn / data.period));
  const std::array<double, kFittedCount> values = valuesOf(p);
  std::array<double, kFittedCount> ones;
  ones.fill(1.0);
  for (const Window& w : windowsOf(data, frames))
  {
    // The start state from the window's first frames, the parameters held.
    std::array<double, kFittedCount> theta = ones;
    std::array<double, kStartSize> start;
    start.fill(0.0);
    ceres::Problem problem;
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<WindowCost, ceres::DYNAMIC, kFittedCount, kStartSize>(
                                 new WindowCost{Window{w.series, w.k0, lead_in, w.start}, p, values, geometry,
                                                1.0 / 0.003},
                                 static_cast<int>(3 * lead_in)),
                             nullptr, theta.data(), start.data());
    problem.SetParameterBlockConstant(theta.data());
    ceres::Solver::Options so;
    so.linear_solver_type = ceres::DENSE_QR;
    so.max_num_iterations = 20;
    ceres::Solver::Summary summary;
    ceres::Solve(so, &problem, &summary);
    simulateWindow(data, w.k0, w.n, w.start, start.data(), p, geometry, [&](size_t j, const RigStateT<double>& x) {
      const size_t k = w.k0 + j + 1;
      v.simulated[k] = {{x.roll, x.pitch, x.yaw}};
      v.used[k] = data.measured[k] && j >= lead_in;
    });
  }
  for (int a = 0; a < 3; ++a)
  {
    double mean = 0;
    size_t n = 0;
    for (size_t k = 0; k < data.size(); ++k)
    {
      if (v.used[k])
      {
        mean += data.angles[k][a];
        ++n;
      }
    }
    if (n == 0)
    {
      continue;
    }
    mean /= n;
    double err = 0, spread = 0;
    for (size_t k = 0; k < data.size(); ++k)
    {
      if (v.used[k])
      {
        err += std::pow(data.angles[k][a] - v.simulated[k][a], 2);
        spread += std::pow(data.angles[k][a] - mean, 2);
      }
    }
    v.fit_percent[a] = spread > 0 ? 100.0 * (1.0 - std::sqrt(err / spread)) : 0.0;
  }
  return v;
}

}  // namespace zv_ident
