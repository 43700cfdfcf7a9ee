// Lines per second posted to the debug viewer ring, by one and by two writer
// threads, beside OutputDebugStringA of the same lines. Prints figures only.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
  double small = PostRun(p, 1, (int)(BS_RING_SIZE / cbAverage) - 10, lines);
  printf("  ring, 1 writer, no drops:  %12.0f lines/s  (first fill of an empty ring)\n", small);

  constexpr int kOdsLines = 20000;
  LARGE_INTEGER a, b;
  QueryPerformanceCounter(&a);
  for (int i = 0; i < kOdsLines; ++i) {
    OutputDebugStringA(lines[i % lines.size()].c_str());
  }
  QueryPerformanceCounter(&b);
  printf("  OutputDebugStringA:        %12.0f lines/s  (%d lines)\n", kOdsLines / Seconds(a, b), kOdsLines);
  ResetRing(p);
  return 0;
}
