// Frame codec of the rig's serial link, free of ROS and of I/O: builds frames
// from values and recovers frames from an arbitrary byte stream. The wire format
// is described in driver/PROTOCOL.md.
//
// Frame: ZV_SERIAL_MAGIC, kind byte, payload of ZV_SERIAL_PAYLOAD_LEN[kind]
// bytes, check byte = CRC-8 (poly 0x07, init 0, no reflection, xorout 0) over
// the kind byte and the payload. Values are little-endian IEEE-754 float32.
#ifndef ZV_ROS_DRIVER_FRAME_CODEC_H
#define ZV_ROS_DRIVER_FRAME_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zv_ros_driver/zv_ros_driver.h"

namespace zv_ros_driver
{
enum FrameKind : uint8_t
{
  kEncoderFrame = 0,       // rig -> host: roll, pitch, yaw (rad)
  kEncoderRatesFrame = 1,  // rig -> host: roll, pitch, yaw (rad), their rates (rad/s)
  kThrottleFrame = 2,      // host -> rig: left, right throttle in [0, 1]
  kArmFrame = 3,           // host -> rig: 0x01 arm, anything else disarm
  kHeartbeatFrame = 4,     // rig -> host: status flags (kHeartbeat*)
};

const size_t kFrameKindCount = 5;
// Bytes around the payload: magic, kind, check.
const size_t kFrameOverhead = 3;

// Heartbeat status flags; the other bits are 0.
const uint8_t kHeartbeatArmed = 0x01;
const uint8_t kHeartbeatThrottleTimeout = 0x02;  // motors cut: throttle frames stopped

// One frame as received: `length` is the payload length of `kind`.
struct Frame
{
  uint8_t kind;
  uint8_t length;
  uint8_t payload[ZV_SERIAL_MAX_PAYLOAD_LEN];
};

struct EncoderAngles
{
  float roll;
  float pitch;
  float yaw;
};

bool isKnownKind(uint8_t kind);
// Payload length of a known kind; 0 for an unknown one.
size_t payloadLength(uint8_t kind);
// CRC-8 (poly 0x07, init 0, xorout 0, not reflected) of n bytes.
uint8_t crc8(const uint8_t* data, size_t n);

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

// Maps any float to a throttle the motors may take: NaN -> 0, then clamped to [0, 1].
float sanitizeThrottle(float value);

// Little-endian float32 at byte offset 4 * index of the payload. The caller keeps
// 4 * index + 4 <= frame.length.
float payloadFloat(const Frame& frame, size_t index);

// Typed readers; each returns false (leaving the outputs alone) when the frame
// is of another kind. The angles are read from both encoder kinds.
bool decodeEncoderAngles(const Frame& frame, EncoderAngles& angles);
bool decodeEncoderRates(const Frame& frame, float values[6]);
bool decodeThrottle(const Frame& frame, float& left, float& right);
bool decodeArm(const Frame& frame, bool& arm);
bool decodeHeartbeat(const Frame& frame, uint8_t& status);

// Recovers frames from a byte stream delivered in chunks of any size.
//
// The parser looks for ZV_SERIAL_MAGIC; a candidate with an unknown kind or a
// bad check is rejected and the search resumes at the byte after its magic, so
// a magic byte inside a payload never hides the next good frame. Every byte fed
// ends up in exactly one of: an accepted frame, bytes_skipped, or pending().
class FrameParser
{
 public:
  struct Counters
  {
    uint64_t frames_accepted = 0;
    uint64_t rejected_check = 0;  // candidates with a known kind and a bad check byte
    uint64_t rejected_kind = 0;   // candidates whose kind byte is unknown
    uint64_t bytes_skipped = 0;   // bytes passed over while resynchronising
  };

  // Appends each frame completed by these bytes to `out`.
  void feed(const uint8_t* data, size_t n, std::vector<Frame>& out);
  // Drops a partial frame (after the link was reopened); counters are kept.
  void reset();

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
  void process(std::vector<Frame>& out);
  void dropFront(size_t n);

  uint8_t buf_[ZV_SERIAL_MAX_MESSAGE_LEN] = {};
  size_t len_ = 0;
  Counters counters_;
};

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_FRAME_CODEC_H
