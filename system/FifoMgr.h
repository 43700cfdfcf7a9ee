// Ring buffer of fixed-size elements whose storage is addressed by a
// position relative to a region base, guarded by a caller's mutex.
#pragma once
#include <windows.h>
#include "list/ListMgr.h"

struct tFifo {
  LD_POS posStorage;
  ULONG ulIn;
  ULONG ulOut;
  ULONG ulElementSize;
  ULONG ulStorageSize;
  ULONG ulFifoSize;
};

void FifoInit(void* pBase, tFifo* pFifo, void* pStorage, ULONG ulStorageSize, ULONG ulElementSize);
LONG FifoAdd(void* pBase, tFifo* pFifo, const void* pElement, HANDLE hMutex);
LONG FifoGet(void* pBase, tFifo* pFifo, void* pElementOut, HANDLE hMutex);
// Element count for the given indices; pure, for the count checks.
LONG FifoCount(ULONG ulIn, ULONG ulOut, ULONG ulFifoSize);
