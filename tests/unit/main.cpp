// Test entry: the static copy of the plug-in code traces as the DLL would.
#include <gtest/gtest.h>

#include "diag/Trace.h"

int main(int argc, char** argv)
{
  TraceStart("DRAVMOU", TRACE_CAT_MODULE);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
