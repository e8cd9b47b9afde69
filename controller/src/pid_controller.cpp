#include "zv_ta/pid_controller.h"

#include "zv_ta/gain_design.h"
#include "zv_rig/mixing.h"
#include "zv_rig/rig_params_server.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

namespace zorvik_controller
{
namespace
{
// lT, d, J1x and km are divisors of the design or the law: 0 is never usable.
bool isDivisor(const std::string& key)
{
  return key == "lT" || key == "d" || key == "J1x" || key == "km";
}

// A state this long after the previous one is not differentiated or
// integrated against it (a driver restarted, a link back after an outage):
// the loops restart from it instead of leaping.
const ros::Duration kTimingGap(0.5);
// How long skipped states may keep repeating the last computed command.
const ros::Duration kSkipHold(0.25);
const ros::WallDuration kSkipHoldSteady(0.25);

bool allFinite(std::initializer_list<float> values)
{
  for (float v : values)
  {
    if (!std::isfinite(v))
    {
      return false;
    }
  }
  return true;
}

// x with its magnitude bounded by limit; unchanged, bit for bit, within it.
float bounded(float x, float limit)
{
  if (x > limit)
  {
    return limit;
  }
  if (x < -limit)
  {
    return -limit;
  }
  return x;
}
}  // namespace

PIDController::PIDController()
    : kp_phi(0.0f),
      ki_phi(0.0f),
      kd_phi(0.0f),
      integrator_phi(0.0f),
      phi_prev(0.0f),
      theta_r(0.0f),
      kp_theta(0.0f),
      ki_theta(0.0f),
      kd_theta(0.0f),
      integrator_theta(0.0f),
      theta_prev(0.0f),
      psi_r(0.0f),
      kp_psi(0.0f),
      ki_psi(0.0f),
      kd_psi(0.0f),
      integrator_psi(0.0f),
      psi_prev(0.0f),
      prev_time(0, 0),
      l1(0.0f),
      l2(0.0f),
      l3x(0.0f),
      l3y(0.0f),
      l3z(0.0f),
      lT(0.0f),
      d(0.0f),
      m1(0.0f),
      m2(0.0f),
      m3(0.0f),
      J1x(0.0f),
      J1y(0.0f),
      J1z(0.0f),
      J2x(0.0f),
      J2y(0.0f),
      J2z(0.0f),
      J3x(0.0f),
      J3y(0.0f),
      J3z(0.0f),
      Bphi(0.0f),
      Bth(0.0f),
      Bpsi(0.0f),
      km(0.0f),
      g(0.0f),
      F_ff(0.0f),
      F_e(0.0f),
      integrator_theta_limit(0.0f),
      integrator_psi_limit(0.0f),
      throttles_held(false),
      armed_heard(false),
      armed(false),
      restart_timing(true)
{
  ros::NodeHandle nh;
  state_sub = nh.subscribe("/zv_state", 5, &PIDController::stateCallback, this);
  reference_state_sub = nh.subscribe("/zv_reference_state", 5, &PIDController::referenceStateCallback, this);
  command_pub = nh.advertise<zv_msgs::Command>("/zv_command", 5, false);
  // Latched and rare; a queue of 10 keeps a quick disarm/arm pair from being
  // folded into one message, and no Nagle delay holds back a disarm.
  armed_sub = nh.subscribe("/zv_armed", 10, &PIDController::armedCallback, this, ros::TransportHints().tcpNoDelay());

  zv_rig::RigParams server;
  const std::array<zv_rig::ServerParam, 24> read = zv_rig::readRigParamsFromServer(nh, server);
  const RigParameters params = zv_rig::rigParamsCast<float>(server);
#define ZV_TA_TAKE_PARAM(key) key = params.key;
  ZV_RIG_PARAM_KEYS(ZV_TA_TAKE_PARAM)
#undef ZV_TA_TAKE_PARAM

  const Gains gains = designGains(params);
  F_e = gains.F_e;
  kp_phi = gains.kp_phi;
  ki_phi = gains.ki_phi;
  kd_phi = gains.kd_phi;
  kp_theta = gains.kp_theta;
  ki_theta = gains.ki_theta;
  kd_theta = gains.kd_theta;
  kp_psi = gains.kp_psi;
  ki_psi = gains.ki_psi;
  kd_psi = gains.kd_psi;
  integrator_theta_limit = gains.integrator_theta_limit;
  integrator_psi_limit = gains.integrator_psi_limit;

  throttles_held = !designDrivesMotors(params, gains);
  if (throttles_held)
  {
    // Name every key that can explain it: missing or unreadable ones, the
    // divisors at 0, and, when a gain blew up, any other key at 0.
    const std::vector<std::string> bad_outputs = nonFiniteDesignOutputs(gains);
    std::ostringstream problems;
    for (std::size_t i = 0; i < zv_rig::kRigParamFields.size(); ++i)
    {
      const std::string key = zv_rig::kRigParamFields[i].key;
      const float value = static_cast<float>(server.*zv_rig::kRigParamFields[i].member);
      std::string problem;
      if (read[i] != zv_rig::ServerParam::kRead)
      {
        problem = zv_rig::describe(read[i]);
      }
      else if (!std::isfinite(value))
      {
        problem = "is not finite";
      }
      else if (value == 0.0f && (isDivisor(key) || !bad_outputs.empty()))
      {
        problem = "is 0";
      }
      if (!problem.empty())
      {
        problems << (problems.tellp() > 0 ? ", " : "") << "/zorvik/" << key << " " << problem;
      }
    }
    for (const std::string& output : bad_outputs)
    {
      problems << (problems.tellp() > 0 ? ", " : "") << "gain design gives " << output;
    }
    ROS_ERROR(
        "pid_controller_node: rig parameters unusable (%s): motor throttles are held at 0 for every state. "
        "Load the rig parameter file (roslaunch zv_ta controller.launch, or rosparam load "
        "config/zorvik_params.yaml of package zv_rig) and restart the node.",
        problems.str().c_str());
  }

  theta_r = 0.0f;
  psi_r = 0.0f;
  prev_time = ros::Time::now();
  last_step_time = prev_time;
  last_step_steady = ros::SteadyTime::now();
  recent_step_count = 0;
  recent_step_next = 0;
}

const int PIDController::kStepHistory;

float PIDController::rateStep(float dt) const
{
  if (recent_step_count == 0)
  {
    return dt;
  }
  float sorted[kStepHistory];
  std::copy(recent_steps, recent_steps + recent_step_count, sorted);
  std::nth_element(sorted, sorted + recent_step_count / 2, sorted + recent_step_count);
  return std::max(dt, 0.5f * sorted[recent_step_count / 2]);
}

void PIDController::referenceStateCallback(boost::shared_ptr<const zv_msgs::ReferenceState> msg)
{
  if (!allFinite({msg->pitch, msg->yaw}))
  {
    // Taken over, it would make every later step non-finite and cut the motors.
    ROS_WARN_THROTTLE(5.0,
                      "pid_controller_node: reference on /zv_reference_state is not finite (yaw %g, pitch %g): "
                      "ignored, the previous reference (yaw %g, pitch %g) stays. Check the publisher of "
                      "/zv_reference_state.",
                      msg->yaw, msg->pitch, psi_r, theta_r);
    return;
  }
  theta_r = msg->pitch;
  psi_r = msg->yaw;
}

void PIDController::armedCallback(boost::shared_ptr<const std_msgs::Bool> msg)
{
  const bool now_armed = msg->data;
  if (now_armed && !(armed_heard && armed))
  {
    // Whatever the loops last saw predates the arming: take no rates or
    // integral across it, and start the integrators afresh, so that what was
    // wound up before a STOP (a body held on its stop) cannot leap the rig now.
    restart_timing = true;
    integrator_phi = 0.0f;
    integrator_theta = 0.0f;
    integrator_psi = 0.0f;
  }
  armed_heard = true;
  armed = now_armed;
}

void PIDController::stateCallback(boost::shared_ptr<const zv_msgs::State> msg)
{
  const float phi = msg->roll;
  const float theta = msg->pitch;
  const float psi = msg->yaw;

  // Unusable parameters, or a rig that says it is disarmed: zero throttles,
  // and the loops keep what they had (arming restarts their timing).
  if (throttles_held || (armed_heard && !armed))
  {
    publish(zv_msgs::Command());
    return;
  }
  if (!allFinite({phi, theta, psi}))
  {
    ROS_WARN_THROTTLE(5.0,
                      "pid_controller_node: state on /zv_state has a non-finite angle (roll %g, pitch %g, yaw %g): "
                      "step skipped, last command repeated for at most 0.25 s. Check the publisher of /zv_state.",
                      phi, theta, psi);
    publishSkipped();
    return;
  }

  const ros::Time now = ros::Time::now();
  const ros::Duration step = now - prev_time;
  const float dt = static_cast<float>(step.toSec());
  // A restart step uses neither dt nor the previous angles, so any dt will do.
  const bool restart = restart_timing || step > kTimingGap;
  if (!restart && (!(dt > 0.0f) || !std::isfinite(dt)))
  {
    // Nothing can be divided by this step; start timing afresh from this
    // message so the next one gets a sound step and finite rates.
    ROS_WARN_THROTTLE(5.0,
                      "pid_controller_node: state on /zv_state came %g s after the previous one (ROS time not "
                      "advancing): step skipped, last command repeated for at most 0.25 s, timing restarted. "
                      "Check the clock (/use_sim_time, /clock) and the publisher of /zv_state.",
                      static_cast<double>(dt));
    prev_time = now;
    phi_prev = phi;
    theta_prev = theta;
    psi_prev = psi;
    publishSkipped();
    return;
  }

  // The step is computed into locals and committed only when all of it is
  // finite, so one bad step cannot poison the integrators for the rest of the run.
  // A restart step has no rates and adds nothing to the integrators: the
  // proportional terms, the integrators as they stand and the feed-forward act.
  const float feed_forward = cosf(theta) * F_e;

  // Yaw loop: the yaw error gives the roll reference.
  const float rate_dt = restart ? dt : rateStep(dt);
  const float psi_dot = restart ? 0.0f : (psi - psi_prev) / rate_dt;
  const float e_psi = psi_r - psi;
  const float next_integrator_psi =
      restart ? integrator_psi : bounded(integrator_psi + e_psi * dt, integrator_psi_limit);
  const float phi_r = (kp_psi * e_psi - kd_psi * psi_dot) + ki_psi * next_integrator_psi;

  // Roll loop: the roll error gives the torque. The derivative acts on the
  // measured angle, so a reference change gives no kick.
  const float phi_dot = restart ? 0.0f : (phi - phi_prev) / rate_dt;
  const float e_phi = phi_r - phi;
  const float next_integrator_phi = restart ? integrator_phi : integrator_phi + e_phi * dt;
  const float tau = (kp_phi * e_phi - kd_phi * phi_dot) + ki_phi * next_integrator_phi;

  // Pitch loop: the integrator is frozen while the body rises fast, to limit
  // overshoot on the way up.
  const float theta_dot = restart ? 0.0f : (theta - theta_prev) / rate_dt;
  const float e_theta = theta_r - theta;
  float next_integrator_theta = integrator_theta;
  if (!restart && static_cast<double>(theta_dot) < 0.2)
  {
    next_integrator_theta = bounded(integrator_theta + e_theta * dt, integrator_theta_limit);
  }
  const float F = ((kp_theta * e_theta - kd_theta * theta_dot) + ki_theta * next_integrator_theta) + feed_forward;

  // A positive torque raises the left motor and lowers the right one.
  const zv_rig::Throttles<float> mixed = zv_rig::mixThrottles(tau, F, d, km);
  const float u_left = mixed.left;
  const float u_right = mixed.right;

  if (!allFinite({next_integrator_psi, next_integrator_phi, next_integrator_theta, psi_dot, phi_dot, theta_dot, u_left,
                  u_right}))
  {
    ROS_WARN_THROTTLE(5.0,
                      "pid_controller_node: control step gave a non-finite value (dt %g s, roll %g, pitch %g, "
                      "yaw %g): step skipped, last command repeated for at most 0.25 s, controller state kept.",
                      static_cast<double>(dt), phi, theta, psi);
    publishSkipped();
    return;
  }

  F_ff = feed_forward;
  prev_time = now;
  if (!restart)
  {
    recent_steps[recent_step_next] = dt;
    recent_step_next = (recent_step_next + 1) % kStepHistory;
    recent_step_count = std::min(recent_step_count + 1, kStepHistory);
  }
  psi_prev = psi;
  phi_prev = phi;
  theta_prev = theta;
  integrator_psi = next_integrator_psi;
  integrator_phi = next_integrator_phi;
  integrator_theta = next_integrator_theta;
  restart_timing = false;
  last_step_time = now;
  last_step_steady = ros::SteadyTime::now();

  zv_msgs::Command command;
  command.left_motor = saturateThrottle(u_left);
  command.right_motor = saturateThrottle(u_right);
  publish(command);
}

void PIDController::publish(const zv_msgs::Command& command)
{
  last_command = command;
  command_pub.publish(command);
}

void PIDController::publishSkipped()
{
  // Counted from the last computed command, not from the first skip: after a
  // silence, a stale command is not repeated at all. The ROS clock measures it
  // (under simulated time the rig lives on that clock), unless that clock has
  // not moved past the last step (stopped, or jumped back): most skips come
  // from such a clock, so the monotonic clock measures it then.
  const ros::Duration since_step = ros::Time::now() - last_step_time;
  const bool stale = since_step > ros::Duration(0) ? since_step >= kSkipHold
                                                   : ros::SteadyTime::now() - last_step_steady >= kSkipHoldSteady;
  if (stale)
  {
    ROS_WARN_THROTTLE(5.0,
                      "pid_controller_node: no state on /zv_state could be stepped for 0.25 s or more: zero "
                      "throttles until one can. See the warnings above for why states are skipped.");
    publish(zv_msgs::Command());
    return;
  }
  publish(last_command);
}
}  // namespace zorvik_controller
