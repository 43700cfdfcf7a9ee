// The driver behind the demo's devices: the simulated one in this process, or
// the kernel test driver that Wine's device service runs. The story is the
// same; only what the system can deliver differs (see bBroadcasts).
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

// A request the driver received, as the demo looks at it.
struct DemoRequest {
  ULONG ulDevice;
  DWORD dwIoctl;
  ULONG ulInSize;
  ULONG ulFirstWord;   // the parameter of a get or set (0 when shorter)
};

struct DemoDriver {
  const char* sName;
  // Device arrivals and removals reach the plug-in's window as records it can
  // read; otherwise an enumeration has to find them.
  BOOL bBroadcasts;
  // Adds a device with this instance ID ("HID\VID_...\serial"); bPlug: with
  // the arrival broadcast, else present from the start. Its id, 0 on failure.
  ULONG (*pfnAdd)(const char* sInstanceId, DWORD diNode, BOOL bPlug);
  BOOL (*pfnUnplug)(ULONG ulDevice);
  // Is the plug-in's device (its block) this driver device?
  BOOL (*pfnIsDevice)(const UmdDevInfo* pInfo, ULONG ulDevice);
  BOOL (*pfnQueueEvent)(ULONG ulDevice, const void* pPacket, ULONG ulSize);
  // The requests the driver received, oldest first; FALSE past the last.
  BOOL (*pfnRequest)(ULONG ulIndex, DemoRequest* pRequest);
  ULONG (*pfnOpenHandles)(ULONG ulDevice);
};

const DemoDriver* DemoSimulatedDriver();
// Installs and connects the kernel test driver (files in sFolder); null when it
// cannot run.
const DemoDriver* DemoKernelDriver(const char* sFolder);
