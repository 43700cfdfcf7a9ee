// Position arithmetic; no system calls, so it builds natively for sanitizers.
#include "list/ListMgr.h"

LD_POS PtrToPos(void* pBase, const void* pPtr)
{
  if (pBase == nullptr || pPtr == nullptr) {
    return LD_INVALID_POS;
  }
  const uint8_t* p = static_cast<const uint8_t*>(pPtr);
  uint8_t* b = static_cast<uint8_t*>(pBase);
  if (p < b) {
    return LD_INVALID_POS;
  }
  shareHeader* pHeader = static_cast<shareHeader*>(pBase);
  uint32_t ulTag = __atomic_add_fetch(&pHeader->ulPosTag, 1u, __ATOMIC_SEQ_CST);
  uintptr_t offset = static_cast<uintptr_t>(p - b);
  // Offsets beyond the mask or the region cannot be expressed: no position.
  if (offset > POS_OFFSET_MASK || pHeader->lSize < 0 || offset > static_cast<uintptr_t>(pHeader->lSize)) {
    return LD_INVALID_POS;
  }
  return (static_cast<uint32_t>(offset) & POS_OFFSET_MASK) | ((ulTag << 20) & POS_TAG_MASK);
}

void* PosToPtr(void* pBase, LD_POS pos)
{
  if (pBase == nullptr || pos == LD_INVALID_POS || (pos >> 32) != 0) {
    return nullptr;
  }
  uint32_t offset = static_cast<uint32_t>(pos) & POS_OFFSET_MASK;
  const shareHeader* pHeader = static_cast<const shareHeader*>(pBase);
  if (pHeader->lSize < 0 || offset > static_cast<uint32_t>(pHeader->lSize)) {
    return nullptr;
  }
  return static_cast<uint8_t*>(pBase) + offset;
}
