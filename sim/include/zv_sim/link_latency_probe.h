// The latency of the closed loop as the rig's end of the serial line sees it:
// seconds from writing an encoder frame to the host to reading the first
// THROTTLE frame after it. The emulator and the simulated board hand it the
// bytes they write and read, so both loops are measured alike; it also hands
// back the frames those bytes complete, for callers that want them. Times are
// seconds on any monotonic clock. No ROS, no I/O.
#ifndef ZV_SIM_LINK_LATENCY_PROBE_H
#define ZV_SIM_LINK_LATENCY_PROBE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <zv_protocol/frame_codec.h>

namespace zv_sim
{
struct LinkFrame
{
  zv_protocol::Frame frame;
  size_t end;  // index of its last byte in the bytes just given
};

class LinkLatencyProbe
{
 public:
  // Bytes written to the host at t; the frames they complete go to `frames`.
  void written(const uint8_t* data, size_t n, double t, std::vector<LinkFrame>* frames = nullptr);
  // Bytes read from the host at t; the frames they complete go to `frames`.
  void read(const uint8_t* data, size_t n, double t, std::vector<LinkFrame>* frames = nullptr);
  // The host went away or reopened the line: partial frames and an encoder
  // frame still unanswered no longer count.
  void linkLost();

  // One sample per encoder frame answered (the last one written before each
  // THROTTLE frame), at most about 80 minutes of them at 200 Hz.
  const std::vector<double>& latencies() const
  {
    return latencies_;
  }

 private:
  void parse(zv_protocol::FrameParser& parser, const uint8_t* data, size_t n, std::vector<LinkFrame>& out);

  zv_protocol::FrameParser to_host_, from_host_;
  std::vector<LinkFrame> scratch_;
  bool unanswered_ = false;
  double encoder_written_ = 0;
  std::vector<double> latencies_;
};

}  // namespace zv_sim

#endif  // ZV_SIM_LINK_LATENCY_PROBE_H
