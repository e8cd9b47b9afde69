#include "zv_protocol/frame_codec.h"

#include <stdexcept>
#include <string>

namespace zv_protocol
{
namespace
{
std::vector<uint8_t> bytesOf(const uint8_t* frame, size_t len)
{
  return std::vector<uint8_t>(frame, frame + len);
}

}  // namespace

std::vector<uint8_t> encodeFrame(uint8_t kind, const uint8_t* payload, size_t len)
{
  if (!isKnownKind(kind))
  {
    throw std::invalid_argument("frame kind " + std::to_string(kind) + " is unknown: use a kind from 0 to " +
                                std::to_string(kFrameKindCount - 1));
  }
  if (len != payloadLength(kind))
  {
    throw std::invalid_argument("payload of " + std::to_string(len) + " bytes for frame kind " + std::to_string(kind) +
                                ": this kind carries exactly " + std::to_string(payloadLength(kind)) + " bytes");
  }
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeFrameInto(kind, payload, len, out));
}

std::vector<uint8_t> encodeFrame(const Frame& frame)
{
  return encodeFrame(frame.kind, frame.payload, frame.length);
}

std::vector<uint8_t> encodeEncoder(float roll, float pitch, float yaw)
{
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeEncoderInto(roll, pitch, yaw, out));
}

std::vector<uint8_t> encodeEncoderRates(const float values[6])
{
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeEncoderRatesInto(values, out));
}

std::vector<uint8_t> encodeThrottle(float left, float right)
{
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeThrottleInto(left, right, out));
}

std::vector<uint8_t> encodeArm(bool arm)
{
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeArmInto(arm, out));
}

std::vector<uint8_t> encodeHeartbeat(uint8_t status)
{
  uint8_t out[kMaxFrameLength];
  return bytesOf(out, encodeHeartbeatInto(status, out));
}

void FrameParser::feed(const uint8_t* data, size_t n, std::vector<Frame>& out)
{
  parser_.feed(data, n, [&out](const Frame& frame) { out.push_back(frame); });
}

}  // namespace zv_protocol
