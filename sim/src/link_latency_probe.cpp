#include "zv_sim/link_latency_probe.h"

namespace zv_sim
{
namespace
{
const size_t kMaxSamples = 1000000;
}  // namespace

// Byte by byte, so that each frame's end is known within the bytes given.
void LinkLatencyProbe::parse(zv_protocol::FrameParser& parser, const uint8_t* data, size_t n,
                             std::vector<LinkFrame>& out)
{
  std::vector<zv_protocol::Frame> frames;
  for (size_t i = 0; i < n; ++i)
  {
    frames.clear();
    parser.feed(data + i, 1, frames);
    for (const zv_protocol::Frame& f : frames)
    {
      out.push_back(LinkFrame{f, i});
    }
  }
}

void LinkLatencyProbe::written(const uint8_t* data, size_t n, double t, std::vector<LinkFrame>* frames)
{
  std::vector<LinkFrame>& out = frames ? *frames : scratch_;
  const size_t first = out.size();
  parse(to_host_, data, n, out);
  for (size_t i = first; i < out.size(); ++i)
  {
    const uint8_t kind = out[i].frame.kind;
    if (kind == zv_protocol::kEncoderFrame || kind == zv_protocol::kEncoderRatesFrame)
    {
      unanswered_ = true;
      encoder_written_ = t;
    }
  }
  scratch_.clear();
}

void LinkLatencyProbe::read(const uint8_t* data, size_t n, double t, std::vector<LinkFrame>* frames)
{
  std::vector<LinkFrame>& out = frames ? *frames : scratch_;
  const size_t first = out.size();
  parse(from_host_, data, n, out);
  for (size_t i = first; i < out.size(); ++i)
  {
    if (out[i].frame.kind == zv_protocol::kThrottleFrame && unanswered_)
    {
      unanswered_ = false;
      if (latencies_.size() < kMaxSamples)
      {
        latencies_.push_back(t - encoder_written_);
      }
    }
  }
  scratch_.clear();
}

void LinkLatencyProbe::linkLost()
{
  to_host_.reset();
  from_host_.reset();
  unanswered_ = false;
}

}  // namespace zv_sim
