// The FIFO and the work-item thread, on the instance record as region base.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "framework/UmdRecords.h"
#include "system/WndWorkItem.h"
#include "tests/unit/TestSupport.h"

namespace {

HANDLE g_hSignal, g_hRelease;   // signal: the blocker is inside, then the last item ran
std::vector<INT_PTR> g_order;   // written by the work-item thread only
void BlockRoutine(void*) { SetEvent(g_hSignal), WaitForSingleObject(g_hRelease, INFINITE); }
void RecordRoutine(void* p) { g_order.push_back((INT_PTR)p), g_order.back() == 62 && SetEvent(g_hSignal); }

TEST(WorkItemThread, HoldsSixtyThreeRunsThemInOrderAndStoresNothingAfterCleanup)
{
  UmdGlobal global{};
  global.ulSize = sizeof global, g_order.clear();
  g_hSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr), g_hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TraceLevel level(0x200);   // the FIFO's lines
  TraceCapture capture;
  tWorkItemList* pWList = &global.WorkItemList;
  ASSERT_TRUE(WndInitWorkItemList(&global, pWList));
  ASSERT_TRUE(WndQueueWorkItem(pWList, BlockRoutine, nullptr));
  ASSERT_EQ(WaitForSingleObject(g_hSignal, 10000), WAIT_OBJECT_0);
  for (INT_PTR i = 0; i < 63; ++i) ASSERT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, reinterpret_cast<void*>(i)));
  // The 64th is dropped (it never runs), yet the queue call reports success.
  EXPECT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, reinterpret_cast<void*>(99)));
  EXPECT_EQ(capture.Count("FifoAdd - Fifo is FULL."), 1u);
  EXPECT_FALSE(WndQueueWorkItem(pWList, nullptr, nullptr));
  SetEvent(g_hRelease);
  ASSERT_EQ(WaitForSingleObject(g_hSignal, 10000), WAIT_OBJECT_0);
  std::vector<INT_PTR> expected(63);
  EXPECT_EQ(g_order, (std::iota(expected.begin(), expected.end(), 0), expected));
  EXPECT_TRUE(WndCleanupWorkItemList(pWList));   // nothing stored after it
  EXPECT_TRUE(pWList->hThread == nullptr && pWList->hEvent == nullptr && pWList->hMutex == nullptr);
  EXPECT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, nullptr));
  EXPECT_EQ(pWList->Fifo.ulIn, 0u);
  CloseHandle(g_hSignal), CloseHandle(g_hRelease);
}

// A bare FIFO on an instance record, with its mutex.
struct FifoRegion {
  UmdGlobal global{};
  tFifo* pFifo = &global.WorkItemList.Fifo;
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  BYTE in[16] = {1, 2, 3}, out[16];
  FifoRegion() { global.ulSize = sizeof global, FifoInit(&global, pFifo, global.WorkItemList.Storage, WORK_ITEM_STORAGE_SIZE, sizeof(WorkItem)); }
  ~FifoRegion() { CloseHandle(hMutex); }
  LONG Add(HANDLE h) { return FifoAdd(&global, pFifo, in, h); }
  LONG Get() { return memset(out, 0xAB, sizeof out), FifoGet(&global, pFifo, out, hMutex); }
};

TEST(Fifo, CountAcrossWrapAroundGetOnEmptyAndAddWithoutMutex)
{
  struct { ULONG ulIn, ulOut; LONG lCount; } rows[] = { {2, 60, 6}, {0, 0, 0}, {63, 0, 63}, {0, 1, 63}, {60, 2, 58} };
  for (const auto& r : rows) EXPECT_EQ(FifoCount(r.ulIn, r.ulOut, 64), r.lCount) << r.ulIn << "/" << r.ulOut;
  FifoRegion f;
  EXPECT_EQ(f.Get(), 0);
  EXPECT_EQ(std::vector<BYTE>(f.out, f.out + 16), std::vector<BYTE>(16, 0xAB));
  EXPECT_EQ(f.Add(nullptr), -1);
  EXPECT_TRUE(f.Add(f.hMutex) == 1 && f.Add(f.hMutex) == 2);
  EXPECT_EQ(f.Get(), 2);
  EXPECT_EQ(memcmp(f.out, f.in, sizeof f.in), 0);
}

// A mutex another thread holds past the region's bound: the get reads nothing.
TEST(SlowFifo, GetWithoutItsMutexTouchesNothing)
{
  FifoRegion f;
  ASSERT_EQ(f.Add(f.hMutex), 1);
  HANDLE hHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr), hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    WaitForSingleObject(f.hMutex, INFINITE);
    SetEvent(hHeld), WaitForSingleObject(hRelease, INFINITE), ReleaseMutex(f.hMutex);
  });
  EXPECT_EQ(WaitForSingleObject(hHeld, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(f.Get(), 0);
  EXPECT_TRUE(f.out[0] == 0xAB && f.pFifo->ulOut == 0);
  SetEvent(hRelease), holder.join();
  CloseHandle(hHeld), CloseHandle(hRelease);
}

}  // namespace
