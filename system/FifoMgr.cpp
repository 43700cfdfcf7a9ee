#include "system/FifoMgr.h"

#include <cstring>

#include "diag/Trace.h"
#include "synch/SynchUtil.h"

constexpr DWORD FIFO_CATEGORY = 0x200;

LONG FifoCount(ULONG ulIn, ULONG ulOut, ULONG ulFifoSize)
{
  LONG lCount = static_cast<LONG>(ulIn) - static_cast<LONG>(ulOut);
  if (lCount < 0) {
    lCount += static_cast<LONG>(ulFifoSize);
  }
  return lCount;
}

void FifoInit(void* pBase, tFifo* pFifo, void* pStorage, ULONG ulStorageSize, ULONG ulElementSize)
{
  DRAV_ASSERT(ulElementSize != 0);
  pFifo->posStorage = PtrToPos(pBase, pStorage);
  pFifo->ulStorageSize = ulStorageSize;
  pFifo->ulElementSize = ulElementSize;
  pFifo->ulFifoSize = ulElementSize != 0 ? ulStorageSize / ulElementSize : 0;
  pFifo->ulIn = 0;
  pFifo->ulOut = 0;
  TraceCategory(FIFO_CATEGORY, "FifoInit - Storage %d. Elements %d -> FifoSize %d Elements.\n",
                static_cast<int>(ulStorageSize), static_cast<int>(ulElementSize), static_cast<int>(pFifo->ulFifoSize));
}

// The slot at an index, or null when the storage position does not resolve
// to a whole slot inside the region.
static BYTE* FifoSlot(void* pBase, const tFifo* pFifo, ULONG ulIndex)
{
  if (pFifo->posStorage == LD_INVALID_POS || ulIndex >= pFifo->ulFifoSize) {
    return nullptr;
  }
  return static_cast<BYTE*>(PosToPtr(pBase, pFifo->posStorage + static_cast<LD_POS>(ulIndex) * pFifo->ulElementSize));
}

LONG FifoAdd(void* pBase, tFifo* pFifo, const void* pElement, HANDLE hMutex)
{
  if (hMutex == nullptr) {
    TraceCategory(FIFO_CATEGORY, "FifoAdd - NULL mutex handle!\n");
    DRAV_ASSERT(FALSE);
    return -1;
  }
  if (!CriticalRegionEnter(hMutex, nullptr)) {
    TraceCategory(FIFO_CATEGORY, "FifoAdd - Couldn't acquire mutex!\n");
    DRAV_ASSERT(FALSE);
    return -1;
  }
  LONG fifoCount = FifoCount(pFifo->ulIn, pFifo->ulOut, pFifo->ulFifoSize);
  DRAV_ASSERT(fifoCount >= 0);
  TraceCategory(FIFO_CATEGORY, "FifoAdd - Entry - Fifo %08X - In:%d / Fifo Out:%d ( Count:%d, Max:%d ).\n",
                static_cast<unsigned>(pFifo->posStorage), static_cast<int>(pFifo->ulIn), static_cast<int>(pFifo->ulOut),
                static_cast<int>(fifoCount), static_cast<int>(pFifo->ulFifoSize));
  LONG lResult = -1;
  BYTE* pSlot = nullptr;
  if (pFifo->ulFifoSize != 0 && static_cast<ULONG>(fifoCount) < pFifo->ulFifoSize - 1) {
    pSlot = FifoSlot(pBase, pFifo, pFifo->ulIn);
  }
  if (pSlot != nullptr) {
    TraceCategory(FIFO_CATEGORY, "FifoAdd - About to copy %d bytes from @%08X to @%08X.\n",
                  static_cast<int>(pFifo->ulElementSize), static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pElement)),
                  static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pSlot)));
    memcpy(pSlot, pElement, pFifo->ulElementSize);
    pFifo->ulIn = (pFifo->ulIn + 1) % pFifo->ulFifoSize;
    lResult = fifoCount + 1;
  } else {
    TraceCategory(FIFO_CATEGORY, "FifoAdd - Fifo is FULL.\n");
  }
  TraceCategory(FIFO_CATEGORY, "FifoAdd - Exit. New Fifo Count:%d.\n", static_cast<int>(lResult));
  CriticalRegionLeave(hMutex);
  return lResult;
}

LONG FifoGet(void* pBase, tFifo* pFifo, void* pElementOut, HANDLE hMutex)
{
  BOOL bGotMutex = FALSE;
  if (hMutex != nullptr) {
    bGotMutex = CriticalRegionEnter(hMutex, nullptr);
    DRAV_ASSERT(bGotMutex);
    if (!bGotMutex) {
      // Another side holds the FIFO: never read or move it unguarded.
      TraceCategory(FIFO_CATEGORY, "FifoGet - Exit. %d.\n", 0);
      return 0;
    }
  } else {
    TraceCategory(FIFO_CATEGORY, "FifoGet - WARNING : NO MUTEX protection.\n");
  }
  LONG fifoCount = FifoCount(pFifo->ulIn, pFifo->ulOut, pFifo->ulFifoSize);
  DRAV_ASSERT(fifoCount >= 0);
  TraceCategory(FIFO_CATEGORY, "FifoGet - Fifo %08X - In:%d / Fifo Out:%d ( Count:%d, Max:%d ).\n",
                static_cast<unsigned>(pFifo->posStorage), static_cast<int>(pFifo->ulIn), static_cast<int>(pFifo->ulOut),
                static_cast<int>(fifoCount), static_cast<int>(pFifo->ulFifoSize));
  if (fifoCount > 0) {
    BYTE* pSlot = FifoSlot(pBase, pFifo, pFifo->ulOut);
    if (pSlot == nullptr) {
      fifoCount = 0;
    } else {
      TraceCategory(FIFO_CATEGORY, "FifoGet - About to copy %d bytes from @%08X to @%08X.\n",
                    static_cast<int>(pFifo->ulElementSize), static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pSlot)),
                    static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pElementOut)));
      memcpy(pElementOut, pSlot, pFifo->ulElementSize);
      pFifo->ulOut = (pFifo->ulOut + 1) % pFifo->ulFifoSize;
    }
  }
  if (bGotMutex) {
    CriticalRegionLeave(hMutex);
  }
  TraceCategory(FIFO_CATEGORY, "FifoGet - Exit. %d.\n", static_cast<int>(fifoCount));
  return fifoCount;
}
