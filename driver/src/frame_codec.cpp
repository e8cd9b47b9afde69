#include "zv_ros_driver/frame_codec.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include <boost/crc.hpp>

namespace zv_ros_driver
{
namespace
{
typedef boost::crc_optimal<8, 0x07, 0, 0, false, false> Crc8;

void putFloat(std::vector<uint8_t>& out, float value)
{
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int shift = 0; shift < 32; shift += 8)
  {
    out.push_back(static_cast<uint8_t>(bits >> shift));
  }
}

// Builds the frame around a payload already known to match the kind.
std::vector<uint8_t> frameFromPayload(uint8_t kind, const std::vector<uint8_t>& payload)
{
  return encodeFrame(kind, payload.data(), payload.size());
}

}  // namespace

bool isKnownKind(uint8_t kind)
{
  return kind < kFrameKindCount;
}

size_t payloadLength(uint8_t kind)
{
  return isKnownKind(kind) ? static_cast<size_t>(ZV_SERIAL_PAYLOAD_LEN[kind]) : 0;
}

uint8_t crc8(const uint8_t* data, size_t n)
{
  Crc8 crc;
  crc.process_bytes(data, n);
  return crc.checksum();
}

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
  std::vector<uint8_t> out;
  out.reserve(len + kFrameOverhead);
  out.push_back(ZV_SERIAL_MAGIC);
  out.push_back(kind);
  out.insert(out.end(), payload, payload + len);
  // The check covers the kind and the payload, not the magic.
  out.push_back(crc8(out.data() + 1, len + 1));
  return out;
}

std::vector<uint8_t> encodeFrame(const Frame& frame)
{
  return encodeFrame(frame.kind, frame.payload, frame.length);
}

std::vector<uint8_t> encodeEncoder(float roll, float pitch, float yaw)
{
  std::vector<uint8_t> payload;
  putFloat(payload, roll);
  putFloat(payload, pitch);
  putFloat(payload, yaw);
  return frameFromPayload(kEncoderFrame, payload);
}

std::vector<uint8_t> encodeEncoderRates(const float values[6])
{
  std::vector<uint8_t> payload;
  for (int i = 0; i < 6; ++i)
  {
    putFloat(payload, values[i]);
  }
  return frameFromPayload(kEncoderRatesFrame, payload);
}

std::vector<uint8_t> encodeThrottle(float left, float right)
{
  std::vector<uint8_t> payload;
  putFloat(payload, left);
  putFloat(payload, right);
  return frameFromPayload(kThrottleFrame, payload);
}

std::vector<uint8_t> encodeArm(bool arm)
{
  const uint8_t payload = arm ? 0x01 : 0x00;
  return encodeFrame(kArmFrame, &payload, 1);
}

std::vector<uint8_t> encodeHeartbeat(uint8_t status)
{
  return encodeFrame(kHeartbeatFrame, &status, 1);
}

float sanitizeThrottle(float value)
{
  if (std::isnan(value))
  {
    return 0.0f;
  }
  return value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value);
}

float payloadFloat(const Frame& frame, size_t index)
{
  const uint8_t* p = frame.payload + 4 * index;
  const uint32_t bits = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool decodeEncoderAngles(const Frame& frame, EncoderAngles& angles)
{
  if (frame.kind != kEncoderFrame && frame.kind != kEncoderRatesFrame)
  {
    return false;
  }
  angles.roll = payloadFloat(frame, 0);
  angles.pitch = payloadFloat(frame, 1);
  angles.yaw = payloadFloat(frame, 2);
  return true;
}

bool decodeEncoderRates(const Frame& frame, float values[6])
{
  if (frame.kind != kEncoderRatesFrame)
  {
    return false;
  }
  for (size_t i = 0; i < 6; ++i)
  {
    values[i] = payloadFloat(frame, i);
  }
  return true;
}

bool decodeThrottle(const Frame& frame, float& left, float& right)
{
  if (frame.kind != kThrottleFrame)
  {
    return false;
  }
  left = payloadFloat(frame, 0);
  right = payloadFloat(frame, 1);
  return true;
}

bool decodeArm(const Frame& frame, bool& arm)
{
  if (frame.kind != kArmFrame)
  {
    return false;
  }
  // Only the exact arm value arms: a corrupted-but-checked byte must fail safe.
  arm = frame.payload[0] == 0x01;
  return true;
}

bool decodeHeartbeat(const Frame& frame, uint8_t& status)
{
  if (frame.kind != kHeartbeatFrame)
  {
    return false;
  }
  status = frame.payload[0];
  return true;
}

void FrameParser::reset()
{
  // A dropped partial frame counts as passed over, so the byte balance holds.
  counters_.bytes_skipped += len_;
  len_ = 0;
}

void FrameParser::dropFront(size_t n)
{
  std::memmove(buf_, buf_ + n, len_ - n);
  len_ -= n;
}

void FrameParser::feed(const uint8_t* data, size_t n, std::vector<Frame>& out)
{
  size_t i = 0;
  while (i < n)
  {
    if (len_ == 0)
    {
      // Fast path between frames: jump to the next magic byte.
      const void* hit = std::memchr(data + i, ZV_SERIAL_MAGIC, n - i);
      if (hit == nullptr)
      {
        counters_.bytes_skipped += n - i;
        return;
      }
      const size_t at = static_cast<const uint8_t*>(hit) - data;
      counters_.bytes_skipped += at - i;
      i = at;
    }
    // Take only as many bytes as the candidate can still use, so bytes after
    // it are never copied twice.
    const size_t want = len_ < 2 ? 2 : payloadLength(buf_[1]) + kFrameOverhead;
    const size_t take = want - len_ < n - i ? want - len_ : n - i;
    std::memcpy(buf_ + len_, data + i, take);
    len_ += take;
    i += take;
    process(out);
  }
}

// Decides about the buffered candidate as far as the buffered bytes allow; after
// a rejection the bytes behind the rejected magic are searched again.
void FrameParser::process(std::vector<Frame>& out)
{
  while (len_ > 0)
  {
    if (buf_[0] != ZV_SERIAL_MAGIC)
    {
      const void* hit = std::memchr(buf_, ZV_SERIAL_MAGIC, len_);
      const size_t skip = hit == nullptr ? len_ : static_cast<const uint8_t*>(hit) - buf_;
      counters_.bytes_skipped += skip;
      dropFront(skip);
      continue;
    }
    if (len_ < 2)
    {
      return;
    }
    const uint8_t kind = buf_[1];
    if (!isKnownKind(kind))
    {
      ++counters_.rejected_kind;
      ++counters_.bytes_skipped;
      dropFront(1);
      continue;
    }
    const size_t length = payloadLength(kind);
    const size_t total = length + kFrameOverhead;
    if (len_ < total)
    {
      return;
    }
    if (crc8(buf_ + 1, length + 1) != buf_[total - 1])
    {
      ++counters_.rejected_check;
      ++counters_.bytes_skipped;
      dropFront(1);
      continue;
    }
    Frame frame;
    frame.kind = kind;
    frame.length = static_cast<uint8_t>(length);
    std::memcpy(frame.payload, buf_ + 2, length);
    std::memset(frame.payload + length, 0, sizeof frame.payload - length);
    out.push_back(frame);
    ++counters_.frames_accepted;
    dropFront(total);
  }
}

}  // namespace zv_ros_driver
