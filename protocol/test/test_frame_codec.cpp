#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <boost/crc.hpp>

#include "zv_protocol/frame_codec.h"

using namespace zv_protocol;

namespace
{
typedef std::vector<uint8_t> Bytes;

std::vector<Frame> parseAll(FrameParser& parser, const Bytes& bytes)
{
  std::vector<Frame> out;
  parser.feed(bytes.data(), bytes.size(), out);
  return out;
}

std::vector<Frame> parseAll(const Bytes& bytes)
{
  FrameParser parser;
  return parseAll(parser, bytes);
}

Bytes operator+(Bytes a, const Bytes& b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool sameFrame(const Frame& a, const Frame& b)
{
  return a.kind == b.kind && a.length == b.length && std::memcmp(a.payload, b.payload, a.length) == 0;
}

}  // namespace

TEST(Constants, UnknownKindsHaveNoPayload)
{
  EXPECT_EQ(0u, payloadLength(5));
  EXPECT_EQ(0u, payloadLength(0xA5));
}

TEST(Crc8, CatalogueCheckValueAndBoostAsOracle)
{
  const char* text = "123456789";
  EXPECT_EQ(0xF4, crc8(reinterpret_cast<const uint8_t*>(text), 9));
  // The register after one byte takes all 256 values, so over all byte pairs the
  // table-free update meets every register value with every byte.
  typedef boost::crc_optimal<8, 0x07, 0, 0, false, false> Crc8;
  for (unsigned reg = 0; reg < 256; ++reg)
  {
    for (unsigned byte = 0; byte < 256; ++byte)
    {
      const uint8_t two[2] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(byte)};
      Crc8 crc;
      crc.process_bytes(two, 2);
      ASSERT_EQ(crc.checksum(), crc8(two, 2)) << "bytes " << reg << ", " << byte;
    }
  }
}

TEST(Encode, EncoderFrameMatchesHandComputedBytes)
{
  // The worked example of PROTOCOL.md: check byte computed bit by bit off-line.
  const Bytes expected = {0xA5, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0xBE, 0x00, 0x00, 0x80, 0x3F, 0x55};
  EXPECT_EQ(expected, encodeEncoder(0.5f, -0.25f, 1.0f));
  // Throttle 0.25 / 0.75: check byte 0xFC from a bit-at-a-time CRC-8 (poly 0x07)
  // over 02 00 00 80 3E 00 00 40 3F, run off-line.
  EXPECT_EQ((Bytes{0xA5, 0x02, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x40, 0x3F, 0xFC}), encodeThrottle(0.25f, 0.75f));
  // By hand, each byte XORed into the register, then 8 shifts with XOR 0x07 when a
  // 1 leaves bit 7: kind 0x03 -> 0x09; 0x09 ^ 0x01 = 0x08 -> 0x38; 0x09 ^ 0x00 -> 0x3F.
  EXPECT_EQ((Bytes{0xA5, 0x03, 0x01, 0x38}), encodeArm(true));
  EXPECT_EQ((Bytes{0xA5, 0x03, 0x00, 0x3F}), encodeArm(false));
}

TEST(Encode, RejectsUnknownKindAndWrongLength)
{
  const uint8_t payload[24] = {};
  EXPECT_THROW(encodeFrame(5, payload, 1), std::invalid_argument);
  EXPECT_THROW(encodeFrame(0xA5, payload, 1), std::invalid_argument);
  EXPECT_THROW(encodeFrame(kEncoderFrame, payload, 8), std::invalid_argument);
  EXPECT_THROW(encodeFrame(kArmFrame, payload, 0), std::invalid_argument);
  EXPECT_NO_THROW(encodeFrame(kEncoderRatesFrame, payload, 24));
}

TEST(RoundTrip, EveryKind)
{
  const float rates[6] = {0.1f, -0.2f, 3.0f, -1e-3f, 250.5f, -0.0f};
  const Bytes stream = encodeEncoder(0.5f, -0.25f, 3.14159274f) + encodeEncoderRates(rates) +
                       encodeThrottle(0.0f, 1.0f) + encodeArm(true) + encodeArm(false) +
                       encodeHeartbeat(kHeartbeatArmed | kHeartbeatThrottleTimeout);
  FrameParser parser;
  const std::vector<Frame> frames = parseAll(parser, stream);
  ASSERT_EQ(6u, frames.size());

  EncoderAngles a;
  ASSERT_TRUE(decodeEncoderAngles(frames[0], a));
  EXPECT_EQ(0.5f, a.roll);
  EXPECT_EQ(-0.25f, a.pitch);
  EXPECT_EQ(3.14159274f, a.yaw);

  float r[6];
  ASSERT_TRUE(decodeEncoderRates(frames[1], r));
  EXPECT_EQ(0, std::memcmp(rates, r, sizeof r));  // bit for bit, -0.0 included
  ASSERT_TRUE(decodeEncoderAngles(frames[1], a));
  EXPECT_EQ(0.1f, a.roll);
  EXPECT_EQ(3.0f, a.yaw);

  float left = -1, right = -1;
  ASSERT_TRUE(decodeThrottle(frames[2], left, right));
  EXPECT_EQ(0.0f, left);
  EXPECT_EQ(1.0f, right);

  bool arm = false;
  ASSERT_TRUE(decodeArm(frames[3], arm));
  EXPECT_TRUE(arm);
  ASSERT_TRUE(decodeArm(frames[4], arm));
  EXPECT_FALSE(arm);

  uint8_t status = 0;
  ASSERT_TRUE(decodeHeartbeat(frames[5], status));
  EXPECT_EQ(0x03, status);

  // A reader of another kind refuses the frame.
  EXPECT_FALSE(decodeThrottle(frames[0], left, right));
  EXPECT_FALSE(decodeEncoderRates(frames[0], r));
  EXPECT_FALSE(decodeEncoderAngles(frames[5], a));

  for (const Frame& f : frames)
  {
    EXPECT_EQ(payloadLength(f.kind), f.length);
  }
  EXPECT_EQ(6u, parser.counters().frames_accepted);
  EXPECT_EQ(0u, parser.counters().bytes_skipped);
  EXPECT_EQ(0u, parser.pending());
}

TEST(RoundTrip, ArmTreatsAnyOtherByteAsDisarm)
{
  const uint8_t two = 0x02;
  const std::vector<Frame> frames = parseAll(encodeFrame(kArmFrame, &two, 1));
  ASSERT_EQ(1u, frames.size());
  bool arm = true;
  ASSERT_TRUE(decodeArm(frames[0], arm));
  EXPECT_FALSE(arm);
}

TEST(Resync, GarbageBeforeAFrame)
{
  FrameParser parser;
  const std::vector<Frame> frames = parseAll(parser, Bytes{0x00, 0xFF, 0x13, 0x37} + encodeHeartbeat(1));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kHeartbeatFrame, frames[0].kind);
  EXPECT_EQ(4u, parser.counters().bytes_skipped);
}

TEST(Resync, MagicInsideAPayloadOrBeforeAFrame)
{
  // 0xA5A5A5A5 as a float puts the magic in every payload byte of roll.
  float magic_float;
  const uint32_t bits = 0xA5A5A5A5u;
  std::memcpy(&magic_float, &bits, 4);
  FrameParser parser;
  const std::vector<Frame> frames =
      parseAll(parser, Bytes{0xA5} + encodeEncoder(magic_float, 1.0f, 2.0f) + encodeEncoder(3.0f, 4.0f, 5.0f));
  ASSERT_EQ(2u, frames.size());
  EncoderAngles a;
  decodeEncoderAngles(frames[0], a);
  EXPECT_EQ(bits, *reinterpret_cast<const uint32_t*>(&frames[0].payload[0]));
  EXPECT_EQ(2.0f, a.yaw);
  decodeEncoderAngles(frames[1], a);
  EXPECT_EQ(3.0f, a.roll);
  // The stray magic before the first frame was read as kind 0xA5: unknown.
  EXPECT_EQ(1u, parser.counters().rejected_kind);
  EXPECT_EQ(1u, parser.counters().bytes_skipped);
}

TEST(Resync, BadCheckThenGoodFrame)
{
  Bytes bad = encodeEncoder(1.0f, 2.0f, 3.0f);
  bad.back() ^= 0xFF;
  FrameParser parser;
  const std::vector<Frame> frames = parseAll(parser, bad + encodeEncoder(4.0f, 5.0f, 6.0f));
  ASSERT_EQ(1u, frames.size());
  EncoderAngles a;
  decodeEncoderAngles(frames[0], a);
  EXPECT_EQ(4.0f, a.roll);
  EXPECT_EQ(1u, parser.counters().rejected_check);
  EXPECT_EQ(bad.size(), parser.counters().bytes_skipped);
}

TEST(Resync, TruncatedFrameThenGoodFrame)
{
  // The cut frame's candidate reaches into the next frames; once it has its 27
  // bytes its check fails, the bytes already read are searched again and every
  // later frame is found.
  const float sevens[6] = {7, 7, 7, 7, 7, 7};
  const Bytes full = encodeEncoderRates(sevens);
  const Bytes cut(full.begin(), full.begin() + 10);
  FrameParser parser;
  const std::vector<Frame> frames =
      parseAll(parser, cut + encodeThrottle(0.5f, 0.25f) + encodeHeartbeat(0) + encodeHeartbeat(1));
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(kThrottleFrame, frames[0].kind);
  EXPECT_EQ(kHeartbeatFrame, frames[1].kind);
  EXPECT_EQ(kHeartbeatFrame, frames[2].kind);
  EXPECT_EQ(1u, parser.counters().rejected_check);
  EXPECT_EQ(cut.size(), parser.counters().bytes_skipped);
}

TEST(Resync, UnknownKindThenGoodFrame)
{
  FrameParser parser;
  const std::vector<Frame> frames = parseAll(parser, Bytes{0xA5, 0x05, 0x00} + encodeArm(true));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kArmFrame, frames[0].kind);
  EXPECT_EQ(1u, parser.counters().rejected_kind);
  EXPECT_EQ(3u, parser.counters().bytes_skipped);
}

TEST(Resync, ResetDropsPartialFrame)
{
  const Bytes frame = encodeEncoder(1.0f, 2.0f, 3.0f);
  FrameParser parser;
  std::vector<Frame> out;
  parser.feed(frame.data(), 6, out);
  EXPECT_EQ(6u, parser.pending());
  parser.reset();
  EXPECT_EQ(0u, parser.pending());
  out = parseAll(parser, Bytes(frame.begin() + 6, frame.end()) + frame);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(frame, encodeFrame(out[0]));
}

TEST(Chunking, EverySplitGivesTheSameFrames)
{
  const float rates[6] = {1, 2, 3, 4, 5, 6};
  Bytes bad_check = encodeThrottle(0.1f, 0.2f);
  bad_check.back() ^= 0x01;
  const Bytes stream = Bytes{0x11, 0xA5} + encodeEncoder(0.5f, 0.25f, -1.0f) + bad_check + Bytes{0xA5, 0x09} +
                       encodeEncoderRates(rates) + Bytes{0xA5, 0x00, 0x01} + encodeHeartbeat(2) + encodeArm(false) +
                       encodeEncoder(9, 8, 7);

  FrameParser whole;
  const std::vector<Frame> expected = parseAll(whole, stream);
  ASSERT_EQ(5u, expected.size());

  for (size_t a = 0; a <= stream.size(); ++a)
  {
    for (size_t b = a; b <= stream.size(); b += 3)
    {
      FrameParser parser;
      std::vector<Frame> got;
      parser.feed(stream.data(), a, got);
      parser.feed(stream.data() + a, b - a, got);
      parser.feed(stream.data() + b, stream.size() - b, got);
      ASSERT_EQ(expected.size(), got.size()) << "splits at " << a << ", " << b;
      for (size_t i = 0; i < got.size(); ++i)
      {
        EXPECT_TRUE(sameFrame(expected[i], got[i])) << "frame " << i << ", splits at " << a << ", " << b;
      }
      EXPECT_EQ(whole.counters().rejected_check, parser.counters().rejected_check);
      EXPECT_EQ(whole.counters().rejected_kind, parser.counters().rejected_kind);
      EXPECT_EQ(whole.counters().bytes_skipped, parser.counters().bytes_skipped);
      EXPECT_EQ(whole.pending(), parser.pending());
    }
  }
}

TEST(Chunking, ByteByByte)
{
  const Bytes stream = Bytes{0xA5, 0xA5} + encodeEncoder(1, 2, 3) + encodeThrottle(0.5f, 0.5f) + encodeHeartbeat(1);
  FrameParser parser;
  std::vector<Frame> got;
  for (uint8_t b : stream)
  {
    parser.feed(&b, 1, got);
  }
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(encodeEncoder(1, 2, 3), encodeFrame(got[0]));
  EXPECT_EQ(encodeHeartbeat(1), encodeFrame(got[2]));
}

TEST(BitErrors, EverySingleBitErrorIsRejected)
{
  const float rates[6] = {0.5f, -0.5f, 1.5f, 2.5f, -3.5f, 4.5f};
  const std::vector<Bytes> frames = {encodeEncoder(0.1f, 0.2f, 0.3f), encodeEncoderRates(rates),
                                     encodeThrottle(0.3f, 0.7f), encodeArm(true), encodeHeartbeat(1)};
  // Followed by good frames, which must survive whatever the corrupted one did;
  // a kind flipped to a longer kind holds them back until its 27 bytes are in.
  const Bytes heartbeat = encodeHeartbeat(kHeartbeatThrottleTimeout);
  Bytes tail;
  for (int i = 0; i < 7; ++i)
  {
    tail = tail + heartbeat;
  }
  for (const Bytes& good : frames)
  {
    for (size_t byte = 1; byte < good.size(); ++byte)
    {
      for (int bit = 0; bit < 8; ++bit)
      {
        Bytes corrupted = good;
        corrupted[byte] ^= static_cast<uint8_t>(1u << bit);
        FrameParser parser;
        const std::vector<Frame> got = parseAll(parser, corrupted + tail);
        ASSERT_EQ(7u, got.size()) << "kind " << int(good[1]) << ", byte " << byte << ", bit " << bit;
        for (const Frame& f : got)
        {
          EXPECT_EQ(heartbeat, encodeFrame(f));
        }
        EXPECT_GE(parser.counters().rejected_check + parser.counters().rejected_kind, 1u);
      }
    }
  }
}

TEST(Throttle, SanitizeClampsAndZeroesNaN)
{
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(0.0f, sanitizeThrottle(std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(0.0f, sanitizeThrottle(-std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(0.0f, sanitizeThrottle(-inf));
  EXPECT_EQ(1.0f, sanitizeThrottle(inf));
  EXPECT_EQ(0.0f, sanitizeThrottle(-0.2f));
  EXPECT_EQ(1.0f, sanitizeThrottle(1.5f));
  EXPECT_EQ(0.5886f, sanitizeThrottle(0.5886f));
  EXPECT_EQ(1.0f, sanitizeThrottle(1.0f));
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
