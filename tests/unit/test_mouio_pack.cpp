// Packing arithmetic of the driver's settings words.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mouio/MouIoPack.h"

TEST(MouIoPack, SpeedGainsAndTheirRoundingLoss)
{
  EXPECT_EQ(MouIoPackSpeed(50, 50), 0x10001000u);
  uint32_t x = 0, y = 0;
  MouIoUnpackSpeed(0x10001000u, &x, &y);
  EXPECT_EQ(x, 50u);
  EXPECT_EQ(y, 50u);

  // 10 -> gain 819 (0x333) -> 9: the rounding down loses one step.
  EXPECT_EQ(MouIoPackSpeed(10, 0), 0x333u);
  MouIoUnpackSpeed(0x333u, &x, &y);
  EXPECT_EQ(x, 9u);
  EXPECT_EQ(y, 0u);

  // Axes stay apart: Y in the high half.
  EXPECT_EQ(MouIoPackSpeed(0, 25), 0x08000000u);
  MouIoUnpackSpeed(0x08000000u, &x, &y);
  EXPECT_EQ(x, 0u);
  EXPECT_EQ(y, 25u);
}

TEST(MouIoPack, SpeedGainsKeepOnlyTheirLowSixteenBits)
{
  // 1000 -> 81920, of which 16 bits keep 16384, read back as 200.
  EXPECT_EQ(MouIoPackSpeed(1000, 50), 0x10004000u);
  uint32_t x = 0, y = 0;
  MouIoUnpackSpeed(0x10004000u, &x, &y);
  EXPECT_EQ(x, 200u);
  EXPECT_EQ(y, 50u);
  // 799 is the last speed that fits; 800 wraps to 0 and does not spill into Y.
  EXPECT_EQ(MouIoPackSpeed(799, 0), 65454u);
  EXPECT_EQ(MouIoPackSpeed(800, 0), 0u);
  MouIoUnpackSpeed(0xFFFFFFFFu, &x, &y);
  EXPECT_EQ(x, 799u);
  EXPECT_EQ(y, 799u);
}

TEST(MouIoPack, TruncationIsDefinedForEveryFloat)
{
  EXPECT_EQ(MouIoTruncToU16(5.99f), 5u);
  EXPECT_EQ(MouIoTruncToU16(65537.9f), 1u);
  EXPECT_EQ(MouIoTruncToU16(-1.5f), 0xFFFFu);   // toward zero, then two's complement
  EXPECT_EQ(MouIoTruncToU16(std::numeric_limits<float>::quiet_NaN()), 0u);
  EXPECT_EQ(MouIoTruncToU16(std::numeric_limits<float>::infinity()), 0u);
  EXPECT_EQ(MouIoTruncToU16(3.0e30f), 0u);
  // Above 2^32 the conversion still keeps the true low bits.
  EXPECT_EQ(MouIoTruncToU16(8589934592.0f + 65536.0f * 3.0f), 0u);
  EXPECT_EQ(MouIoTruncToU16(1099511627776.0f), 0u);   // 2^40
  EXPECT_EQ(MouIoTruncToU16(4294983680.0f), 0x4000u);   // 2^32 + 0x4000, exact in a float
}

TEST(MouIoPack, FixedPointEightDotEight)
{
  EXPECT_EQ(MouIoToFixed88(1.0f), 0x0100u);
  EXPECT_EQ(MouIoToFixed88(1.5f), 0x0180u);
  EXPECT_EQ(MouIoToFixed88(0.25f), 0x0040u);
  // The integer part keeps 8 bits: 300.25 -> 44 (0x2C) and 0x40.
  EXPECT_EQ(MouIoToFixed88(300.25f), 0x2C40u);
  EXPECT_EQ(MouIoToFixed88(255.99609375f), 0xFFFFu);
}

TEST(MouIoPack, IntegerPackingOfWheelAccelerationBounds)
{
  // Min 10 with offset 0.5: high half 5, low half 20.
  EXPECT_EQ(MouIoPackInteger(10, 0.5f), 0x00050014u);
  EXPECT_EQ(MouIoUnpackInteger(0x00050014u), 10u);
  EXPECT_EQ(MouIoPackInteger(100, 1.0f), 0x00640064u);
  EXPECT_EQ(MouIoUnpackInteger(0x00640064u), 100u);
  EXPECT_EQ(MouIoPackInteger(7, 2.0f), 0x000E0003u);   // 14 and 3.5 -> 3
  EXPECT_EQ(MouIoUnpackInteger(0x000E0003u), 6u);     // sqrt(42), truncated: the offset is not carried back
  // The largest halves multiply within 32 bits.
  EXPECT_EQ(MouIoUnpackInteger(0xFFFF0001u), 255u);
  EXPECT_EQ(MouIoUnpackInteger(0u), 0u);
  // Values that leave the integer range are cut without undefined conversions.
  EXPECT_EQ(MouIoPackInteger(0xFFFFFFFFu, 2.0f), 0u);
  EXPECT_EQ(MouIoPackInteger(10, 1.0e-30f) & 0xFFFFu, 0u);
}

TEST(MouIoPack, FixedPackingOfWheelSpeed)
{
  EXPECT_EQ(MouIoPackFixed(1.0f, 1.0f), 0x01000100u);
  float v = 0, o = 0;
  MouIoUnpackFixed(0x01000100u, &v, &o);
  EXPECT_FLOAT_EQ(v, 1.0f);
  EXPECT_FLOAT_EQ(o, 1.0f);

  // 2.0 / 0.5 = 4.0 high, 2.0 * 0.5 = 1.0 low.
  EXPECT_EQ(MouIoPackFixed(2.0f, 0.5f), 0x04000100u);
  MouIoUnpackFixed(0x04000100u, &v, &o);
  EXPECT_FLOAT_EQ(v, 2.0f);
  EXPECT_FLOAT_EQ(o, 0.5f);

  EXPECT_EQ(MouIoPackFixed(3.0f, 1.5f), 0x02000480u);   // 2.0 and 4.5
  MouIoUnpackFixed(0x02000480u, &v, &o);
  EXPECT_FLOAT_EQ(v, 3.0f);
  EXPECT_FLOAT_EQ(o, 1.5f);
}

TEST(MouIoPack, FixedUnpackingOfAnEmptyHalfGivesNoOffset)
{
  float v = -1, o = -1;
  MouIoUnpackFixed(0x01000000u, &v, &o);   // low half 0: v = 0, no division by it
  EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(o, 0.0f);
  MouIoUnpackFixed(0x00000100u, &v, &o);
  EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(o, 0.0f);
  MouIoUnpackFixed(0u, &v, &o);
  EXPECT_FALSE(std::isnan(o));
  EXPECT_EQ(o, 0.0f);
}
