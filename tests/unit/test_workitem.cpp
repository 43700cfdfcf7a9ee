// The FIFO and the work-item thread, on the instance record as region base.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdRecords.h"
#include "system/WndWorkItem.h"
#include "tests/unit/TestSupport.h"

namespace {

struct Recorder {
  HANDLE hInside;
  HANDLE hRelease;
  HANDLE hDone;
  std::vector<int> order;   // written by the work-item thread only
  int iLast;
};
Recorder* g_pRec = nullptr;

void BlockRoutine(void*)
{
  SetEvent(g_pRec->hInside);
  WaitForSingleObject(g_pRec->hRelease, INFINITE);
}

void RecordRoutine(void* pContext)
{
  int i = static_cast<int>(reinterpret_cast<INT_PTR>(pContext));
  g_pRec->order.push_back(i);
  if (i == g_pRec->iLast) {
    SetEvent(g_pRec->hDone);
  }
}

class WorkItemThread : public ::testing::Test {
protected:
  void SetUp() override
  {
    memset(&m_global, 0, sizeof m_global);
    m_global.ulSize = sizeof(UmdGlobal);
    m_rec.hInside = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_rec.hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_rec.hDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_pRec = &m_rec;
    m_dwLevel = g_dwDebugLevel;
    g_dwDebugLevel |= 0x200;   // the FIFO's lines
  }
  void TearDown() override
  {
    g_pRec = nullptr;
    g_dwDebugLevel = m_dwLevel;
    CloseHandle(m_rec.hInside);
    CloseHandle(m_rec.hRelease);
    CloseHandle(m_rec.hDone);
  }
  UmdGlobal m_global;
  Recorder m_rec{};
  DWORD m_dwLevel = 0;
};

TEST_F(WorkItemThread, HoldsSixtyThreeRunsThemInOrderAndStoresNothingAfterCleanup)
{
  TraceCapture capture;
  tWorkItemList* pWList = &m_global.WorkItemList;
  ASSERT_TRUE(WndInitWorkItemList(&m_global, pWList));
  EXPECT_TRUE(capture.Contains("FifoInit - Storage 1024. Elements 16 -> FifoSize 64 Elements."));
  ASSERT_NE(pWList->hThread, nullptr);

  m_rec.iLast = 62;
  ASSERT_TRUE(WndQueueWorkItem(pWList, BlockRoutine, nullptr));
  ASSERT_EQ(WaitForSingleObject(m_rec.hInside, 10000), WAIT_OBJECT_0);
  for (int i = 0; i < 63; ++i) {
    ASSERT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, reinterpret_cast<void*>(static_cast<INT_PTR>(i))));
  }
  EXPECT_EQ(FifoCount(pWList->Fifo.ulIn, pWList->Fifo.ulOut, pWList->Fifo.ulFifoSize), 63);
  EXPECT_FALSE(capture.Contains("FifoAdd - Fifo is FULL."));
  // The 64th is dropped, yet the queue call reports success.
  EXPECT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, reinterpret_cast<void*>(static_cast<INT_PTR>(99))));
  EXPECT_EQ(capture.Count("FifoAdd - Fifo is FULL."), 1u);
  EXPECT_EQ(FifoCount(pWList->Fifo.ulIn, pWList->Fifo.ulOut, pWList->Fifo.ulFifoSize), 63);
  EXPECT_FALSE(WndQueueWorkItem(pWList, nullptr, nullptr));

  SetEvent(m_rec.hRelease);
  ASSERT_EQ(WaitForSingleObject(m_rec.hDone, 10000), WAIT_OBJECT_0);
  ASSERT_EQ(m_rec.order.size(), 63u);
  for (int i = 0; i < 63; ++i) {
    EXPECT_EQ(m_rec.order[i], i);
  }

  EXPECT_TRUE(WndCleanupWorkItemList(pWList));
  EXPECT_EQ(pWList->hThread, nullptr);
  EXPECT_EQ(pWList->hEvent, nullptr);
  EXPECT_EQ(pWList->hMutex, nullptr);
  ULONG ulIn = pWList->Fifo.ulIn;
  EXPECT_TRUE(WndQueueWorkItem(pWList, RecordRoutine, nullptr));
  EXPECT_EQ(pWList->Fifo.ulIn, ulIn);
}

TEST(Fifo, CountAcrossWrapAround)
{
  struct { ULONG ulIn, ulOut; LONG lCount; } rows[] = {
      {2, 60, 6}, {0, 0, 0}, {63, 0, 63}, {0, 1, 63}, {60, 2, 58},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(FifoCount(r.ulIn, r.ulOut, 64), r.lCount) << r.ulIn << "/" << r.ulOut;
  }
}

TEST(Fifo, GetOnEmptyLeavesOutputAndAddRefusesMissingMutex)
{
  UmdGlobal global{};
  global.ulSize = sizeof(UmdGlobal);
  tWorkItemList* pWList = &global.WorkItemList;
  FifoInit(&global, &pWList->Fifo, pWList->Storage, WORK_ITEM_STORAGE_SIZE, sizeof(WorkItem));
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  BYTE out[16];
  memset(out, 0xAB, sizeof out);
  EXPECT_EQ(FifoGet(&global, &pWList->Fifo, out, hMutex), 0);
  for (BYTE b : out) {
    EXPECT_EQ(b, 0xAB);
  }
  BYTE in[16] = {1, 2, 3};
  EXPECT_EQ(FifoAdd(&global, &pWList->Fifo, in, nullptr), -1);
  EXPECT_EQ(FifoAdd(&global, &pWList->Fifo, in, hMutex), 1);
  EXPECT_EQ(FifoAdd(&global, &pWList->Fifo, in, hMutex), 2);
  EXPECT_EQ(FifoGet(&global, &pWList->Fifo, out, hMutex), 2);
  EXPECT_EQ(memcmp(out, in, sizeof in), 0);
  CloseHandle(hMutex);
}

// A mutex another thread holds past the region's bound: the get reads nothing.
TEST(SlowFifo, GetWithoutItsMutexTouchesNothing)
{
  UmdGlobal global{};
  global.ulSize = sizeof(UmdGlobal);
  tWorkItemList* pWList = &global.WorkItemList;
  FifoInit(&global, &pWList->Fifo, pWList->Storage, WORK_ITEM_STORAGE_SIZE, sizeof(WorkItem));
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  BYTE in[16] = {7};
  ASSERT_EQ(FifoAdd(&global, &pWList->Fifo, in, hMutex), 1);
  struct Holder { HANDLE hMutex, hHeld, hRelease; } h{hMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                                                    CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE hThread = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
    Holder* ph = static_cast<Holder*>(p);
    WaitForSingleObject(ph->hMutex, INFINITE);
    SetEvent(ph->hHeld);
    WaitForSingleObject(ph->hRelease, INFINITE);
    ReleaseMutex(ph->hMutex);
    return 0;
  }, &h, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(h.hHeld, 10000), WAIT_OBJECT_0);
  BYTE out[16];
  memset(out, 0xAB, sizeof out);
  EXPECT_EQ(FifoGet(&global, &pWList->Fifo, out, hMutex), 0);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(pWList->Fifo.ulOut, 0u);
  SetEvent(h.hRelease);
  WaitForSingleObject(hThread, 10000);
  for (HANDLE x : {hThread, h.hHeld, h.hRelease, hMutex}) {
    CloseHandle(x);
  }
}

}  // namespace
