// Test entry: the static copy of the plug-in code traces as the DLL would.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "diag/Trace.h"

// The suite runs with brief output; a crash would otherwise not say where.
static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pInfo)
{
  const testing::TestInfo* pTest = testing::UnitTest::GetInstance()->current_test_info();
  fprintf(stderr, "exception 0x%08lX in %s.%s\n", pInfo->ExceptionRecord->ExceptionCode,
          pTest != nullptr ? pTest->test_suite_name() : "?", pTest != nullptr ? pTest->name() : "?");
  fflush(stderr);
  return EXCEPTION_CONTINUE_SEARCH;
}

// Nor would a hang: name a test that runs for more than three minutes.
static DWORD WINAPI WatchForHangs(void*)
{
  const testing::TestInfo* pLast = nullptr;
  ULONG ulSeconds = 0;
  for (;;) {
    Sleep(1000);
    const testing::TestInfo* pTest = testing::UnitTest::GetInstance()->current_test_info();
    ulSeconds = pTest == pLast ? ulSeconds + 1 : 0;
    pLast = pTest;
    if (pTest != nullptr && ulSeconds == 180) {
      fprintf(stderr, "%s.%s still running after %lu s\n", pTest->test_suite_name(), pTest->name(), ulSeconds);
      fflush(stderr);
    }
  }
}

int main(int argc, char** argv)
{
  TraceStart("DRAVMOU", TRACE_CAT_MODULE);
  SetUnhandledExceptionFilter(ReportCrash);
  CloseHandle(CreateThread(nullptr, 0, WatchForHangs, nullptr, 0, nullptr));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
