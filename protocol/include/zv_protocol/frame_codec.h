// Frame codec of the rig's serial link for host code, free of ROS and of I/O:
// builds frames from values and recovers frames from an arbitrary byte stream.
// A thin std::vector layer over wire_codec.h, the freestanding codec that the
// firmware and the simulated rig run too; the wire format is described in
// PROTOCOL.md beside this package.
//
// From wire_codec.h: FrameKind (kEncoderFrame ... kHeartbeatFrame),
// kFrameKindCount, kFrameOverhead, kHeartbeat* flags, Frame, EncoderAngles,
// isKnownKind, payloadLength, crc8, sanitizeThrottle, payloadFloat and the
// typed decode* readers.
#ifndef ZV_PROTOCOL_FRAME_CODEC_H
#define ZV_PROTOCOL_FRAME_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zv_protocol/wire_codec.h"

namespace zv_protocol
{
// Builds the wire bytes of one frame. Throws std::invalid_argument when the kind
// is unknown or len is not the kind's payload length.
std::vector<uint8_t> encodeFrame(uint8_t kind, const uint8_t* payload, size_t len);
std::vector<uint8_t> encodeFrame(const Frame& frame);

// Typed builders. encodeThrottle writes the values unchanged: callers that feed
// the motors pass them through sanitizeThrottle first.
std::vector<uint8_t> encodeEncoder(float roll, float pitch, float yaw);
std::vector<uint8_t> encodeEncoderRates(const float values[6]);
std::vector<uint8_t> encodeThrottle(float left, float right);
std::vector<uint8_t> encodeArm(bool arm);
std::vector<uint8_t> encodeHeartbeat(uint8_t status);

// Recovers frames from a byte stream delivered in chunks of any size (see
// BasicFrameParser for the rules); 64-bit counters.
class FrameParser
{
 public:
  typedef BasicFrameParser<uint64_t>::Counters Counters;

  // Appends each frame completed by these bytes to `out`.
  void feed(const uint8_t* data, size_t n, std::vector<Frame>& out);
  // Drops a partial frame (after the link was reopened); counters are kept.
  void reset()
  {
    parser_.reset();
  }

  const Counters& counters() const
  {
    return parser_.counters();
  }
  // Bytes held back as the start of a possible frame.
  size_t pending() const
  {
    return parser_.pending();
  }

 private:
  BasicFrameParser<uint64_t> parser_;
};

}  // namespace zv_protocol

#endif  // ZV_PROTOCOL_FRAME_CODEC_H
