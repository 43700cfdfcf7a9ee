// Packing arithmetic of the driver's settings words.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mouio/MouIoPack.h"

TEST(MouIoPack, SpeedGainsRoundDownAndKeepSixteenBitsPerAxis)
{
  // x, y -> word -> x, y read back: 10 loses a rounding step (gain 819),
  // 1000 keeps 16384 of 81920, 800 wraps to 0 without spilling into Y.
  const struct { uint32_t x, y, word, backX, backY; } cases[] = {
    { 50, 50, 0x10001000u, 50, 50 }, { 10, 0, 0x333u, 9, 0 },       { 0, 25, 0x08000000u, 0, 25 },
    { 1000, 50, 0x10004000u, 200, 50 }, { 799, 0, 65454u, 798, 0 }, { 800, 0, 0u, 0, 0 },
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MouIoPackSpeed(c.x, c.y), c.word) << c.x;
    uint32_t x = 0, y = 0;
    MouIoUnpackSpeed(c.word, &x, &y);
    EXPECT_EQ(x, c.backX) << c.x;
    EXPECT_EQ(y, c.backY) << c.x;
  }
  uint32_t x = 0, y = 0;
  MouIoUnpackSpeed(0xFFFFFFFFu, &x, &y);
  EXPECT_EQ(x, 799u);
  EXPECT_EQ(y, 799u);
}

TEST(MouIoPack, TruncationIsDefinedForEveryFloat)
{
  const struct { float f; uint16_t us; } cases[] = {
    { 5.99f, 5 }, { 65537.9f, 1 }, { -1.5f, 0xFFFF },   // toward zero, then two's complement
    { std::numeric_limits<float>::quiet_NaN(), 0 }, { std::numeric_limits<float>::infinity(), 0 }, { 3.0e30f, 0 },
    { 8589934592.0f + 65536.0f * 3.0f, 0 }, { 1099511627776.0f, 0 },
    { 4294983680.0f, 0x4000 },   // above 2^32 the true low bits are kept
  };
  for (const auto& c : cases) EXPECT_EQ(MouIoTruncToU16(c.f), c.us) << c.f;
  // 8.8: the integer part keeps 8 bits (300.25 -> 44).
  const struct { float f; uint16_t us; } fixed[] = { { 1.0f, 0x0100 }, { 1.5f, 0x0180 }, { 0.25f, 0x0040 },
                                                     { 300.25f, 0x2C40 }, { 255.99609375f, 0xFFFF } };
  for (const auto& c : fixed) EXPECT_EQ(MouIoToFixed88(c.f), c.us) << c.f;
}

TEST(MouIoPack, IntegerPackingOfWheelAccelerationBounds)
{
  // Min 10 with offset 0.5: high half 5, low half 20; the offset is not carried back.
  const struct { uint32_t v; float o; uint32_t word, back; } cases[] = {
    { 10, 0.5f, 0x00050014u, 10 }, { 100, 1.0f, 0x00640064u, 100 }, { 7, 2.0f, 0x000E0003u, 6 },
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(MouIoIntegerFits(c.v, c.o));
    EXPECT_EQ(MouIoPackInteger(c.v, c.o), c.word) << c.v;
    EXPECT_EQ(MouIoUnpackInteger(c.word), c.back) << c.v;
  }
  EXPECT_EQ(MouIoUnpackInteger(0xFFFF0001u), 255u);   // the largest halves multiply within 32 bits
  EXPECT_EQ(MouIoUnpackInteger(0u), 0u);
  // The last values whose halves fit, and the first that would wrap.
  EXPECT_TRUE(MouIoIntegerFits(65535, 1.0f));
  EXPECT_FALSE(MouIoIntegerFits(65536, 1.0f));
  EXPECT_FALSE(MouIoIntegerFits(70000, 1.0f));
  EXPECT_TRUE(MouIoIntegerFits(32767, 2.0f));
  EXPECT_FALSE(MouIoIntegerFits(32768, 2.0f));
  EXPECT_FALSE(MouIoIntegerFits(10, 1.0e-30f));
  EXPECT_FALSE(MouIoIntegerFits(10, std::numeric_limits<float>::quiet_NaN()));
  // Out of range values are still cut without undefined conversions.
  EXPECT_EQ(MouIoPackInteger(0xFFFFFFFFu, 2.0f), 0u);
}

TEST(MouIoPack, FixedPackingOfWheelSpeed)
{
  // 2.0 / 0.5 = 4.0 high, 2.0 * 0.5 = 1.0 low.
  const struct { float v, o; uint32_t word; } cases[] = {
    { 1.0f, 1.0f, 0x01000100u }, { 2.0f, 0.5f, 0x04000100u }, { 3.0f, 1.5f, 0x02000480u },
    { 255.0f, 1.0f, 0xFF00FF00u }, { 127.5f, 2.0f, 0x3FC0FF00u },
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(MouIoFixedFits(c.v, c.o));
    EXPECT_EQ(MouIoPackFixed(c.v, c.o), c.word) << c.v;
    float v = 0, o = 0;
    MouIoUnpackFixed(c.word, &v, &o);
    EXPECT_FLOAT_EQ(v, c.v);
    EXPECT_FLOAT_EQ(o, c.o);
  }
  EXPECT_FALSE(MouIoFixedFits(256.0f, 1.0f));
  EXPECT_FALSE(MouIoFixedFits(200.0f, 0.5f));   // 400 would reach the driver as 144
  EXPECT_FALSE(MouIoFixedFits(128.0f, 2.0f));
  // A word with an empty half carries no offset, and no division by zero.
  for (uint32_t word : { 0x01000000u, 0x00000100u, 0u }) {
    float v = -1, o = -1;
    MouIoUnpackFixed(word, &v, &o);
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(o, 0.0f);
  }
}
