// How a torque about the roll axis and a total force become the two motor
// throttles, for the controller (float) and the panel's Command layout
// (double). Header only, no ROS.
#ifndef ZV_RIG_MIXING_H
#define ZV_RIG_MIXING_H

namespace zv_rig
{
template <typename Scalar>
struct Throttles
{
  Scalar left;
  Scalar right;
};

// tau in N*m (positive raises the left motor and lowers the right one), force
// in N (the two motors together), d the lever arm of each motor about the roll
// axis in m, km the thrust of one motor at full throttle in N. Each motor gives
// half the force plus or minus tau / (2 d); its throttle is that thrust / km.
// Not clipped: callers decide what to do with values outside [0, 1], and a d
// or km of 0 gives non-finite throttles that they must catch.
template <typename Scalar>
Throttles<Scalar> mixThrottles(Scalar tau, Scalar force, Scalar d, Scalar km)
{
  const Scalar f_left = (tau / d + force) / Scalar(2);
  const Scalar f_right = (-tau / d + force) / Scalar(2);
  return {f_left / km, f_right / km};
}

}  // namespace zv_rig

#endif  // ZV_RIG_MIXING_H
