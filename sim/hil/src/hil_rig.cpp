#include "hil_rig.h"

#include <ctime>

namespace zv_sim
{
namespace hil
{
namespace
{
namespace cfg = zv_firmware::config;

const double kStepSeconds = 1e-3;
// A loop further behind the wall clock than this (the machine stalled it)
// gives the time up instead of running flat out to catch up.
const double kMaxLag = 0.1;
const double kPaceWindow = 1.0;

double angleOf(const RigState& s, int axis)
{
  return axis == kRoll ? s.roll : (axis == kPitch ? s.pitch : s.yaw);
}

RigState between(const RigState& a, const RigState& b, double f)
{
  RigState s;
  s.roll = a.roll + f * (b.roll - a.roll);
  s.pitch = a.pitch + f * (b.pitch - a.pitch);
  s.yaw = a.yaw + f * (b.yaw - a.yaw);
  s.roll_rate = a.roll_rate + f * (b.roll_rate - a.roll_rate);
  s.pitch_rate = a.pitch_rate + f * (b.pitch_rate - a.pitch_rate);
  s.yaw_rate = a.yaw_rate + f * (b.yaw_rate - a.yaw_rate);
  return s;
}

void sleepFor(double seconds)
{
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  nanosleep(&ts, nullptr);
}
}  // namespace

HilRig::HilRig(const RigModel& model, const HilConfig& config, HilListener* listener)
    : model_(model),
      config_(config),
      listener_(listener ? listener : &quiet_),
      drives_{
          {QuadratureDrive(cfg::kRollEncoder), QuadratureDrive(cfg::kPitchEncoder), QuadratureDrive(cfg::kYawEncoder)}}
{
  model_.setThrottles(0, 0);
  std::array<int64_t, kAxisCount> counts;
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    drives_[axis].place(angleOf(model_.state(), axis));
    counts[axis] = drives_[axis].count();
  }
  board_.reset(new SimulatedBoard(config_.firmware, counts, config_.wiring));
  board_->setBaud(config_.baud);
  openLink();
  wall_start_ = std::chrono::steady_clock::now();
}

double HilRig::simSeconds() const
{
  return static_cast<double>(board_->now()) / kBoardHz;
}

double HilRig::wallSeconds() const
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
}

void HilRig::step()
{
  // Steps on a fixed grid: the board may end a step a few cycles late (it
  // runs whole instructions), which must not stretch the model's time.
  const uint64_t t0 = step_start_;
  const uint64_t t1 = t0 + kStepCycles;
  step_start_ = t1;
  model_.setThrottles(board_->esc(kEscLeft).throttle(t0), board_->esc(kEscRight).throttle(t0));
  listener_->motors(model_.throttleLeft(), model_.throttleRight(), static_cast<double>(t0) / kBoardHz);
  const RigState from = model_.state();
  model_.step(kStepSeconds);
  const RigState to = model_.state();
  for (int axis = 0; axis < kAxisCount; ++axis)
  {
    edges_.clear();
    drives_[axis].moveTo(angleOf(to, axis), t0, t1, edges_);
    board_->encoderEdges(static_cast<Axis>(axis), edges_);
  }

  board_->runUntil(t1);

  // Told before the first frame the firmware sends, so that a listener can
  // take what follows as the firmware's.
  if (in_bootloader_ && !board_->inReset())
  {
    in_bootloader_ = false;
    listener_->bootloader(false);
  }
  forwardOutput(from, to, t0);
  takeInput();
  board_->takePulses(pulses_);
  for (const Pulse& p : pulses_)
  {
    listener_->pulse(p);
  }
  pace(t1);
}

// The board's bytes go to the host; encoder frames among them are reported
// with the model's angles at their first byte.
void HilRig::forwardOutput(const RigState& from, const RigState& to, uint64_t t0)
{
  board_->takeUartOutput(out_, out_cycles_);
  if (out_.empty())
  {
    return;
  }
  const uint64_t first_byte = bytes_out_;
  for (size_t i = 0; i < out_.size(); ++i, ++bytes_out_)
  {
    const double f = (static_cast<double>(out_cycles_[i]) - static_cast<double>(t0)) / kStepCycles;
    truth_at_byte_[bytes_out_ % truth_at_byte_.size()] = between(from, to, f < 0 ? 0 : (f > 1 ? 1 : f));
    cycle_at_byte_[bytes_out_ % cycle_at_byte_.size()] = out_cycles_[i];
  }
  frames_.clear();
  latency_.written(out_.data(), out_.size(), wallSeconds(), &frames_);
  for (const LinkFrame& f : frames_)
  {
    zv_protocol::EncoderAngles sent;
    uint8_t status = 0;
    if (zv_protocol::decodeEncoderAngles(f.frame, sent))
    {
      const uint64_t first = first_byte + f.end + 1 - (f.frame.length + zv_protocol::kFrameOverhead);
      listener_->encoderFrame(sent, truth_at_byte_[first % truth_at_byte_.size()],
                              static_cast<double>(cycle_at_byte_[first % cycle_at_byte_.size()]) / kBoardHz);
    }
    else if (zv_protocol::decodeHeartbeat(f.frame, status))
    {
      listener_->heartbeat(status, static_cast<double>(out_cycles_[f.end]) / kBoardHz);
    }
  }
  if (link_)
  {
    link_->send(out_);  // unplugged, the bytes go nowhere
  }
}

void HilRig::takeInput()
{
  in_.clear();
  if (!link_ || board_->now() < reading_from_)
  {
    if (!link_)
    {
      host_present_ = false;
    }
    return;
  }
  const bool present = link_->receive(in_, 0.0);
  if (present && !host_present_)
  {
    // DTR: the Mega resets whenever its port is opened.
    board_->holdInReset(static_cast<uint64_t>(config_.bootloader_time * kBoardHz));
    latency_.linkLost();
    in_bootloader_ = true;
    listener_->bootloader(true);
  }
  host_present_ = present;
  link_->takeHostLost();
  if (in_.empty())
  {
    return;
  }
  const bool held = board_->inReset();
  frames_.clear();
  latency_.read(in_.data(), in_.size(), wallSeconds(), &frames_);
  const uint64_t first_number = board_->uartBytesGiven();
  for (const LinkFrame& f : frames_)
  {
    listener_->hostFrame(f.frame, !held, simSeconds());
    float left = 0, right = 0;
    if (!held && zv_protocol::decodeThrottle(f.frame, left, right))
    {
      board_->expectThrottle(first_number + f.end, left, right);
    }
  }
  if (held)
  {
    dropped_by_bootloader_ += in_.size();
    return;
  }
  board_->uartSend(in_.data(), in_.size());
}

void HilRig::resetBoard(double silence_s)
{
  board_->resetAndHold(static_cast<uint64_t>(silence_s * kBoardHz), SimulatedBoard::kResetByFirmware);
  latency_.linkLost();
}

void HilRig::unplug()
{
  link_.reset();
  latency_.linkLost();
}

void HilRig::replug()
{
  if (!link_)
  {
    openLink();
  }
}

void HilRig::openLink()
{
  link_.reset(new PtyLink(config_.link));
}

void HilRig::lineNoise(const std::vector<uint8_t>& to_host, const std::vector<uint8_t>& to_board)
{
  if (link_)
  {
    link_->send(to_host);
  }
  if (!board_->inReset())
  {
    board_->uartSend(to_board.data(), to_board.size());
  }
}

void HilRig::stopReading(double seconds)
{
  reading_from_ = board_->now() + static_cast<uint64_t>(seconds * kBoardHz);
}

void HilRig::pace(uint64_t t)
{
  const double sim = static_cast<double>(t) / kBoardHz;
  const double wall = wallSeconds();
  const double ahead = (sim - sim_anchor_) - (wall - wall_anchor_);
  if (ahead > 0)
  {
    sleepFor(ahead);
  }
  else if (-ahead > kMaxLag)
  {
    lost_s_ += -ahead;
    wall_anchor_ = wall;
    sim_anchor_ = sim;
  }
  const double window = wall - pace_wall_;
  if (window >= kPaceWindow)
  {
    listener_->pace((sim - pace_sim_) / window);
    pace_wall_ = wall;
    pace_sim_ = sim;
  }
}

}  // namespace hil
}  // namespace zv_sim
