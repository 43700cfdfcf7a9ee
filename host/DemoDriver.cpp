// The two drivers the demo can run its story against.
#include "host/DemoDriver.h"

#include <cstdio>
#include <cstring>

#include "simdrv/SimDrv.h"
#include "testdrv/TestDrvClient.h"

namespace {

// ---- Simulated driver -------------------------------------------------------------

ULONG SimAdd(const char* sInstanceId, DWORD diNode, BOOL bPlug)
{
  // The interface path the system would give it: the instance ID with '#' for '\'.
  char sPath[MAX_PATH];
  snprintf(sPath, sizeof sPath, "\\\\?\\%s#{5a486531-0201-43e0-bd81-d544bb08d0dc}", sInstanceId);
  for (char* p = sPath + 4; *p != '\0'; ++p) {
    *p = *p == '\\' ? '#' : *p;
  }
  SimDrvDeviceDesc desc = {};
  desc.sPath = sPath;
  desc.sInstanceId = sInstanceId;
  desc.diNode = diNode;
  desc.ulParentCount = 1;
  desc.Parents[0] = diNode - 1;
  return bPlug ? SimDrvPlugDevice(&desc) : SimDrvAddDeviceEx(&desc);
}

BOOL SimUnplug(ULONG ulDevice)
{
  return SimDrvUnplugDevice(ulDevice, FALSE);
}

BOOL SimIsDevice(const UmdDevInfo* pInfo, ULONG ulDevice)
{
  return pInfo->hHandle != nullptr && SimDrvDeviceOfHandle(pInfo->hHandle) == ulDevice;
}

BOOL SimRequest(ULONG ulIndex, DemoRequest* pRequest)
{
  SimDrvRequest r = {};
  if (!SimDrvGetRequest(ulIndex, &r)) {
    return FALSE;
  }
  *pRequest = { r.ulDevice, r.dwIoctl, r.ulInSize, 0 };
  memcpy(&pRequest->ulFirstWord, r.In, r.ulInSize >= 4 ? 4 : 0);
  return TRUE;
}

const DemoDriver kSimulated = { "the simulated driver", TRUE, SimAdd, SimUnplug, SimIsDevice, SimDrvQueueEvent,
                                SimRequest, SimDrvOpenHandleCount };

// ---- Kernel test driver -------------------------------------------------------------

ULONG KernelAdd(const char* sInstanceId, DWORD, BOOL)
{
  return TestDrvPlug(sInstanceId);
}

BOOL KernelIsDevice(const UmdDevInfo* pInfo, ULONG ulDevice)
{
  char sPath[MAX_PATH];
  return TestDrvInterfacePath(ulDevice, sPath, sizeof sPath) && _stricmp(sPath, pInfo->sPath) == 0;
}

BOOL KernelRequest(ULONG ulIndex, DemoRequest* pRequest)
{
  TestDrvRequest r = {};
  if (!TestDrvGetRequest(ulIndex, &r)) {
    return FALSE;
  }
  *pRequest = { r.ulChild, r.ulIoctl, r.ulInSize, 0 };
  memcpy(&pRequest->ulFirstWord, r.In, r.ulInSize >= 4 ? 4 : 0);
  return TRUE;
}

const DemoDriver kKernel = { "the kernel test driver", FALSE, KernelAdd, TestDrvUnplug, KernelIsDevice,
                             TestDrvQueueEvent, KernelRequest, TestDrvOpenHandleCount };

}  // namespace

const DemoDriver* DemoSimulatedDriver()
{
  return &kSimulated;
}

const DemoDriver* DemoKernelDriver(const char* sFolder)
{
  if (!TestDrvInstall(sFolder) || !TestDrvConnect()) {
    return nullptr;
  }
  TestDrvReset();
  return &kKernel;
}
