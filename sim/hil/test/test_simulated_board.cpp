// The firmware image on the simulated board, without ROS: every encoder edge
// the board is given reaches the firmware's count, whatever the step the board
// is run in, even at speeds where the core sleeps between edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <zv_protocol/frame_codec.h>

#include "simulated_board.h"

using zv_sim::hil::EncoderEdge;
using zv_sim::hil::QuadratureDrive;
using zv_sim::hil::SimulatedBoard;

namespace
{
// The yaw count of the last encoder frame the board sent, or -1000000 without one.
long lastYawCount(SimulatedBoard& board)
{
  std::vector<uint8_t> out;
  std::vector<uint64_t> cycles;
  board.takeUartOutput(out, cycles);
  zv_ros_driver::FrameParser parser;
  std::vector<zv_ros_driver::Frame> frames;
  parser.feed(out.data(), out.size(), frames);
  long count = -1000000;
  for (const zv_ros_driver::Frame& f : frames)
  {
    zv_ros_driver::EncoderAngles a;
    if (zv_ros_driver::decodeEncoderAngles(f, a))
    {
      count = std::lround(a.yaw / (2 * M_PI / 4096));  // yaw: 4096 counts per turn, 0 at power-up
    }
  }
  return count;
}
}  // namespace

TEST(SimulatedBoard, EveryEdgeReachesTheFirmwareAtSpeed)
{
  // 1230 cycles between edges: 13000 counts/s, about 20 rad/s of yaw. Steps
  // of 1600 cycles end often while the core sleeps.
  for (uint64_t step : {16000u, 1600u})
  {
    SimulatedBoard board(ZV_FIRMWARE_ELF, {0, 0, 0});
    const uint64_t start = 1600000;  // 0.1 s: the firmware runs
    board.runUntil(start);
    int64_t count = 0;
    uint64_t next = start + 1230;
    while (board.now() < start + 8000000)
    {
      const uint64_t until = board.now() + step;
      std::vector<EncoderEdge> edges;
      for (; next < until; next += 1230)
      {
        EncoderEdge e;
        e.cycle = next;
        QuadratureDrive::levels(++count, e.a, e.b);
        edges.push_back(e);
      }
      board.encoderEdges(zv_sim::hil::kYaw, edges);
      board.runUntil(until);
    }
    board.runUntil(board.now() + 160000);  // 10 ms at rest: a frame with the final count
    EXPECT_EQ(lastYawCount(board), count) << "steps of " << step << " cycles";
  }
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
