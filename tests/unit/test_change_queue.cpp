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
  std::vector<std::pair<ULONG, std::string>> Drain()
  {
    std::vector<std::pair<ULONG, std::string>> out;
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
  using Queue_t = std::vector<std::pair<ULONG, std::string>>;
  struct Case {
    const char* sName;
    Queue_t in;
    Queue_t out;
    const char* sLine;   // the line the second notification writes
  } cases[] = {
    { "arrival then removal vanish", { { A, "p1" }, { R, "P1" } }, {},
      "discarding queued arrival and the new removal notification" },
    { "removal then arrival stay in order", { { R, "p1" }, { A, "p1" } }, { { R, "p1" }, { A, "p1" } },
      "queuing new arrival for device with a removal already in the queue" },
    { "two arrivals stay", { { A, "p1" }, { A, "P1" } }, { { A, "p1" }, { A, "P1" } },
      "Duplicate DBT_DEVICEARRIVAL notifications for P1" },
    { "two removals stay", { { R, "p1" }, { R, "p1" } }, { { R, "p1" }, { R, "p1" } },
      "Duplicate DBT_DEVICEREMOVECOMPLETE notifications for p1" },
    // The newest entry with the path decides: the removal meets the second arrival.
    { "newest entry decides", { { A, "p1" }, { R, "p1" }, { A, "p1" }, { A, "p2" }, { R, "p1" } },
      { { A, "p2" } }, "discarding queued arrival" },
    { "other paths are independent", { { A, "p1" }, { R, "p2" } }, { { A, "p1" }, { R, "p2" } }, "queuing action=32772 path=p2" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sName);
    TraceCapture capture;
    for (const auto& n : c.in) Queue(n.first, n.second);
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(Drain(), c.out);
  }
}

TEST_F(ChangeQueueTest, PathsWithoutTerminatorAreCopiedWholeAndTerminated)
{
  TraceCapture capture;
  const char raw[] = { 'a', 'b', 'c', 'd' };   // no zero within its byte count
  UmdEnqueueDeviceChange(&g, A, raw, sizeof raw);
  EXPECT_TRUE(capture.Contains("Device path was not null terminated"));
  UmdEnqueueDeviceChange(&g, A, nullptr, 10);
  EXPECT_TRUE(capture.Contains("UmdEnqueueDeviceChange - str is NULL"));
  // A terminated path keeps every byte passed, up to its zero.
  const char padded[] = "xy\0zz";
  UmdEnqueueDeviceChange(&g, R, padded, sizeof padded);
  auto drained = Drain();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_EQ(drained[0].second, "abcd");
  EXPECT_EQ(drained[1].second, "xy");
  EXPECT_TRUE(capture.Contains("UmdDequeueDeviceChange - queue is empty"));
}

TEST_F(ChangeQueueTest, ProducersOnTwoThreadsLoseNothing)
{
  struct Args { ChangeQueueTest* pTest; char cTag; HANDLE hGo; };
  auto producer = [](void* p) -> DWORD {
    Args* a = static_cast<Args*>(p);
    WaitForSingleObject(a->hGo, INFINITE);
    for (int i = 0; i < 200; ++i) {
      std::string s = std::string(1, a->cTag) + std::to_string(i);
      a->pTest->Queue(A, s);
    }
    return 0;
  };
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Args a1 = { this, 'x', hGo }, a2 = { this, 'y', hGo };
  HANDLE h[2] = { CreateThread(nullptr, 0, producer, &a1, 0, nullptr),
                  CreateThread(nullptr, 0, producer, &a2, 0, nullptr) };
  SetEvent(hGo);
  ASSERT_EQ(WaitForMultipleObjects(2, h, TRUE, 30000), WAIT_OBJECT_0);
  auto drained = Drain();
  EXPECT_EQ(drained.size(), 400u);
  // Each producer's entries keep their order.
  int next[2] = { 0, 0 };
  for (const auto& e : drained) {
    int k = e.second[0] == 'x' ? 0 : 1;
    EXPECT_EQ(e.second.substr(1), std::to_string(next[k]++));
  }
  CloseHandle(h[0]);
  CloseHandle(h[1]);
  CloseHandle(hGo);
}
