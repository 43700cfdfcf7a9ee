// Device-change queue: coalescing of notifications for one path.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/UmdChange.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr ULONG A = DBT_DEVICEARRIVAL;
constexpr ULONG R = DBT_DEVICEREMOVECOMPLETE;
using Changes = std::vector<std::pair<ULONG, std::string>>;

class ChangeQueueTest : public testing::Test {
public:
  UmdGlobal g = {};
  void SetUp() override
  {
    g.DeviceChangeQueue.pNext = g.DeviceChangeQueue.pPrev = &g.DeviceChangeQueue;
    InitializeCriticalSection(&g.csDeviceChangeQueue);
  }
  void TearDown() override
  {
    UmdFlushDeviceChanges(&g);
    DeleteCriticalSection(&g.csDeviceChangeQueue);
  }
  void Queue(ULONG ulAction, const std::string& sPath)
  {
    UmdEnqueueDeviceChange(&g, ulAction, sPath.c_str(), (ULONG)sPath.size() + 1);
  }
  Changes Drain()
  {
    Changes out;
    while (UmdDeviceChange* p = UmdDequeueDeviceChange(&g)) {
      out.emplace_back(p->ulAction, p->path);
      UmdFreeDeviceChange(p);
    }
    return out;
  }
};

}  // namespace

TEST_F(ChangeQueueTest, NotificationsForOnePathCoalesceAsTheTableSays)
{
  struct Case {
    Changes in, out;
    const char* sLine;   // the line the last notification writes
  } cases[] = {
    { { { A, "p1" }, { R, "P1" } }, {}, "discarding queued arrival and the new removal notification" },
    { { { R, "p1" }, { A, "p1" } }, { { R, "p1" }, { A, "p1" } },
      "queuing new arrival for device with a removal already in the queue" },
    { { { A, "p1" }, { A, "P1" } }, { { A, "p1" }, { A, "P1" } }, "Duplicate DBT_DEVICEARRIVAL notifications for P1" },
    { { { R, "p1" }, { R, "p1" } }, { { R, "p1" }, { R, "p1" } },
      "Duplicate DBT_DEVICEREMOVECOMPLETE notifications for p1" },
    // The newest entry with the path decides: the removal meets the second arrival.
    { { { A, "p1" }, { R, "p1" }, { A, "p1" }, { A, "p2" }, { R, "p1" } }, { { A, "p2" } },
      "discarding queued arrival" },
    { { { A, "p1" }, { R, "p2" } }, { { A, "p1" }, { R, "p2" } }, "queuing action=32772 path=p2" },
  };
  for (const Case& c : cases) {
    TraceCapture capture;
    for (const auto& n : c.in) Queue(n.first, n.second);
    EXPECT_TRUE(capture.Contains(c.sLine)) << c.sLine;
    EXPECT_EQ(Drain(), c.out) << c.sLine;
  }
  TraceCapture capture;
  UmdEnqueueDeviceChange(&g, A, nullptr, 10);   // no path: nothing queued
  EXPECT_TRUE(Drain().empty() && capture.Contains("UmdEnqueueDeviceChange - str is NULL"));
}

TEST_F(ChangeQueueTest, ProducersOnTwoThreadsLoseNothing)
{
  struct Args { ChangeQueueTest* pTest; char cTag; } args[2] = { { this, 'x' }, { this, 'y' } };
  auto producer = [](void* p) -> DWORD {
    Args* a = static_cast<Args*>(p);
    for (int i = 0; i < 200; ++i) a->pTest->Queue(A, a->cTag + std::to_string(i));
    return 0;
  };
  HANDLE h[2];
  for (int i = 0; i < 2; ++i) h[i] = CreateThread(nullptr, 0, producer, &args[i], CREATE_SUSPENDED, nullptr);
  for (HANDLE hThread : h) ResumeThread(hThread);   // both at once
  ASSERT_EQ(WaitForMultipleObjects(2, h, TRUE, 30000), WAIT_OBJECT_0);
  // All there, and each producer's entries in their order.
  int next[2] = { 0, 0 };
  for (const auto& e : Drain()) EXPECT_EQ(e.second.substr(1), std::to_string(next[e.second[0] == 'y']++));
  EXPECT_TRUE(next[0] == 200 && next[1] == 200);
  for (HANDLE hThread : h) CloseHandle(hThread);
}
