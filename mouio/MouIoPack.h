// Packing arithmetic of the driver's settings words: pointer-speed gains and
// the wheel's integer and 8.8 fixed-point packings. Pure logic: no Windows
// headers, so it builds natively for sanitizers and fuzzers too.
#pragma once
#include <cstdint>

// Host speed 50 is a driver gain of 1.0 (4096).
constexpr uint32_t MOUIO_SPEED_UNIT = 50;
constexpr uint32_t MOUIO_GAIN_ONE = 4096;

// Both axes in one word: X gain in bits 0-15, Y gain in bits 16-31. Each gain
// is (speed * 4096) / 50 in unsigned 32-bit arithmetic, cut to 16 bits.
uint32_t MouIoPackSpeed(uint32_t ulSpeedX, uint32_t ulSpeedY);
void MouIoUnpackSpeed(uint32_t ulValue, uint32_t* pulSpeedX, uint32_t* pulSpeedY);

// The low 16 bits of x truncated toward zero; 0 for NaN and infinities. A float
// of magnitude 2^63 or more is a multiple of 2^40, so its low 16 bits are 0.
uint16_t MouIoTruncToU16(float x);
// 8.8 fixed point of x: integer part (cut to 8 bits) in the high byte, 256 x
// the fractional part (cut to 8 bits) in the low byte.
uint16_t MouIoToFixed88(float x);

// Integer packing (wheel acceleration Min and Max): high half v * o, low half v / o.
uint32_t MouIoPackInteger(uint32_t ulValue, float fOffset);
// v = sqrt(low * high), the product taken as a 32-bit integer.
uint32_t MouIoUnpackInteger(uint32_t ulPacked);

// Whether both halves of the integer packing fit 16 bits, so that the driver
// gets the value it was given and not a wrapped one.
bool MouIoIntegerFits(uint32_t ulValue, float fOffset);

// Fixed-point packing (wheel acceleration MaxAcc, wheel speed): high half 8.8 of
// v / o, low half 8.8 of v * o.
uint32_t MouIoPackFixed(float fValue, float fOffset);
// Whether the integer parts of both halves of the fixed-point packing fit 8 bits.
bool MouIoFixedFits(float fValue, float fOffset);
// v = sqrt(low/256 * high/256), o = (low/256) / v; o is 0 when v is 0 (a word
// with an empty half carries no offset).
void MouIoUnpackFixed(uint32_t ulPacked, float* pfValue, float* pfOffset);
