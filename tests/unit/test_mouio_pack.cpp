// Packing arithmetic of the driver's settings words at its edges; the usual
// values are checked as bytes at the driver by the settings table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mouio/MouIoPack.h"

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(MouIoPack, SpeedAndTruncationStayWithinTheirBits)
{
  // x, y -> word -> x, y read back: 10 loses a rounding step (gain 819), 1000
  // keeps 16384 of 81920, 800 wraps to 0 without spilling into Y.
  const struct { uint32_t x, y, word, backX, backY; } speeds[] = {
    { 10, 0, 0x333u, 9, 0 }, { 0, 25, 0x08000000u, 0, 25 }, { 1000, 50, 0x10004000u, 200, 50 },
    { 799, 0, 65454u, 798, 0 }, { 800, 0, 0u, 0, 0 },
  };
  for (const auto& c : speeds) {
    EXPECT_EQ(MouIoPackSpeed(c.x, c.y), c.word) << c.x;
    uint32_t x = 0, y = 0;
    MouIoUnpackSpeed(c.word, &x, &y);
    EXPECT_TRUE(x == c.backX && y == c.backY) << c.x;
  }
  uint32_t x = 0, y = 0;
  MouIoUnpackSpeed(0xFFFFFFFFu, &x, &y);
  EXPECT_TRUE(x == 799 && y == 799);
  // Toward zero, then two's complement; above 2^32 the true low bits are kept.
  const struct { float f; uint16_t us; } truncs[] = {
    { 5.99f, 5 }, { 65537.9f, 1 }, { -1.5f, 0xFFFF }, { kNaN, 0 }, { std::numeric_limits<float>::infinity(), 0 },
    { 3.0e30f, 0 }, { 8589934592.0f + 65536.0f * 3.0f, 0 }, { 1099511627776.0f, 0 }, { 4294983680.0f, 0x4000 },
  };
  for (const auto& c : truncs) EXPECT_EQ(MouIoTruncToU16(c.f), c.us) << c.f;
  // 8.8: the integer part keeps 8 bits (300.25 -> 44).
  const struct { float f; uint16_t us; } fixed[] = { { 1.5f, 0x0180 }, { 0.25f, 0x0040 }, { 300.25f, 0x2C40 },
                                                     { 255.99609375f, 0xFFFF } };
  for (const auto& c : fixed) EXPECT_EQ(MouIoToFixed88(c.f), c.us) << c.f;
}

TEST(MouIoPack, WheelWordsPackOnlyWhatFits)
{
  EXPECT_EQ(MouIoPackInteger(7, 2.0f), 0x000E0003u);
  EXPECT_EQ(MouIoUnpackInteger(0x000E0003u), 6u);         // the offset is not carried back exactly
  EXPECT_EQ(MouIoUnpackInteger(0xFFFF0001u), 255u);       // the largest halves multiply within 32 bits
  EXPECT_EQ(MouIoPackInteger(0xFFFFFFFFu, 2.0f), 0u);     // out of range, still cut without undefined conversions
  EXPECT_EQ(MouIoPackFixed(3.0f, 1.5f), 0x02000480u);
  // The last values whose halves fit and the first that would wrap: 200 / 0.5
  // would reach the driver as 144.
  const struct { uint32_t v; float o; bool bFits; } ints[] = {
    { 65535, 1.0f, true }, { 65536, 1.0f, false }, { 70000, 1.0f, false }, { 32767, 2.0f, true },
    { 32768, 2.0f, false }, { 10, 1.0e-30f, false }, { 10, kNaN, false },
  };
  for (const auto& c : ints) EXPECT_EQ(MouIoIntegerFits(c.v, c.o), c.bFits) << c.v << " " << c.o;
  const struct { float v, o; bool bFits; } fixes[] = {
    { 255.0f, 1.0f, true }, { 256.0f, 1.0f, false }, { 127.5f, 2.0f, true }, { 128.0f, 2.0f, false },
    { 200.0f, 0.5f, false },
  };
  for (const auto& c : fixes) EXPECT_EQ(MouIoFixedFits(c.v, c.o), c.bFits) << c.v << " " << c.o;
  // Read back; a word with an empty half carries no offset, and no division by zero.
  const struct { uint32_t word; float v, o; } words[] = {
    { 0x04000100u, 2.0f, 0.5f }, { 0x02000480u, 3.0f, 1.5f }, { 0x01000000u, 0, 0 }, { 0x00000100u, 0, 0 }, { 0, 0, 0 },
  };
  for (const auto& c : words) {
    float v = -1, o = -1;
    MouIoUnpackFixed(c.word, &v, &o);
    EXPECT_TRUE(v == c.v && o == c.o) << c.word;
  }
}
