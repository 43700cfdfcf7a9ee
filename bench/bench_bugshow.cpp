// Lines per second posted to the debug viewer ring, by one and by two writer
// threads, beside OutputDebugStringA of the same lines and beside a bare
// SetEvent loop on the channel's event (a post signals it once per line, so
// that is the floor). Prints figures only.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/BenchRow.h"
#include "diag/BsRing.h"
#include "diag/BugShow.h"
#include "diag/Trace.h"
#include "diag/TraceInternal.h"

namespace {

std::vector<std::string> MakeLines()
{
  std::vector<std::string> lines;
  for (int i = 0; i < 64; ++i) {
    char s[64];
    snprintf(s, sizeof s, "DRAVMOU <%04d> BenchWriter - line %05d ", 1000 + i, i);
    lines.push_back(std::string(s) + std::string((size_t)(i * 29 % 150), 'x') + "\n");
  }
  return lines;
}

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b)
{
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

void ResetRing(BsSharedData* p)
{
  memset(p->ucRing, 0, sizeof p->ucRing);
  p->ulHead = 0;
  p->ulTail = 0;
  p->ulDroppedInfo = p->ulDroppedWarnings = p->ulDroppedErrors = 0;
  p->bDisabled = 0;
}

// Each of nThreads posts nLines lines; returns lines per second over all.
double PostRun(BsSharedData* p, int nThreads, int nLines, const std::vector<std::string>& lines)
{
  ResetRing(p);
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < nThreads; ++t) {
    threads.emplace_back([&, t] {
      WaitForSingleObject(hGo, INFINITE);
      for (int i = 0; i < nLines; ++i) {
        BsPostLine(i % 7 == 0 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, lines[(i + t) % lines.size()].c_str());
      }
    });
  }
  Sleep(50);
  LARGE_INTEGER a, b;
  QueryPerformanceCounter(&a);
  SetEvent(hGo);
  for (auto& th : threads) {
    th.join();
  }
  QueryPerformanceCounter(&b);
  CloseHandle(hGo);
  return double(nThreads) * nLines / Seconds(a, b);
}

// One writer on this thread into a ring with room: lines per second over
// nFills fills of the empty ring, the resets not timed.
double PostIntoRoom(BsSharedData* p, int nFills, int nLinesPerFill, const std::vector<std::string>& lines)
{
  double dSeconds = 0.0;
  for (int f = 0; f < nFills; ++f) {
    ResetRing(p);
    double dStart = BenchNow();
    for (int i = 0; i < nLinesPerFill; ++i) {
      BsPostLine(TRACE_CAT_INFO, lines[i % lines.size()].c_str());
    }
    dSeconds += BenchNow() - dStart;
  }
  bool bDropped = p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors != 0;
  return bDropped ? 0.0 : double(nFills) * nLinesPerFill / dSeconds;
}

template <typename Fn>
double LinesPerSecond(int nLines, Fn fn)
{
  double dStart = BenchNow();
  for (int i = 0; i < nLines; ++i) {
    fn(i);
  }
  return nLines / (BenchNow() - dStart);
}

}  // namespace

int main()
{
  TraceStart("BENCH", TRACE_CAT_MODULE);
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  pSlot->ulNesting++;
  BsInitializeClient();
  pSlot->ulNesting--;
  auto* p = static_cast<BsSharedData*>(g_pBsData);
  if (p == nullptr) {
    printf("bench_bugshow: the channel region could not be opened\n");
    return 1;
  }
  g_dwBsFlags = 0;   // the run's own trace lines stay out of the ring
  const std::vector<std::string> lines = MakeLines();
  size_t cbAverage = 0;
  for (const auto& l : lines) {
    cbAverage += BsRingRecordSize(BsRingTextLength(l.size()));
  }
  cbAverage /= lines.size();
  constexpr int kLines = 200000;

  printf("bench_bugshow: %d lines per writer, records of %zu bytes on average, nobody reading\n", kLines, cbAverage);
  printf("  (the ring fills after about %zu lines; from then on every post drops the oldest)\n",
         (size_t)BS_RING_SIZE / cbAverage);
  double one = PostRun(p, 1, kLines, lines);
  printf("  ring, 1 writer:            %12.0f lines/s  (dropped %lu)\n", one,
         (unsigned long)(p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors));
  double two = PostRun(p, 2, kLines, lines);
  printf("  ring, 2 writers:           %12.0f lines/s  (dropped %lu, disabled %lu)\n", two,
         (unsigned long)(p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors), (unsigned long)p->bDisabled);

  // The rows: one writer into a ring with room, as when the viewer keeps up,
  // against the same count of lines through OutputDebugStringA and of bare
  // signals; alternated, best of each.
  HANDLE hEvent = g_hBsEvent;
  if (hEvent == nullptr) {
    printf("bench_bugshow: the channel has no event\n");
    return 1;
  }
  const int nLinesPerFill = (int)(BS_RING_SIZE / cbAverage) - 10;
  constexpr int kFills = 20;
  constexpr int kRounds = 5;
  const int nLines = kFills * nLinesPerFill;
  double dRing = 0.0, dOds = 0.0, dSignal = 0.0;
  for (int r = 0; r < kRounds; ++r) {
    double d = PostIntoRoom(p, kFills, nLinesPerFill, lines);
    if (d == 0.0) {
      printf("bench_bugshow: lines were dropped from a ring with room\n");
      return 1;
    }
    dRing = d > dRing ? d : dRing;
    d = LinesPerSecond(nLines, [&](int i) { OutputDebugStringA(lines[i % lines.size()].c_str()); });
    dOds = d > dOds ? d : dOds;
    d = LinesPerSecond(nLines, [&](int) { SetEvent(hEvent); });
    dSignal = d > dSignal ? d : dSignal;
  }
  printf("  ring with room, 1 writer:  %12.0f lines/s  (%d fills of %d lines, best of %d)\n", dRing, kFills,
         nLinesPerFill, kRounds);
  printf("  OutputDebugStringA:        %12.0f lines/s  (%d lines)\n", dOds, nLines);
  printf("  SetEvent on the channel:   %12.0f calls/s  (%d calls)\n", dSignal, nLines);
  BenchRow("viewer posting, 1 writer, ring with room", dRing, "lines/s", "OutputDebugStringA, same lines", dOds);
  BenchRow("viewer posting, 1 writer, ring with room", dRing, "lines/s", "bare SetEvent loop, one per line", dSignal);
  ResetRing(p);
  return 0;
}
