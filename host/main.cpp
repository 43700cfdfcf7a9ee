// Demo session of the reference host: bind the plug-in, ask for its version and
// send a few device-control requests, printing every result by name.
#include <windows.h>

#include <cstdio>

#include "host/RefHost.h"
#include "plugin/LdCodes.h"

static void PumpMessages()
{
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

int main(int argc, char** argv)
{
  const char* sDll = argc > 1 ? argv[1] : "DRAVMOU.dll";
  RefHostPlugin plugin;
  if (!RefHostLoadPlugin(&plugin, sDll)) {
    printf("could not load %s by ordinal (error %lu)\n", sDll, GetLastError());
    return 1;
  }
  printf("loaded %s: 8 exports by ordinal\n", sDll);

  RefHost* pHost = RefHostGet();
  if (!RefHostInit(pHost)) {
    printf("host set-up failed\n");
    return 1;
  }
  ULONG ulBound = plugin.MouMainInit(pHost->Api, 0, 0);
  printf("MouMainInit -> %lu\n", ulBound);

  ULONG version[2] = { 0xFFFFFFFF, 0xFFFFFFFF };
  ULONG ulResult = plugin.MouControl(LD_API_GET_VERSION, version, 0, 0);
  printf("MouControl(LD_API_GET_VERSION) -> %lu, version words %lu %lu\n", ulResult, version[0], version[1]);
  printf("MouControl(LD_API_SUSPEND) -> %lu\n", plugin.MouControl(LD_API_SUSPEND, nullptr, 0, 0));
  printf("MouControl(7) -> %lu\n", plugin.MouControl(7, nullptr, 0, 0));

  struct Request { const char* sWhat; ULONG ulFunction; };
  const Request requests[] = {
    { "plug-in wide", LD_SET_MOUSE_DRIVER_TYPE },
    { "plug-in wide", LD_GET_MOUSE_DRIVER_TYPE },
    { "plug-in wide", LD_GET_MOUSE_SPEED },
    { "plug-in wide", LD_GET_MOUSE_BUTTON_MAPPING },
    { "plug-in wide", 0x7000000 },
  };
  for (const Request& r : requests) {
    ULONG record[36] = { 8, 1 };
    ULONG ulSize = 0xFFFFFFFF;
    LD_STATUS status = plugin.MouDeviceControl(nullptr, r.ulFunction, record, &ulSize, 0);
    printf("MouDeviceControl(%s, %s) -> %s, returned size %lu\n", r.sWhat, LdFunctionToString(r.ulFunction),
           LdStatusToString(status), ulSize);
  }

  PumpMessages();
  printf("MouMainExit -> %lu\n", plugin.MouMainExit(0, 0));
  PumpMessages();
  RefHostShutdown(pHost);
  RefHostUnloadPlugin(&plugin);
  return 0;
}
