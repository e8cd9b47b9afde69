// The link supervisor on a fake clock: events in, actions out.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "zv_ros_driver/rig_link.h"

using namespace zv_ros_driver;
typedef RigLink::Action Action;

namespace
{
// Milliseconds on the fake clock, from an arbitrary origin well past zero.
RigLink::Time at(int ms)
{
  return RigLink::Time() + std::chrono::hours(1) + std::chrono::milliseconds(ms);
}

size_t countKind(const RigLink::Actions& actions, Action::Kind kind)
{
  size_t n = 0;
  for (const Action& a : actions)
    n += a.kind == kind;
  return n;
}

// The throttles of the last throttle write; false if there is none.
bool lastThrottle(const RigLink::Actions& actions, float* left, float* right)
{
  for (auto it = actions.rbegin(); it != actions.rend(); ++it)
  {
    if (it->kind != Action::kWriteThrottle)
      continue;
    FrameParser parser;
    std::vector<Frame> frames;
    parser.feed(it->frames[0].data(), it->frames[0].size(), frames);
    return frames.size() == 1 && decodeThrottle(frames[0], *left, *right);
  }
  return false;
}

// ARM frames written (kWrite) with this value.
size_t armWrites(const RigLink::Actions& actions, bool arm)
{
  size_t n = 0;
  for (const Action& a : actions)
    n += a.kind == Action::kWrite && a.frames.size() == 1 && a.frames[0] == encodeArm(arm);
  return n;
}

class Link : public ::testing::Test
{
 protected:
  void start(bool auto_arm = false)
  {
    RigLink::Settings settings;
    settings.auto_arm = auto_arm;
    link.reset(new RigLink(settings));
    link->linkUp(at(0), out);
  }
  RigLink::Actions heartbeat(uint8_t status, int ms)
  {
    RigLink::Actions a;
    const std::vector<uint8_t> bytes = encodeHeartbeat(status);
    link->received(bytes.data(), bytes.size(), at(ms), a);
    return a;
  }
  // Heartbeats from `from` to `to` every 100 ms; what they brought.
  RigLink::Actions heartbeats(uint8_t status, int from, int to)
  {
    RigLink::Actions all;
    for (int t = from; t <= to; t += 100)
    {
      RigLink::Actions a = heartbeat(status, t);
      all.insert(all.end(), a.begin(), a.end());
    }
    return all;
  }
  RigLink::Actions request(bool arm, int ms)
  {
    RigLink::Actions a;
    link->requestArm(arm, at(ms), a);
    return a;
  }
  std::unique_ptr<RigLink> link;
  RigLink::Actions out;
};

TEST(ThrustCurve, DefaultsAreTheIdentityAndHandWorkedPointsHold)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float c : {0.0f, 0.1f, 0.3f, 0.5886f, 0.999f, 1.0f})
    EXPECT_EQ(c, linearizeThrottle(c, 0.0, 0.0)) << c;
  // Sanitised first, with either curve: NaN and below 0 as 0 (off), above 1 as 1.
  for (double e : {0.0, 0.65})
  {
    EXPECT_EQ(0.0f, linearizeThrottle(nan, e, 0.05));
    EXPECT_EQ(0.0f, linearizeThrottle(-0.2f, e, 0.05));
    EXPECT_EQ(0.0f, linearizeThrottle(0.0f, e, 0.05));  // off, not the start threshold
    EXPECT_EQ(1.0f, linearizeThrottle(1.0f, e, 0.05));
    EXPECT_EQ(1.0f, linearizeThrottle(1.5f, e, 0.05));
  }
  // e 0.65, s 0.05: x = 0.71972 gives 0.35*0.71972 + 0.65*0.51800 = 0.2519 + 0.3367
  // = 0.5886; u = 0.05 + 0.95*0.71972 = 0.7337.
  EXPECT_NEAR(0.7337f, linearizeThrottle(0.5886f, 0.65, 0.05), 1e-4);
  // e 0.65, s 0: x = 0.5 gives 0.35*0.5 + 0.65*0.25 = 0.3375.
  EXPECT_NEAR(0.5f, linearizeThrottle(0.3375f, 0.65, 0.0), 1e-6);
  // e 1 (pure square), s 0: 0.25 = 0.5^2.
  EXPECT_NEAR(0.5f, linearizeThrottle(0.25f, 1.0, 0.0), 1e-6);
  // e 0 (linear) above a start of 0.2: u = 0.2 + 0.8*0.5.
  EXPECT_NEAR(0.6f, linearizeThrottle(0.5f, 0.0, 0.2), 1e-6);
}

TEST_F(Link, NothingIsWrittenBeforeTheRigSpeaksThenTheWatchdogSendsZeros)
{
  start(true);
  RigLink::Actions a;
  link->command(0.5f, 0.5f, at(10), a);
  link->tick(at(1000), a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(RigLink::Time::max(), link->nextDeadline());

  a = heartbeat(0, 1000);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(Action::kEnableWrites, a[0].kind);
  EXPECT_EQ(1u, armWrites(a, true));  // ~auto_arm
  // Commands at 50 Hz keep the zeros away; 200 ms after the last, zeros every 200 ms.
  float l = -1, r = -1;
  for (int t = 1010; t <= 1090; t += 20)
  {
    a.clear();
    link->command(0.5f, 0.25f, at(t), a);
    link->tick(at(t), a);
    ASSERT_TRUE(lastThrottle(a, &l, &r));
    EXPECT_EQ(0.5f, l);
    EXPECT_EQ(0.25f, r);
  }
  EXPECT_EQ(at(1290), link->nextDeadline());
  a.clear();
  link->tick(at(1289), a);
  EXPECT_FALSE(lastThrottle(a, &l, &r));
  link->tick(at(1290), a);
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.0f, l);
  EXPECT_EQ(0.0f, r);
  EXPECT_EQ(at(1490), link->nextDeadline());
}

TEST_F(Link, ArmIsRepeatedAtHeartbeatsUntilTheRigSaysArmedAndCommandsAreZeroWithoutARequest)
{
  start();
  RigLink::Actions a = heartbeats(0, 0, 300);
  EXPECT_EQ(0u, armWrites(a, true));
  a.clear();
  link->command(0.5f, 0.5f, at(310), a);
  float l = -1, r = -1;
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.0f, l);

  EXPECT_EQ(1u, armWrites(request(true, 320), true));  // at once: a fresh heartbeat says disarmed
  a = heartbeats(0, 400, 600);
  EXPECT_EQ(2u, armWrites(a, true));  // at 500 and 600; 400 is too soon after 320
  a = heartbeats(kHeartbeatArmed, 700, 900);
  EXPECT_EQ(0u, armWrites(a, true));
  ASSERT_EQ(1u, countKind(a, Action::kPublishArmed));
  EXPECT_TRUE(link->status().armed);
}

// A board that resets comes back disarmed within a second; its request ends and its
// rejected count (restarting at 0) adds nothing.
TEST_F(Link, ARigThatDisarmsItselfEndsTheRequestAndItsCountRestarts)
{
  start();
  heartbeat(8 << 2, 0);
  request(true, 10);
  heartbeats(8 << 2 | kHeartbeatArmed, 100, 300);
  EXPECT_EQ(0u, link->status().rig_rejected);
  heartbeat(9 << 2 | kHeartbeatArmed, 400);  // one rejected frame
  EXPECT_EQ(1u, link->status().rig_rejected);

  // 300 ms of silence, then disarmed with its count at 0: counted on, (0 - 9) mod 64
  // would be 55 phantom rejections.
  RigLink::Actions a = heartbeat(0, 700);
  EXPECT_EQ(1u, countKind(a, Action::kWarnRigDisarmedItself));
  ASSERT_EQ(1u, countKind(a, Action::kPublishArmed));
  EXPECT_FALSE(link->status().armed);
  EXPECT_FALSE(link->status().arm_requested);
  EXPECT_EQ(RigLink::ArmEnd::kRigReset, link->status().arm_end);
  EXPECT_EQ(1u, link->status().rig_rejected);
  // No ARM 1 follows, and commands go out as zeros.
  a = heartbeats(0, 800, 1500);
  EXPECT_EQ(0u, armWrites(a, true));
  EXPECT_EQ(0u, countKind(a, Action::kWarnRigDisarmedItself));
  a.clear();
  link->command(0.6f, 0.6f, at(1510), a);
  float l = -1, r = -1;
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.0f, l);
  // Counting resumes from the new start: 0 -> 2.
  heartbeat(2 << 2, 1600);
  EXPECT_EQ(3u, link->status().rig_rejected);
  // ARM again is the user's act, and then it works as before.
  EXPECT_EQ(1u, armWrites(request(true, 1610), true));
  EXPECT_EQ(RigLink::ArmEnd::kNone, link->status().arm_end);
}

TEST_F(Link, WithAutoArmAResetIsArmedAgain)
{
  start(true);
  heartbeat(0, 0);
  heartbeats(kHeartbeatArmed, 100, 300);
  RigLink::Actions a = heartbeat(0, 400);
  ASSERT_EQ(1u, countKind(a, Action::kWarnRigDisarmedItself));
  EXPECT_TRUE(link->status().arm_requested);
  EXPECT_EQ(1u, armWrites(a, true));
}

// Disarms of ours explain the disarmed heartbeat, even a STOP quickly followed by ARM.
TEST_F(Link, OurOwnDisarmIsNoReset)
{
  start();
  heartbeat(0, 0);
  request(true, 10);
  heartbeats(kHeartbeatArmed, 100, 300);
  RigLink::Actions a = request(false, 310);
  ASSERT_EQ(1u, countKind(a, Action::kWriteFirst));
  a = heartbeat(kHeartbeatArmed, 420);  // sent before the rig read ARM 0: disarm again
  EXPECT_EQ(1u, countKind(a, Action::kWriteFirst));
  request(true, 430);
  a = heartbeats(0, 500, 600);
  EXPECT_EQ(0u, countKind(a, Action::kWarnRigDisarmedItself));
  EXPECT_TRUE(link->status().arm_requested);
  EXPECT_EQ(2u, armWrites(a, true));
}

TEST_F(Link, ASilentRigIsForgottenAndItsRequestCancelled)
{
  start();
  heartbeat(0, 0);
  request(true, 10);
  heartbeat(kHeartbeatArmed, 100);
  RigLink::Actions a;
  link->tick(at(1099), a);
  EXPECT_EQ(0u, countKind(a, Action::kWarnHeartbeatLost));
  link->tick(at(1100), a);
  EXPECT_EQ(1u, countKind(a, Action::kWarnHeartbeatLost));
  EXPECT_FALSE(link->status().armed);
  EXPECT_FALSE(link->status().arm_requested);
  EXPECT_EQ(RigLink::ArmEnd::kRigSilent, link->status().arm_end);
  // Back and still armed: the driver disarms it.
  a = heartbeat(kHeartbeatArmed, 1500);
  EXPECT_EQ(1u, countKind(a, Action::kWriteFirst));
}

TEST_F(Link, NoFrameOfABacklogIsPublishedAndCommandsAfterAStallWaitForAFreshState)
{
  start(true);
  heartbeat(kHeartbeatArmed, 0);
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 12; ++i)
  {
    const std::vector<uint8_t> f = encodeEncoder(static_cast<float>(i), 0.0f, 0.0f);
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  // Twelve at once: even the newest may be old (more may wait in the device).
  RigLink::Actions a;
  link->received(bytes.data(), bytes.size(), at(10), a);
  EXPECT_EQ(0u, countKind(a, Action::kPublishState));
  EXPECT_EQ(12u, link->status().backlog_dropped);
  // Its rest, read at once after it, is just as old, be it two frames.
  a.clear();
  link->received(bytes.data(), 2 * 15, at(11), a);
  EXPECT_EQ(0u, countKind(a, Action::kPublishState));
  EXPECT_EQ(14u, link->status().backlog_dropped);
  // So is a piece the device hands over later, up to 50 ms after the full
  // read at 10 ms; a frame after that is fresh.
  a.clear();
  link->received(bytes.data(), 2 * 15, at(59), a);
  EXPECT_EQ(0u, countKind(a, Action::kPublishState));
  EXPECT_EQ(16u, link->status().backlog_dropped);
  a.clear();
  link->received(bytes.data(), 15, at(61), a);
  EXPECT_EQ(1u, countKind(a, Action::kPublishState));
  // Ten at once are no backlog.
  a.clear();
  link->received(bytes.data(), 10 * 15, at(66), a);
  EXPECT_EQ(10u, countKind(a, Action::kPublishState));

  float l = -1, r = -1;
  a.clear();
  link->command(0.5f, 0.5f, at(67), a);
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.5f, l);
  // The driver stood still from 67 to 1025 ms (200 ms timeout + 100 ms is the
  // most a running driver waits for an event): the command that waited for it
  // answers a state a second old, and so does every command before a state
  // published at least 20 ms after the stall showed.
  for (int t : {1025, 1030})
  {
    a.clear();
    link->command(0.6f, 0.6f, at(t), a);
    ASSERT_TRUE(lastThrottle(a, &l, &r));
    EXPECT_EQ(0.0f, l) << t;
  }
  link->received(bytes.data(), 15, at(1040), a);  // the first read since: old, not published
  a.clear();
  link->command(0.6f, 0.6f, at(1041), a);
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.0f, l);
  link->received(bytes.data(), 15, at(1045), a);
  a.clear();
  link->command(0.7f, 0.7f, at(1046), a);
  ASSERT_TRUE(lastThrottle(a, &l, &r));
  EXPECT_EQ(0.7f, l);
  EXPECT_EQ(3u, link->status().stall_commands_dropped);

  // Stopped again from 1046 to 2000 ms, between taking two frames from the
  // device and handing them over: those two are a second old, however few.
  const uint64_t dropped = link->status().backlog_dropped;
  a.clear();
  link->received(bytes.data(), 2 * 15, at(2000), a);
  EXPECT_EQ(0u, countKind(a, Action::kPublishState));
  EXPECT_EQ(dropped + 2, link->status().backlog_dropped);
}

TEST_F(Link, AfterAStallAsManyFramesAsTheRigSentMeanwhileAreOldHoweverLateTheyCome)
{
  start(true);
  heartbeat(kHeartbeatArmed, 0);
  const std::vector<uint8_t> one = encodeEncoder(0.1f, 0.2f, 0.3f);
  auto read = [&](int frames, int ms)
  {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < frames; ++i)
      bytes.insert(bytes.end(), one.begin(), one.end());
    RigLink::Actions a;
    link->received(bytes.data(), bytes.size(), at(ms), a);
    return countKind(a, Action::kPublishState);
  };
  // A second and more of a 200 Hz rig, one frame a read: all published.
  size_t published = 0;
  for (int t = 5; t <= 1200; t += 5)
    published += read(1, t);
  EXPECT_EQ(240u, published);
  // Stalled from 1200 to 1700 ms: the rig sent 100 frames meanwhile. The
  // watchdog's tick notices first; then the device hands over 5 frames (taken
  // before the stall), 90 at once, 3 more 60 ms later (too late to count as
  // that backlog's rest by its timing), then one a read; the 101st is fresh.
  RigLink::Actions ticked;
  link->tick(at(1699), ticked);
  EXPECT_EQ(0u, read(5, 1700));
  EXPECT_EQ(0u, read(90, 1701));
  EXPECT_EQ(0u, read(3, 1761));
  EXPECT_EQ(0u, read(1, 1765));
  EXPECT_EQ(0u, read(1, 1770));
  EXPECT_EQ(1u, read(1, 1775));
}

}  // namespace

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
