// The rig's serial frames, written once for every end of the link: the host
// driver, the simulated rig and the board's firmware (avr-gcc, C++14) encode and
// parse with this very code. Hence no heap, no exceptions and no C++ standard
// library: only <stddef.h>, <stdint.h> and <string.h>, fixed-size buffers and
// integer sizes (on the AVR size_t is 16 bits and double is a float).
//
// Frame: kFrameMagic, kind byte, payload of payloadLength(kind) bytes, check
// byte = CRC-8 (poly 0x07, init 0, no reflection, xorout 0) over the kind byte
// and the payload. Values are little-endian IEEE-754 float32. The wire format
// is described in PROTOCOL.md beside this package.
#ifndef ZV_PROTOCOL_WIRE_CODEC_H
#define ZV_PROTOCOL_WIRE_CODEC_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace zv_protocol
{
enum FrameKind : uint8_t
{
  kEncoderFrame = 0,       // rig -> host: roll, pitch, yaw (rad)
  kEncoderRatesFrame = 1,  // rig -> host: roll, pitch, yaw (rad), their rates (rad/s)
  kThrottleFrame = 2,      // host -> rig: left, right throttle in [0, 1]
  kArmFrame = 3,           // host -> rig: 0x01 arm, anything else disarm
  kHeartbeatFrame = 4,     // rig -> host: status byte (kHeartbeat*)
};

const size_t kFrameKindCount = 5;
// Bytes around the payload: magic, kind, check.
const size_t kFrameOverhead = 3;
const uint8_t kFrameMagic = 0xA5;
// Payload bytes of each kind, indexed by the kind byte.
constexpr uint8_t kPayloadLength[kFrameKindCount] = {12, 24, 8, 1, 1};
const size_t kMaxPayloadLength = 24;
const size_t kMaxFrameLength = kMaxPayloadLength + kFrameOverhead;

// Heartbeat status byte: bit 0 armed, bit 1 motors cut because THROTTLE frames
// stopped, bits 2-7 the rig's count of rejected frames (bad check or unknown
// kind) modulo 64.
const uint8_t kHeartbeatArmed = 0x01;
const uint8_t kHeartbeatThrottleTimeout = 0x02;  // motors cut: throttle frames stopped
const uint8_t kHeartbeatRejectedShift = 2;
const uint8_t kHeartbeatRejectedModulo = 64;

static_assert(sizeof(float) == 4, "frames carry 32-bit floats");

// One frame as received: `length` is the payload length of `kind`; payload
// bytes beyond it are 0.
struct Frame
{
  uint8_t kind;
  uint8_t length;
  uint8_t payload[kMaxPayloadLength];
};

struct EncoderAngles
{
  float roll;
  float pitch;
  float yaw;
};

inline bool isKnownKind(uint8_t kind)
{
  return kind < kFrameKindCount;
}

// Payload length of a known kind; 0 for an unknown one.
inline size_t payloadLength(uint8_t kind)
{
  return isKnownKind(kind) ? kPayloadLength[kind] : 0;
}

// The rejected-frame count (0..63) a heartbeat status byte carries.
inline uint8_t heartbeatRejectedCount(uint8_t status)
{
  return static_cast<uint8_t>(status >> kHeartbeatRejectedShift);
}

// One byte into the CRC-8 register. With the polynomial x^8 + x^2 + x + 1,
// shifting a byte c out of the register XORs in c * (x^2 + x + 1) modulo the
// polynomial: a carry-less multiply by 0x07, whose two bits above the byte fold
// back the same way. No table (no RAM or flash on the AVR) and no bit loop.
inline uint8_t crc8Update(uint8_t crc, uint8_t byte)
{
  const unsigned c = static_cast<uint8_t>(crc ^ byte);
  const unsigned t = c ^ (c << 1) ^ (c << 2);  // up to bit 9
  const unsigned high = t >> 8;                // bits 8 and 9
  return static_cast<uint8_t>(t ^ high ^ (high << 1) ^ (high << 2));
}

// CRC-8 (poly 0x07, init 0, xorout 0, not reflected) of n bytes.
inline uint8_t crc8(const uint8_t* data, size_t n)
{
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i)
  {
    crc = crc8Update(crc, data[i]);
  }
  return crc;
}

// Little-endian float32, whatever the byte order of the machine.
inline void putFloat(uint8_t* out, float value)
{
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
  out[3] = static_cast<uint8_t>(bits >> 24);
}

inline float getFloat(const uint8_t* in)
{
  const uint32_t bits = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
                        static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

// Maps any float to a throttle the motors may take: NaN -> 0, then clamped to
// [0, 1]. Written without <cmath>: a NaN fails every comparison.
inline float sanitizeThrottle(float value)
{
  if (!(value > 0.0f))
  {
    return 0.0f;  // NaN, negatives and -0
  }
  return value < 1.0f ? value : 1.0f;
}

// Writes one frame into out, which has room for kMaxFrameLength bytes, and
// returns its length; returns 0 (writing nothing) when the kind is unknown or
// len is not the kind's payload length.
inline size_t encodeFrameInto(uint8_t kind, const uint8_t* payload, size_t len, uint8_t* out)
{
  if (!isKnownKind(kind) || len != payloadLength(kind))
  {
    return 0;
  }
  out[0] = kFrameMagic;
  out[1] = kind;
  memcpy(out + 2, payload, len);
  // The check covers the kind and the payload, not the magic.
  out[2 + len] = crc8(out + 1, len + 1);
  return len + kFrameOverhead;
}

// Typed builders into a buffer of kMaxFrameLength bytes; they return the frame
// length. encodeThrottleInto writes the values unchanged: whoever feeds motors
// passes them through sanitizeThrottle.
inline size_t encodeEncoderInto(float roll, float pitch, float yaw, uint8_t* out)
{
  uint8_t payload[12];
  putFloat(payload, roll);
  putFloat(payload + 4, pitch);
  putFloat(payload + 8, yaw);
  return encodeFrameInto(kEncoderFrame, payload, sizeof payload, out);
}

inline size_t encodeEncoderRatesInto(const float values[6], uint8_t* out)
{
  uint8_t payload[24];
  for (size_t i = 0; i < 6; ++i)
  {
    putFloat(payload + 4 * i, values[i]);
  }
  return encodeFrameInto(kEncoderRatesFrame, payload, sizeof payload, out);
}

inline size_t encodeThrottleInto(float left, float right, uint8_t* out)
{
  uint8_t payload[8];
  putFloat(payload, left);
  putFloat(payload + 4, right);
  return encodeFrameInto(kThrottleFrame, payload, sizeof payload, out);
}

inline size_t encodeArmInto(bool arm, uint8_t* out)
{
  const uint8_t payload = arm ? 0x01 : 0x00;
  return encodeFrameInto(kArmFrame, &payload, 1, out);
}

inline size_t encodeHeartbeatInto(uint8_t status, uint8_t* out)
{
  return encodeFrameInto(kHeartbeatFrame, &status, 1, out);
}

// Little-endian float32 at byte offset 4 * index of the payload. The caller keeps
// 4 * index + 4 <= frame.length.
inline float payloadFloat(const Frame& frame, size_t index)
{
  return getFloat(frame.payload + 4 * index);
}

// Typed readers; each returns false (leaving the outputs alone) when the frame
// is of another kind. The angles are read from both encoder kinds.
inline bool decodeEncoderAngles(const Frame& frame, EncoderAngles& angles)
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

inline bool decodeEncoderRates(const Frame& frame, float values[6])
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

inline bool decodeThrottle(const Frame& frame, float& left, float& right)
{
  if (frame.kind != kThrottleFrame)
  {
    return false;
  }
  left = payloadFloat(frame, 0);
  right = payloadFloat(frame, 1);
  return true;
}

inline bool decodeArm(const Frame& frame, bool& arm)
{
  if (frame.kind != kArmFrame)
  {
    return false;
  }
  // Only the exact arm value arms: a corrupted-but-checked byte must fail safe.
  arm = frame.payload[0] == 0x01;
  return true;
}

inline bool decodeHeartbeat(const Frame& frame, uint8_t& status)
{
  if (frame.kind != kHeartbeatFrame)
  {
    return false;
  }
  status = frame.payload[0];
  return true;
}

// Recovers frames from a byte stream delivered in chunks of any size, holding
// at most one frame's bytes (kMaxFrameLength) between chunks.
//
// The parser looks for kFrameMagic; a candidate with an unknown kind or a bad
// check is rejected and the search resumes at the byte after its magic, so a
// magic byte inside a payload never hides the next good frame. A candidate is
// decided only once all its bytes are in. Every byte fed ends up in exactly one
// of: an accepted frame, bytes_skipped, or pending().
//
// Count is the counters' type: 64 bits on the host, 32 on the board. Frames go
// to a sink called as sink(const Frame&) before feed() returns.
template <typename Count>
class BasicFrameParser
{
 public:
  struct Counters
  {
    Count frames_accepted = 0;
    Count rejected_check = 0;  // candidates with a known kind and a bad check byte
    Count rejected_kind = 0;   // candidates whose kind byte is unknown
    Count bytes_skipped = 0;   // bytes passed over while resynchronising
  };

  template <typename Sink>
  void feed(const uint8_t* data, size_t n, Sink&& sink)
  {
    size_t i = 0;
    while (i < n)
    {
      if (len_ == 0)
      {
        // Between frames the candidates are read straight from the input; only
        // one cut off by the end of the chunk is copied into the buffer.
        i = scan(data, i, n, sink);
        if (i == n)
        {
          return;
        }
      }
      // Take only as many bytes as the buffered candidate can still use, so
      // bytes after it are never copied twice.
      const size_t want = len_ < 2 ? 2 : payloadLength(buf_[1]) + kFrameOverhead;
      const size_t take = want - len_ < n - i ? want - len_ : n - i;
      memcpy(buf_ + len_, data + i, take);
      len_ = static_cast<uint8_t>(len_ + take);
      i += take;
      process(sink);
    }
  }

  // Drops a partial frame (after the link was reopened); counters are kept.
  void reset()
  {
    // A dropped partial frame counts as passed over, so the byte balance holds.
    counters_.bytes_skipped += len_;
    len_ = 0;
  }

  const Counters& counters() const
  {
    return counters_;
  }
  // Bytes held back as the start of a possible frame.
  size_t pending() const
  {
    return len_;
  }

 private:
  enum Verdict : uint8_t
  {
    kIncomplete,
    kAccepted,
    kRejected,
  };

  // Decides about a candidate that starts with the magic at p, of which avail
  // bytes are in; an accepted frame goes to the sink.
  template <typename Sink>
  Verdict decide(const uint8_t* p, size_t avail, size_t& total, Sink& sink)
  {
    if (avail < 2)
    {
      return kIncomplete;
    }
    const uint8_t kind = p[1];
    if (!isKnownKind(kind))
    {
      ++counters_.rejected_kind;
      ++counters_.bytes_skipped;
      return kRejected;
    }
    const size_t length = kPayloadLength[kind];
    total = length + kFrameOverhead;
    if (avail < total)
    {
      return kIncomplete;
    }
    // One pass checks and copies; the zeroed frame keeps the tail beyond length 0.
    Frame frame = {};
    uint8_t crc = crc8Update(0, kind);
    for (size_t k = 0; k < length; ++k)
    {
      frame.payload[k] = p[2 + k];
      crc = crc8Update(crc, p[2 + k]);
    }
    if (crc != p[total - 1])
    {
      ++counters_.rejected_check;
      ++counters_.bytes_skipped;
      return kRejected;
    }
    frame.kind = kind;
    frame.length = static_cast<uint8_t>(length);
    ++counters_.frames_accepted;
    sink(static_cast<const Frame&>(frame));
    return kAccepted;
  }

  // Parses data[i, n) with nothing buffered; returns n, or the index of a
  // candidate cut off by the end of the chunk, for the caller to buffer.
  template <typename Sink>
  size_t scan(const uint8_t* data, size_t i, size_t n, Sink& sink)
  {
    while (i < n)
    {
      const void* hit = memchr(data + i, kFrameMagic, n - i);
      if (hit == nullptr)
      {
        counters_.bytes_skipped += n - i;
        return n;
      }
      const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
      counters_.bytes_skipped += at - i;
      size_t total = 0;
      switch (decide(data + at, n - at, total, sink))
      {
        case kIncomplete:
          return at;
        case kAccepted:
          i = at + total;
          break;
        case kRejected:
          i = at + 1;
          break;
      }
    }
    return n;
  }

  // Decides about the buffered candidate as far as the buffered bytes allow;
  // after a rejection the bytes behind the rejected magic are searched again.
  template <typename Sink>
  void process(Sink& sink)
  {
    while (len_ > 0)
    {
      if (buf_[0] != kFrameMagic)
      {
        const void* hit = memchr(buf_, kFrameMagic, len_);
        const size_t skip = hit == nullptr ? len_ : static_cast<size_t>(static_cast<const uint8_t*>(hit) - buf_);
        counters_.bytes_skipped += skip;
        dropFront(skip);
        continue;
      }
      size_t total = 0;
      switch (decide(buf_, len_, total, sink))
      {
        case kIncomplete:
          return;
        case kAccepted:
          dropFront(total);
          break;
        case kRejected:
          dropFront(1);
          break;
      }
    }
  }

  void dropFront(size_t n)
  {
    memmove(buf_, buf_ + n, len_ - n);
    len_ = static_cast<uint8_t>(len_ - n);
  }

  uint8_t buf_[kMaxFrameLength] = {};
  uint8_t len_ = 0;
  Counters counters_;
};

}  // namespace zv_protocol

// The codec lived in the driver's namespace before it had a package of its own;
// code written then still names it zv_ros_driver::.
namespace zv_ros_driver
{
using namespace zv_protocol;
}  // namespace zv_ros_driver

#endif  // ZV_PROTOCOL_WIRE_CODEC_H
