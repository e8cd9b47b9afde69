// The wire contract of the three message types: names, checksums, definition
// texts and byte layouts are what every peer on the rig's topics relies on.
#include <zv_msgs/Command.h>
#include <zv_msgs/ReferenceState.h>
#include <zv_msgs/State.h>

#include <ros/serialization.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace ser = ros::serialization;
namespace traits = ros::message_traits;

namespace
{
uint32_t bitsOf(float f)
{
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float floatOf(uint32_t u)
{
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Full published frame: 4-byte little-endian length prefix, then the body.
template <typename M>
std::vector<uint8_t> frame(const M& msg)
{
  ros::SerializedMessage sm = ser::serializeMessage(msg);
  return std::vector<uint8_t>(sm.buf.get(), sm.buf.get() + sm.num_bytes);
}

template <typename M>
M readBody(std::vector<uint8_t> body)
{
  M msg;
  ser::IStream in(body.data(), static_cast<uint32_t>(body.size()));
  ser::deserialize(in, msg);
  return msg;
}

std::vector<uint8_t> le(uint32_t u)
{
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}
}  // namespace

TEST(MessageTraits, NamesChecksumsAndDefinitionsAreTheContract)
{
  EXPECT_STREQ("zv_msgs/State", traits::datatype<zv_msgs::State>());
  EXPECT_STREQ("zv_msgs/ReferenceState", traits::datatype<zv_msgs::ReferenceState>());
  EXPECT_STREQ("zv_msgs/Command", traits::datatype<zv_msgs::Command>());

  EXPECT_STREQ("c66f4de7f99199dd8e863fffbef112ad", traits::md5sum<zv_msgs::State>());
  EXPECT_STREQ("19ef1e45577dac4da3eff04ddb600a22", traits::md5sum<zv_msgs::ReferenceState>());
  EXPECT_STREQ("3e3717ac8e9443aa62d7102a5860f5e7", traits::md5sum<zv_msgs::Command>());

  const std::string state_def = "# Encoder angle measurements\n\nfloat32 roll\nfloat32 pitch\nfloat32 yaw\n";
  const std::string ref_def =
      "# The desired yaw and pitch\n\nfloat32 yaw        # yaw, rads\nfloat32 pitch      # pitch, rads\n";
  const std::string cmd_def =
      "# Throttle commands for the left and right motors. Their range should be from [0,1]\n\n"
      "float32 left_motor\nfloat32 right_motor\n";
  EXPECT_EQ(69u, state_def.size());
  EXPECT_EQ(93u, ref_def.size());
  EXPECT_EQ(124u, cmd_def.size());
  EXPECT_EQ(state_def, traits::definition<zv_msgs::State>());
  EXPECT_EQ(ref_def, traits::definition<zv_msgs::ReferenceState>());
  EXPECT_EQ(cmd_def, traits::definition<zv_msgs::Command>());

  EXPECT_FALSE(traits::hasHeader<zv_msgs::State>());
  EXPECT_FALSE(traits::hasHeader<zv_msgs::ReferenceState>());
  EXPECT_FALSE(traits::hasHeader<zv_msgs::Command>());
}

TEST(MessageLayout, WorkedExamplesSerializeToTheirBytes)
{
  zv_msgs::State s;
  s.roll = 0.5f;
  s.pitch = -0.25f;
  s.yaw = 1.0f;
  EXPECT_EQ((std::vector<uint8_t>{0x0C, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0x80, 0xBE, 0, 0, 0x80, 0x3F}), frame(s));

  zv_msgs::Command c;
  c.left_motor = 0.25f;
  c.right_motor = 0.75f;
  EXPECT_EQ((std::vector<uint8_t>{0x08, 0, 0, 0, 0, 0, 0x80, 0x3E, 0, 0, 0x40, 0x3F}), frame(c));

  // Yaw comes first in a reference, unlike in a state.
  zv_msgs::ReferenceState r = readBody<zv_msgs::ReferenceState>({0, 0, 0x80, 0x3F, 0, 0, 0, 0});
  EXPECT_EQ(1.0f, r.yaw);
  EXPECT_EQ(0.0f, r.pitch);
}

TEST(MessageLayout, DefaultMessagesAreAllZero)
{
  EXPECT_EQ((std::vector<uint8_t>{12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), frame(zv_msgs::State()));
  EXPECT_EQ((std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), frame(zv_msgs::ReferenceState()));
  EXPECT_EQ((std::vector<uint8_t>{8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), frame(zv_msgs::Command()));
}

TEST(MessageLayout, SpecialValuesTravelBitForBit)
{
  const std::vector<uint32_t> patterns = {
      0x7FC00000u,  // quiet NaN
      0xFFC00001u,  // negative NaN with payload
      0x7FA00000u,  // signalling NaN
      0x7F800000u,  // +inf
      0xFF800000u,  // -inf
      0x80000000u,  // -0
      0x00000001u,  // smallest subnormal
      0x807FFFFFu,  // largest negative subnormal
      0x3FC00000u,  // 1.5: a throttle outside [0, 1] is carried unchanged
      0xBE4CCCCDu,  // -0.2
  };
  for (uint32_t p : patterns)
  {
    zv_msgs::State s;
    s.roll = floatOf(p);
    s.pitch = floatOf(p ^ 1u);
    s.yaw = floatOf(p);
    std::vector<uint8_t> bytes = frame(s);
    std::vector<uint8_t> expected = le(12);
    for (uint32_t q : {p, p ^ 1u, p})
    {
      std::vector<uint8_t> b = le(q);
      expected.insert(expected.end(), b.begin(), b.end());
    }
    EXPECT_EQ(expected, bytes) << std::hex << p;
    zv_msgs::State back = readBody<zv_msgs::State>(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));
    EXPECT_EQ(p, bitsOf(back.roll)) << std::hex << p;
    EXPECT_EQ(p ^ 1u, bitsOf(back.pitch)) << std::hex << p;
    EXPECT_EQ(p, bitsOf(back.yaw)) << std::hex << p;

    zv_msgs::Command c;
    c.left_motor = floatOf(p);
    c.right_motor = floatOf(p);
    bytes = frame(c);
    zv_msgs::Command cb = readBody<zv_msgs::Command>(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));
    EXPECT_EQ(p, bitsOf(cb.left_motor)) << std::hex << p;
    EXPECT_EQ(p, bitsOf(cb.right_motor)) << std::hex << p;
  }
}

TEST(MessageLayout, ShortBodyOverrunsAndLongBodyIsReadToItsLength)
{
  // An 8-byte body is too short for a State: the read must stop with an
  // overrun instead of reading past the buffer.
  std::vector<uint8_t> eight = {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40};
  EXPECT_THROW(readBody<zv_msgs::State>(eight), ros::serialization::StreamOverrunException);

  // A 12-byte body read as an 8-byte type: the first two fields, the rest ignored.
  std::vector<uint8_t> twelve = {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0xFF};
  zv_msgs::Command c = readBody<zv_msgs::Command>(twelve);
  EXPECT_EQ(1.0f, c.left_motor);
  EXPECT_EQ(2.0f, c.right_motor);
  zv_msgs::ReferenceState r = readBody<zv_msgs::ReferenceState>(twelve);
  EXPECT_EQ(1.0f, r.yaw);
  EXPECT_EQ(2.0f, r.pitch);

  EXPECT_EQ(12u, ser::serializationLength(zv_msgs::State()));
  EXPECT_EQ(8u, ser::serializationLength(zv_msgs::ReferenceState()));
  EXPECT_EQ(8u, ser::serializationLength(zv_msgs::Command()));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
