// Shared interface of the Zorvik hardware bridge: the serial-link constants and
// the bridge class that the driver program constructs.
//
// This header is free of ROS headers so that ROS-free code can include it for
// the constants; the codec itself is zv_protocol's.
#ifndef ZV_ROS_DRIVER_ZV_ROS_DRIVER_H
#define ZV_ROS_DRIVER_ZV_ROS_DRIVER_H

#include <cstdint>
#include <memory>

#include <boost/asio.hpp>

#include "zv_protocol/wire_codec.h"

// Payload length in bytes of each frame kind, indexed by the kind byte
// (0 encoder, 1 encoder with rates, 2 throttle, 3 arm, 4 heartbeat). Stored as
// floats; convert with static_cast before using one as a size.
static constexpr float ZV_SERIAL_PAYLOAD_LEN[5] = {12.0f, 24.0f, 8.0f, 1.0f, 1.0f};
// Largest entry of ZV_SERIAL_PAYLOAD_LEN.
static constexpr uint64_t ZV_SERIAL_MAX_PAYLOAD_LEN = 24;
// First byte of every frame.
static constexpr uint8_t ZV_SERIAL_MAGIC = 0xA5;
// Longest frame on the wire: magic, kind, largest payload, check byte.
static constexpr uint64_t ZV_SERIAL_MAX_MESSAGE_LEN = 27;

static_assert(sizeof(ZV_SERIAL_PAYLOAD_LEN) == 20, "ZV_SERIAL_PAYLOAD_LEN must be five 32-bit floats");
static_assert(sizeof(ZV_SERIAL_MAX_PAYLOAD_LEN) == 8, "ZV_SERIAL_MAX_PAYLOAD_LEN must be 64 bits wide");
static_assert(sizeof(ZV_SERIAL_MAGIC) == 1, "ZV_SERIAL_MAGIC must be one byte");
static_assert(sizeof(ZV_SERIAL_MAX_MESSAGE_LEN) == 8, "ZV_SERIAL_MAX_MESSAGE_LEN must be 64 bits wide");
// The same limits as the codec's own integer ones, or the bridge and the rig disagree.
static_assert(sizeof(ZV_SERIAL_PAYLOAD_LEN) / sizeof(ZV_SERIAL_PAYLOAD_LEN[0]) == zv_protocol::kFrameKindCount,
              "ZV_SERIAL_PAYLOAD_LEN needs one entry per frame kind");
static_assert(ZV_SERIAL_PAYLOAD_LEN[0] == zv_protocol::kPayloadLength[0] &&
                  ZV_SERIAL_PAYLOAD_LEN[1] == zv_protocol::kPayloadLength[1] &&
                  ZV_SERIAL_PAYLOAD_LEN[2] == zv_protocol::kPayloadLength[2] &&
                  ZV_SERIAL_PAYLOAD_LEN[3] == zv_protocol::kPayloadLength[3] &&
                  ZV_SERIAL_PAYLOAD_LEN[4] == zv_protocol::kPayloadLength[4],
              "ZV_SERIAL_PAYLOAD_LEN differs from zv_protocol::kPayloadLength");
static_assert(ZV_SERIAL_MAX_PAYLOAD_LEN == zv_protocol::kMaxPayloadLength,
              "ZV_SERIAL_MAX_PAYLOAD_LEN differs from zv_protocol::kMaxPayloadLength");
static_assert(ZV_SERIAL_MAGIC == zv_protocol::kFrameMagic, "ZV_SERIAL_MAGIC differs from zv_protocol::kFrameMagic");
static_assert(ZV_SERIAL_MAX_MESSAGE_LEN == zv_protocol::kMaxFrameLength,
              "ZV_SERIAL_MAX_MESSAGE_LEN differs from zv_protocol::kMaxFrameLength");

namespace zv_ros_driver
{
// Bridge between the rig's serial link and the ROS topics: publishes every
// encoder frame as zv_msgs/State on "/zv_state" and sends every zv_msgs/Command
// from "/zv_command" as a throttle frame. Reads its private parameters (~port,
// ~baud, ~command_timeout, ...) in the constructor; needs ros::init first.
// The destructor zeroes the throttles, disarms the rig and closes the port.
class ZvROSDriver
{
 public:
  ZvROSDriver();
  ~ZvROSDriver();

  ZvROSDriver(const ZvROSDriver&) = delete;
  ZvROSDriver& operator=(const ZvROSDriver&) = delete;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zv_ros_driver

#endif  // ZV_ROS_DRIVER_ZV_ROS_DRIVER_H
