// Packing arithmetic of the driver's settings words.
#include "mouio/MouIoPack.h"

#include <cmath>

uint32_t MouIoPackSpeed(uint32_t ulSpeedX, uint32_t ulSpeedY)
{
  uint32_t ulGainX = (ulSpeedX * MOUIO_GAIN_ONE) / MOUIO_SPEED_UNIT;
  uint32_t ulGainY = (ulSpeedY * MOUIO_GAIN_ONE) / MOUIO_SPEED_UNIT;
  return ((ulGainY & 0xFFFF) << 16) | (ulGainX & 0xFFFF);
}

void MouIoUnpackSpeed(uint32_t ulValue, uint32_t* pulSpeedX, uint32_t* pulSpeedY)
{
  *pulSpeedX = ((ulValue & 0xFFFF) * MOUIO_SPEED_UNIT) / MOUIO_GAIN_ONE;
  *pulSpeedY = ((ulValue >> 16) * MOUIO_SPEED_UNIT) / MOUIO_GAIN_ONE;
}

uint16_t MouIoTruncToU16(float x)
{
  // Converting an out-of-range float to an integer is undefined; keep inside int64.
  if (!std::isfinite(x) || std::fabs(x) >= 9.2233720e18f) {
    return 0;
  }
  return static_cast<uint16_t>(static_cast<uint64_t>(static_cast<int64_t>(x)) & 0xFFFF);
}

uint16_t MouIoToFixed88(float x)
{
  float fInteger = 0.0f;
  float fFraction = std::modf(x, &fInteger);
  uint16_t usHigh = MouIoTruncToU16(fInteger) & 0xFF;
  uint16_t usLow = MouIoTruncToU16(256.0f * fFraction) & 0xFF;
  return static_cast<uint16_t>((usHigh << 8) | usLow);
}

uint32_t MouIoPackInteger(uint32_t ulValue, float fOffset)
{
  float v = static_cast<float>(ulValue);
  uint32_t ulHigh = MouIoTruncToU16(v * fOffset);
  uint32_t ulLow = MouIoTruncToU16(v / fOffset);
  return (ulHigh << 16) | ulLow;
}

// Computed as the packing computes them; NaN fails both tests.
static bool HalvesBelow(float fHigh, float fLow, float fLimit)
{
  return fHigh >= 0.0f && fHigh < fLimit && fLow >= 0.0f && fLow < fLimit;
}

bool MouIoIntegerFits(uint32_t ulValue, float fOffset)
{
  float v = static_cast<float>(ulValue);
  return HalvesBelow(v * fOffset, v / fOffset, 65536.0f);
}

bool MouIoFixedFits(float fValue, float fOffset)
{
  return HalvesBelow(fValue / fOffset, fValue * fOffset, 256.0f);
}

uint32_t MouIoUnpackInteger(uint32_t ulPacked)
{
  uint32_t ulProduct = (ulPacked & 0xFFFF) * (ulPacked >> 16);   // at most 0xFFFE0001: fits
  return static_cast<uint32_t>(std::sqrt(static_cast<float>(ulProduct)));
}

uint32_t MouIoPackFixed(float fValue, float fOffset)
{
  uint32_t ulHigh = MouIoToFixed88(fValue / fOffset);
  uint32_t ulLow = MouIoToFixed88(fValue * fOffset);
  return (ulHigh << 16) | ulLow;
}

void MouIoUnpackFixed(uint32_t ulPacked, float* pfValue, float* pfOffset)
{
  float fLow = static_cast<float>(ulPacked & 0xFFFF) / 256.0f;
  float fHigh = static_cast<float>(ulPacked >> 16) / 256.0f;
  float v = std::sqrt(fLow * fHigh);
  *pfValue = v;
  *pfOffset = v > 0.0f ? fLow / v : 0.0f;
}
