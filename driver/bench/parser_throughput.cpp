// Frame parser throughput over a realistic mixed stream: encoder frames of both
// kinds, heartbeats, echoes of host frames, line noise and a few corrupted
// frames, fed in 512-byte reads as the transport delivers them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "zv_protocol/frame_codec.h"

using namespace zv_ros_driver;

int main()
{
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> angle(-3.1f, 3.1f);
  std::vector<uint8_t> stream;
  size_t frames_in = 0;
  while (stream.size() < (8u << 20))
  {
    std::vector<uint8_t> f;
    const unsigned pick = rng() % 100;
    if (pick < 60)
      f = encodeEncoder(angle(rng), angle(rng), angle(rng));
    else if (pick < 85)
    {
      const float v[6] = {angle(rng), angle(rng), angle(rng), angle(rng), angle(rng), angle(rng)};
      f = encodeEncoderRates(v);
    }
    else if (pick < 95)
      f = encodeHeartbeat(1);
    else if (pick < 98)
      f = encodeThrottle(0.5f, 0.6f);
    else if (pick < 99)
    {
      f = encodeEncoder(1, 2, 3);
      f[5] ^= 0x04;  // a corrupted frame
      --frames_in;
    }
    else
      f = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};  // noise
    if (pick < 99)
      ++frames_in;
    stream.insert(stream.end(), f.begin(), f.end());
  }

  const int runs = 7;
  const size_t chunk = 512;
  std::vector<double> seconds;
  size_t frames_out = 0;
  std::vector<Frame> out;
  out.reserve(chunk);
  for (int r = 0; r < runs; ++r)
  {
    FrameParser parser;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t at = 0; at < stream.size(); at += chunk)
    {
      out.clear();
      parser.feed(stream.data() + at, std::min(chunk, stream.size() - at), out);
    }
    const auto t1 = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    frames_out = parser.counters().frames_accepted;
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[runs / 2];
  const double mb = stream.size() / 1e6;
  std::printf("Frame parser throughput (%zu runs, 512-byte reads, %.1f MB mixed stream)\n", static_cast<size_t>(runs),
              mb);
  std::printf("  %-26s %12s %12s %12s\n", "", "median", "best", "worst");
  std::printf("  %-26s %12.1f %12.1f %12.1f\n", "MB/s", mb / median, mb / seconds.front(), mb / seconds.back());
  std::printf("  %-26s %12.2f %12.2f %12.2f\n", "million frames/s", frames_out / median / 1e6,
              frames_out / seconds.front() / 1e6, frames_out / seconds.back() / 1e6);
  std::printf("  frames recovered: %zu of %zu good frames sent\n", frames_out, frames_in);
  return frames_out == frames_in ? 0 : 1;
}
