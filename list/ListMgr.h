// Positions: region-relative offsets with a generation tag, so records in a
// region mapped at different addresses never hold pointers.
#pragma once
#include <cstdint>

typedef uint64_t LD_POS;
constexpr LD_POS LD_INVALID_POS = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t POS_OFFSET_MASK = 0xFFFFF;
constexpr uint32_t POS_TAG_MASK = 0xFFF00000u;

// Head of every shared region.
struct shareHeader {
  int32_t lSize;
  volatile uint32_t ulPosTag;
};
static_assert(sizeof(shareHeader) == 8, "region header layout");

LD_POS PtrToPos(void* pBase, const void* pPtr);
void* PosToPtr(void* pBase, LD_POS pos);
