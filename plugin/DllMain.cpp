// Library entry: under the loader lock only the trace log and the heap.
#include <windows.h>

#include "plugin/Mou.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID pReserved)
{
  switch (dwReason) {
  case DLL_PROCESS_ATTACH:
    return MouProcessAttach();
  case DLL_PROCESS_DETACH:
    // Null when unloaded from a process that goes on, not when the process ends.
    return MouProcessDetach(pReserved == nullptr);
  default:
    return TRUE;
  }
}
