// Second process for the multi-process tests. Modes:
//   drav_child log <count> <tag> [holdms]   writes <count> trace lines, then waits holdms
//   drav_child switches                      exit code: bit 1 info switch, bit 0 warning switch,
//                                            as they stand after the first passing line
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/Trace.h"
#include "diag/TraceInternal.h"

int main(int argc, char** argv)
{
  if (argc >= 4 && strcmp(argv[1], "log") == 0) {
    int count = atoi(argv[2]);
    TraceInit("CHILD");
    for (int i = 0; i < count; ++i) {
      TraceSetFunction("ChildWriter");
      TraceInfo("%s line %05d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", argv[3], i);
    }
    if (argc >= 5) {
      Sleep(atoi(argv[4]));
    }
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "switches") == 0) {
    TraceInit("CHILD");
    TraceSetFunction("ChildSwitches");
    TraceError("first line");
    return (g_bTraceInfo ? 2 : 0) | (g_bTraceWarnings ? 1 : 0);
  }
  fprintf(stderr, "usage: drav_child log <count> <tag> [holdms] | switches\n");
  return 2;
}
