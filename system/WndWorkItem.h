// One worker thread per framework instance running queued routines in order.
#pragma once
#include <windows.h>
#include "system/FifoMgr.h"

typedef void (*PFN_WORK_ITEM_ROUTINE)(void* pContext);

struct WorkItem {
  PFN_WORK_ITEM_ROUTINE WorkItemRoutine;
  void* pWorkItemContext;
};
static_assert(sizeof(WorkItem) == 16, "one FIFO element");

constexpr ULONG WORK_ITEM_STORAGE_SIZE = 1024;   // 64 slots, 63 usable

struct tWorkItemList {
  void* pBase;
  HANDLE hThread;
  DWORD dwThreadId;
  HANDLE hEvent;
  HANDLE hMutex;
  volatile BOOL bRun;
  tFifo Fifo;
  BYTE Storage[WORK_ITEM_STORAGE_SIZE];
};

BOOL WndInitWorkItemList(void* pBase, tWorkItemList* pWList);
BOOL WndQueueWorkItem(tWorkItemList* pWList, PFN_WORK_ITEM_ROUTINE WorkItemRoutine, void* pWorkItemContext);
DWORD WINAPI WndWorkItemThread(LPVOID pWList);
BOOL WndCleanupWorkItemList(tWorkItemList* pWList);
