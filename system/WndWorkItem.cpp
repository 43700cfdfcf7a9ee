#include "system/WndWorkItem.h"

#include "diag/Trace.h"
#include "synch/SynchUtil.h"

constexpr DWORD WORK_ITEM_CATEGORY = 0x10;

BOOL WndInitWorkItemList(void* pBase, tWorkItemList* pWList)
{
  TraceCategory(WORK_ITEM_CATEGORY, "WndInitWorkItemList - Entry.\n");
  DRAV_ASSERT(pBase);
  DRAV_ASSERT(pWList);
  if (pBase == nullptr || pWList == nullptr) {
    return TRUE;
  }
  pWList->pBase = pBase;
  pWList->bRun = TRUE;
  FifoInit(pBase, &pWList->Fifo, pWList->Storage, WORK_ITEM_STORAGE_SIZE, sizeof(WorkItem));
  pWList->hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DRAV_ASSERT(pWList->hEvent);
  pWList->hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  DRAV_ASSERT(pWList->hMutex);
  pWList->hThread = CreateThread(nullptr, 0, WndWorkItemThread, pWList, 0, &pWList->dwThreadId);
  TraceCategory(WORK_ITEM_CATEGORY, "WndInitWorkItemList - Exit.\n");
  DRAV_ASSERT(pWList->hThread);
  return TRUE;
}

BOOL WndQueueWorkItem(tWorkItemList* pWList, PFN_WORK_ITEM_ROUTINE WorkItemRoutine, void* pWorkItemContext)
{
  if (WorkItemRoutine == nullptr || pWList == nullptr) {
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  if (pWList->bRun == TRUE) {
    WorkItem item = {WorkItemRoutine, pWorkItemContext};
    if (FifoAdd(pWList->pBase, &pWList->Fifo, &item, pWList->hMutex) == 1) {
      BOOL bStatus = SetEvent(pWList->hEvent);
      DRAV_ASSERT(bStatus == TRUE);
    }
  }
  return TRUE;
}

DWORD WINAPI WndWorkItemThread(LPVOID pParam)
{
  tWorkItemList* pWList = static_cast<tWorkItemList*>(pParam);
  TraceCategory(WORK_ITEM_CATEGORY, "WndWorkItemThread - Entry.\n");
  while (pWList->bRun) {
    if (WaitForSingleObject(pWList->hEvent, INFINITE) != WAIT_OBJECT_0) {
      DRAV_ASSERT(FALSE);
      continue;
    }
    while (pWList->bRun) {
      WorkItem item = {};
      if (FifoGet(pWList->pBase, &pWList->Fifo, &item, pWList->hMutex) == 0) {
        break;
      }
      DRAV_ASSERT_TEXT(item.WorkItemRoutine != nullptr, "WorkItem.WorkItemRoutine != NULL");
      TraceCategory(WORK_ITEM_CATEGORY, "WndWorkItemThread - WorkItem @0x%08X (0x%08X) Started.\n",
                    static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(item.WorkItemRoutine)),
                    static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(item.pWorkItemContext)));
      if (item.WorkItemRoutine != nullptr) {
        item.WorkItemRoutine(item.pWorkItemContext);
        TraceCategory(WORK_ITEM_CATEGORY, "WndWorkItemThread - WorkItem Completed - bRun:%d.\n",
                      static_cast<int>(pWList->bRun));
      }
    }
  }
  TraceCategory(WORK_ITEM_CATEGORY, "WndWorkItemThread - Exit %X.\n", static_cast<unsigned>(GetCurrentThreadId()));
  return 0;
}

BOOL WndCleanupWorkItemList(tWorkItemList* pWList)
{
  TraceInfo("Entry ( pWList=0x%X )", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pWList)));
  DRAV_ASSERT_TEXT(pWList != nullptr, "NULL != pWList");
  if (pWList == nullptr) {
    return FALSE;
  }
  DRAV_ASSERT_TEXT(pWList->pBase != nullptr, "NULL != pWList->pBase");
  pWList->bRun = FALSE;
  TraceInfo("Thread: h:0x%X - Id:0x%X.", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pWList->hThread)),
            static_cast<unsigned>(pWList->dwThreadId));
  BOOL bStatus = StopNiceThread(pWList->hThread, pWList->hEvent);
  if (!bStatus) {
    TraceError("Failed to stop the workItem processing thread. Reason:%d.", static_cast<int>(GetLastError()));
  }
  CleanUpHandle(&pWList->hEvent);
  CleanUpHandle(&pWList->hMutex);
  CleanUpHandle(&pWList->hThread);
  TraceInfo("Exit - bStatus:%d.", static_cast<int>(bStatus));
  return bStatus;
}
