// libFuzzer target: feeds arbitrary bytes to FrameParser in arbitrary chunks and
// checks what it yields. The first input byte seeds the chunk sizes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zv_protocol/frame_codec.h"

using namespace zv_protocol;

namespace
{
void require(bool ok)
{
  if (!ok)
  {
    std::abort();
  }
}

std::vector<Frame> parseInChunks(const uint8_t* data, size_t size, uint32_t seed, FrameParser& parser)
{
  std::vector<Frame> out;
  size_t at = 0;
  while (at < size)
  {
    seed = seed * 1103515245u + 12345u;
    size_t chunk = 1 + (seed >> 16) % 40;
    if (chunk > size - at)
    {
      chunk = size - at;
    }
    parser.feed(data + at, chunk, out);
    at += chunk;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size == 0)
  {
    return 0;
  }
  const uint32_t seed = data[0];
  ++data;
  --size;

  FrameParser chunked;
  const std::vector<Frame> frames = parseInChunks(data, size, seed, chunked);

  uint64_t frame_bytes = 0;
  for (const Frame& f : frames)
  {
    require(isKnownKind(f.kind));
    require(f.length == payloadLength(f.kind));
    const std::vector<uint8_t> wire = encodeFrame(f);
    require(wire.size() == f.length + kFrameOverhead);
    require(wire.back() == crc8(wire.data() + 1, f.length + 1));
    // The frame was read from the input: its wire bytes occur there.
    bool found = false;
    for (size_t i = 0; !found && i + wire.size() <= size; ++i)
    {
      found = std::memcmp(data + i, wire.data(), wire.size()) == 0;
    }
    require(found);
    frame_bytes += wire.size();
  }

  const FrameParser::Counters& c = chunked.counters();
  require(c.frames_accepted == frames.size());
  require(chunked.pending() < kMaxFrameLength);
  // Every byte is in a frame, skipped, or held back.
  require(frame_bytes + c.bytes_skipped + chunked.pending() == size);
  // Each rejected candidate gives up its magic byte as skipped.
  require(c.rejected_check + c.rejected_kind <= c.bytes_skipped);

  // Chunking never changes the result.
  FrameParser whole;
  std::vector<Frame> at_once;
  whole.feed(data, size, at_once);
  require(at_once.size() == frames.size());
  for (size_t i = 0; i < frames.size(); ++i)
  {
    require(at_once[i].kind == frames[i].kind);
    require(std::memcmp(at_once[i].payload, frames[i].payload, frames[i].length) == 0);
  }
  require(whole.counters().bytes_skipped == c.bytes_skipped);
  require(whole.counters().rejected_check == c.rejected_check);
  require(whole.counters().rejected_kind == c.rejected_kind);
  require(whole.pending() == chunked.pending());

  // After the input, a good frame is always recovered once enough bytes follow.
  const std::vector<uint8_t> probe = encodeHeartbeat(kHeartbeatArmed);
  std::vector<Frame> after;
  for (size_t i = 0; i < kMaxFrameLength / probe.size() + 2; ++i)
  {
    whole.feed(probe.data(), probe.size(), after);
  }
  require(!after.empty());
  require(encodeFrame(after.back()) == probe);
  return 0;
}
