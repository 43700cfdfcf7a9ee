// Packing arithmetic of the driver's settings words at its edges; the usual
// values are checked as bytes at the driver by the settings table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mouio/MouIoPack.h"

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(MouIoPack, SpeedAndTruncationStayWithinTheirBits)
{
  // x, y -> word -> x, y read back: 800 wraps to 0 without spilling into Y.
  const struct { uint32_t x, y, word, backX, backY; } speeds[] = {
    { 0, 25, 0x08000000u, 0, 25 }, { 799, 0, 65454u, 798, 0 }, { 800, 0, 0u, 0, 0 },
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
  // The first value whose halves would wrap, and offsets that make a half
  // unbounded; the other edges are sent or refused in the settings table.
  const struct { uint32_t v; float o; } wraps[] = { { 65536, 1.0f }, { 10, 1.0e-30f }, { 10, kNaN } };
  for (const auto& c : wraps) EXPECT_FALSE(MouIoIntegerFits(c.v, c.o)) << c.v << " " << c.o;
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
