// Second process for the multi-process tests. Usage:
//   drav_child log <count> <tag>   writes <count> trace lines through DRAVMOU.dll's trace log
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
    return 0;
  }
  fprintf(stderr, "usage: drav_child log <count> <tag>\n");
  return 2;
}
