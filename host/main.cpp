// Demo session of the reference host: start the debug viewer, load the model
// files, bind the plug-in on the host's binding thread, ask for its version;
// let it find mice, work with one (settings, chording events), plug and unplug
// others and move its event registrations out and back; take settings there
// and back on a few more simulated devices, printing every result by name; at
// the end, what the viewer showed of the plug-in's lines. Any step that did
// not happen fails the run. The mice are the simulated driver's, or with
// --driver the kernel test driver's, bound to the production DLL.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "diag/Trace.h"
#include "host/DemoDriver.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostPnp.h"
#include "host/RefHostReports.h"
#include "host/RefHostThread.h"
#include "host/RefHostViewer.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"

static LD_STATUS Control(RefHost* pHost, tDevice* pDevice, ULONG ulFunction, void* pRecord, ULONG* pSize,
                         ULONG ulMode = 0)
{
  *pSize = 0xFFFFFFFF;
  LD_STATUS status = RefHostDeviceControl(pHost, pDevice, ulFunction, pRecord, pSize, ulMode);
  printf("  %-34s -> %-28s size %lu\n", LdFunctionToString(ulFunction), LdStatusToString(status), *pSize);
  return status;
}

static void SettingsRoundTrips(RefHost* pHost, tDevice* pDevice)
{
  printf("%s (DUID 0x%08lX, type %lu):\n", pDevice->sDeviceName, pDevice->DUID, pDevice->ulDeviceType);
  ULONG ulSize;

  MouSpeedRecord speed = { sizeof speed, 40, 60 };
  Control(pHost, pDevice, LD_SET_MOUSE_SPEED, &speed, &ulSize);
  speed = { sizeof speed, 0, 0 };
  if (Control(pHost, pDevice, LD_GET_MOUSE_SPEED, &speed, &ulSize) == LD_SUCCESS) {
    printf("    speed set 40/60, read back %lu/%lu\n", speed.ulSpeedX, speed.ulSpeedY);
  }

  MouValueRecord level = { sizeof level, 3 };
  Control(pHost, pDevice, LD_SET_MOUSE_ACCELERATION, &level, &ulSize);
  level.ulValue = 0;
  if (Control(pHost, pDevice, LD_GET_MOUSE_ACCELERATION, &level, &ulSize) == LD_SUCCESS) {
    printf("    acceleration level read back %lu\n", level.ulValue);
  }
  MouCurveRecord curve = {};
  curve.ulSize = sizeof curve;
  curve.ulCurve = 3;
  if (Control(pHost, pDevice, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize) == LD_SUCCESS) {
    printf("    curve 3 has %lu points, first 0x%08lX\n", curve.ulPoints, curve.Points[0]);
  }

  MouWheelSpeedRecord wheel = { sizeof wheel, 2.0f, 0.5f };
  Control(pHost, pDevice, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize);
  wheel = { sizeof wheel, 0.0f, 0.0f };
  if (Control(pHost, pDevice, LD_GET_MOUSE_WHEEL_SPEED, &wheel, &ulSize) == LD_SUCCESS) {
    printf("    wheel speed set 2.0/0.5, read back %.2f/%.2f\n", wheel.Speed, wheel.Offset);
  }

  MouWheelResolutionRecord res = { sizeof res, 1, 0 };   // mode 2, state 1: hard enable
  Control(pHost, pDevice, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2);
  res = { sizeof res, 0, 0 };
  if (Control(pHost, pDevice, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2) == LD_SUCCESS) {
    printf("    wheel resolution enable %lu, resolution %lu\n", res.bEnableWheelResolution, res.ulWheelResolution);
  }
}

// The demo's own model comparison: USB vendor, product and revision under the
// model's mask, as the plug-in's USB comparison will do it.
struct UsbKey {
  USHORT usVid;
  USHORT usPid;
  USHORT usRev;
};

static BOOL CompareUsbKey(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey)
{
  const auto* k = static_cast<const UsbKey*>(pKey);
  if (ulKeySize != sizeof(UsbKey) || k->usVid != pModel->usVid || k->usPid != pModel->usPid) {
    return FALSE;
  }
  // Revision 0 in the model: any revision.
  return pModel->usBcdDevice == 0 || (k->usRev & pModel->usBcdMask) == (pModel->usBcdDevice & pModel->usBcdMask);
}

static ULONG FindModel(RefHost* pHost, USHORT usVid, USHORT usPid, USHORT usRev)
{
  UsbKey key = { usVid, usPid, usRev };
  const tModelInfo* pModel = HostFindModel(pHost->Api, CompareUsbKey, sizeof key, &key);
  printf("find model VID %04X PID %04X rev %04X -> ", usVid, usPid, usRev);
  if (pModel == nullptr) {
    printf("none\n");
    return 0;
  }
  printf("[%08lX-%lX] '%s'\n", pModel->ulSectionId, pModel->ulSectionSubId,
         pModel->sModelName ? pModel->sModelName : "-");
  return pModel->ulSectionId;
}

// Counts the record lines of the viewer's output by type and shows the first
// few of the plug-in. Returns the number of the plug-in's lines.
static ULONG ShowViewerOutput(const char* sFile)
{
  FILE* f = fopen(sFile, "r");
  if (f == nullptr) {
    printf("debug viewer output %s is missing\n", sFile);
    return 0;
  }
  char sPrefix[32];
  snprintf(sPrefix, sizeof sPrefix, "[%lu] #", GetCurrentProcessId());
  ULONG ulHost = 0, ulPlugin = 0, ulTypes[3] = {};
  char sLine[512];
  while (fgets(sLine, sizeof sLine, f) != nullptr) {
    if (strncmp(sLine, sPrefix, strlen(sPrefix)) != 0) {
      continue;
    }
    // "[pid] #sequence type text"
    const char* pType = strchr(sLine + strlen(sPrefix), ' ');
    if (pType == nullptr || pType[1] == '\0' || pType[2] != ' ') {
      continue;
    }
    ulTypes[pType[1] == 'e' ? 2 : pType[1] == 'w' ? 1 : 0]++;
    if (strncmp(pType + 3, "DRAVMOU ", 8) != 0) {
      ulHost++;
      continue;
    }
    if (++ulPlugin <= 6) {
      sLine[strcspn(sLine, "\r\n")] = '\0';
      printf("  %s\n", sLine);
    }
  }
  fclose(f);
  printf("debug viewer showed %lu lines of the plug-in and %lu of the host: %lu other, %lu warnings, %lu errors\n",
         ulPlugin, ulHost, ulTypes[0], ulTypes[1], ulTypes[2]);
  return ulPlugin;
}

// ---- Devices arriving, working and leaving through the plug-in's entry points ----

// Waits (bounded) until cond() holds; the plug-in works on its own threads.
template <typename Fn>
static bool DemoWait(Fn cond)
{
  for (int i = 0; i < 1000 && !cond(); ++i) {
    Sleep(10);
  }
  return cond();
}

struct DemoDeviceKey {
  const DemoDriver* pDriver;
  ULONG ulDevice;
};

static tDevice* DemoDeviceOf(RefHost* pHost, const DemoDriver* pDriver, ULONG ulDevice)
{
  DemoDeviceKey key = { pDriver, ulDevice };
  return RefHostFindDevice(
    pHost,
    [](tDevice* pDevice, const void* pKey) -> BOOL {
      const auto* k = static_cast<const DemoDeviceKey*>(pKey);
      UmdDevInfo* pInfo = RefHostDevInfo(pDevice);
      return pInfo != nullptr && k->pDriver->pfnIsDevice(pInfo, k->ulDevice);
    },
    &key);
}

// Set requests of one parameter the driver received for one device.
static ULONG DemoSetsOf(const DemoDriver* pDriver, ULONG ulDevice, ULONG ulParam)
{
  ULONG n = 0;
  DemoRequest r;
  for (ULONG i = 0; pDriver->pfnRequest(i, &r); ++i) {
    n += r.ulDevice == ulDevice && r.dwIoctl == IOCTL_RAWPDO_SET && r.ulInSize >= 4 && r.ulFirstWord == ulParam;
  }
  return n;
}

static ULONG DemoRequestsOf(const DemoDriver* pDriver, DWORD dwIoctl)
{
  ULONG n = 0;
  DemoRequest r;
  for (ULONG i = 0; pDriver->pfnRequest(i, &r); ++i) {
    n += r.dwIoctl == dwIoctl;
  }
  return n;
}

// What went wrong, repeated at the end so that it shows even where only the
// last lines of the session are read.
static std::string s_sFailed;

static void DemoFailed(const char* sWhat)
{
  s_sFailed += s_sFailed.empty() ? "" : "; ";
  s_sFailed += sWhat;
}

#define DEMO_STEP(ok, ...)                                  \
  do {                                                      \
    bool bOk_ = (ok);                                       \
    char sStep_[256];                                       \
    snprintf(sStep_, sizeof sStep_, __VA_ARGS__);           \
    printf("%s %s\n", bOk_ ? "  ok " : "  FAILED", sStep_); \
    if (!bOk_) DemoFailed(sStep_);                          \
    bAll = bAll && bOk_;                                    \
  } while (0)

static bool DevicesStory(RefHost* pHost, RefHostThread* pThread, const RefHostPlugin* pPlugin,
                         const DemoDriver* pDriver)
{
  bool bAll = true;
  printf("\nDevices through the plug-in's entry points, behind %s:\n", pDriver->sName);
  ULONG ulPlain = pDriver->pfnAdd("HID\\VID_3F1D&PID_C01E\\DEMO&1", 0x7001, FALSE);
  ULONG ulSlot = pDriver->pfnAdd("HID\\VID_3F1D&PID_C031&WI_02\\DEMO&2", 0x7011, FALSE);
  ULONG ulForeign = pDriver->pfnAdd("HID\\VID_046D&PID_C077\\DEMO&3", 0x7021, FALSE);
  printf("  three devices present: a mouse, a mouse behind receiver slot 2, another vendor's device without a model\n");

  ULONG ulBefore = RefHostDeviceCount(pHost);
  DEMO_STEP(RefHostThreadEnumerate(pThread, pPlugin), "the enumeration ran to its end");
  tDevice* pPlain = DemoDeviceOf(pHost, pDriver, ulPlain);
  tDevice* pSlot = DemoDeviceOf(pHost, pDriver, ulSlot);
  DEMO_STEP(pPlain != nullptr && pSlot != nullptr && DemoDeviceOf(pHost, pDriver, ulForeign) == nullptr &&
              RefHostDeviceCount(pHost) == ulBefore + 2 && RefHostReportCount(REFHOST_REPORT_ANNOUNCE) == 2,
            "the two mice were created, started and announced; the foreign device was ignored");
  if (pPlain == nullptr || pSlot == nullptr) {
    return false;
  }
  printf("       receiver-slot mouse: DUID 0x%08lX, node 0x%08lX\n", pSlot->DUID, RefHostDevInfo(pSlot)->diDeviceNode);

  SettingsRoundTrips(pHost, pPlain);

  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pPlain->DUID, pPlain->DeviceKey, HW_EVENT_CHORDING_BUTTON, 1u << UMD_MOUFILT);
  LD_STATUS status = LD_INTERNAL_ERROR;
  if (pEvent != nullptr && AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pPlain)) {
    status = pPlugin->MouRegisterEvent(pPlain, pEvent, 0);
    ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pPlain);
  }
  DEMO_STEP(status == LD_SUCCESS, "chording event registered (%s)", LdStatusToString(status));
  ULONG press[2] = { ID_EVENT_CHORDING_BUTTON, 1 }, release[2] = { ID_EVENT_CHORDING_BUTTON, 0 };
  pDriver->pfnQueueEvent(ulPlain, press, sizeof press);
  pDriver->pfnQueueEvent(ulPlain, release, sizeof release);
  RefHostReport r1 = {}, r2 = {};
  bool bReports = RefHostWaitReports(REFHOST_REPORT_HW_EVENT, 2, 10000) &&
                  RefHostGetReport(REFHOST_REPORT_HW_EVENT, 0, &r1) && RefHostGetReport(REFHOST_REPORT_HW_EVENT, 1, &r2);
  DEMO_STEP(bReports && r1.value == 0x10003 && r2.value == 0x20003 && RefHostReportCount(REFHOST_REPORT_HW_EVENT) == 2,
            "a press and a release reached the host once each (0x%lX, 0x%lX)", (ULONG)r1.value, (ULONG)r2.value);

  ULONG ulSize = 0;
  MouValueRecord type = { sizeof type, 2 };
  Control(pHost, nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize);
  // Unplugged first, then the new one plugged: with the kernel driver a device's
  // node is its place in the enumeration (see README), so the story keeps the
  // places of the mice that stay.
  ULONG ulCount = RefHostDeviceCount(pHost);
  pDriver->pfnUnplug(ulSlot);
  if (!pDriver->bBroadcasts) {
    printf("  (no removal record reaches the plug-in here: an enumeration notices the mouse is gone)\n");
    RefHostThreadEnumerate(pThread, pPlugin);
  }
  DEMO_STEP(DemoWait([&] { return RefHostDeviceCount(pHost) == ulCount - 1 && pDriver->pfnOpenHandles(ulSlot) == 0; }),
            "the receiver-slot mouse was unplugged: removed, its event thread stopped and its handle closed");

  ULONG ulNew = pDriver->pfnAdd("HID\\VID_3F1D&PID_C01E\\DEMO&4", 0x7031, TRUE);
  // Without readable arrival records an enumeration finds the new mouse.
  if (!pDriver->bBroadcasts) {
    printf("  (this system's arrival records cannot be read by the plug-in: an enumeration finds the new mouse)\n");
    RefHostThreadEnumerate(pThread, pPlugin);
  }
  ULONG ulProcessing = 0, ulInUse = 0;
  bool bArrived = DemoWait([&] {
    ulProcessing = DemoSetsOf(pDriver, ulNew, ID_PARAM_PROCESSING);
    ulInUse = DemoSetsOf(pDriver, ulNew, ID_PARAM_IN_USE_EVENT);
    return RefHostReportCount(REFHOST_REPORT_ANNOUNCE) == 3 && ulProcessing == 1 && ulInUse == 1;
  });
  DEMO_STEP(bArrived,
            "a mouse plugged under driver type 2 arrived with processing and the in-use event pushed "
            "(device %lu, %lu announcements, %lu + %lu sets)",
            ulNew, RefHostReportCount(REFHOST_REPORT_ANNOUNCE), ulProcessing, ulInUse);

  ULONG ulUnreg = DemoRequestsOf(pDriver, IOCTL_RAWPDO_UNREGISTER);
  ULONG ulReg = DemoRequestsOf(pDriver, IOCTL_RAWPDO_REGISTER);
  RefHostThreadControl(pThread, pPlugin, LD_API_DISCONNECT, nullptr);
  RefHostThreadControl(pThread, pPlugin, LD_API_CONNECT, nullptr);
  DEMO_STEP(DemoRequestsOf(pDriver, IOCTL_RAWPDO_UNREGISTER) == ulUnreg + 1 &&
              DemoRequestsOf(pDriver, IOCTL_RAWPDO_REGISTER) == ulReg + 1,
            "disconnect and connect took the chording event out of the driver and back");
  return bAll;
}

// Discovery stands in: the host adds two simulated mice and a keyboard.
static void HostAddedDevices(RefHost* pHost)
{
  tDevice* pMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#demo#mouse0");
  tDevice* pWheelMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0002#demo#mouse1");
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0003#demo#kbd0", LD_DEVICETYPE_KEYBOARD);
  if (pMouse == nullptr || pWheelMouse == nullptr || pKeyboard == nullptr) {
    printf("simulated devices are not available in this build\n");
    return;
  }
  RefHostSetDeviceCapability(pHost, pWheelMouse, 0x00080100);   // wheel resolution 8, snap-stop signal
  SettingsRoundTrips(pHost, pMouse);
  SettingsRoundTrips(pHost, pWheelMouse);

  printf("%s (keyboard):\n", pKeyboard->sDeviceName);
  MouSpeedRecord speed = { sizeof speed, 0, 0 };
  ULONG ulSize;
  Control(pHost, pKeyboard, LD_GET_MOUSE_SPEED, &speed, &ulSize);

  printf("plug-in wide:\n");
  MouValueRecord type = { sizeof type, 2 };
  Control(pHost, nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize);
  Control(pHost, pMouse, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize);
}

int main(int argc, char** argv)
{
  // --driver: the production DLL against the kernel test driver that Wine runs.
  const bool bKernel = argc > 1 && strcmp(argv[1], "--driver") == 0;
  const int iDllArg = bKernel ? 2 : 1;
  char sFolder[MAX_PATH];
  DWORD dwLength = GetModuleFileNameA(nullptr, sFolder, sizeof sFolder);
  if (dwLength == 0 || dwLength >= sizeof sFolder || strrchr(sFolder, '\\') == nullptr) {
    printf("cannot tell the demo's own folder\n");
    return 1;
  }
  *strrchr(sFolder, '\\') = '\0';
  char sProductionDll[MAX_PATH + 32];
  snprintf(sProductionDll, sizeof sProductionDll, "%s\\..\\dist\\DRAVMOU.dll", sFolder);
  const char* sDll = argc > iDllArg ? argv[iDllArg] : bKernel ? sProductionDll : "DRAVMOU.dll";
  char sViewerOut[MAX_PATH + 32];
  snprintf(sViewerOut, sizeof sViewerOut, "%s\\demo-viewer.txt", sFolder);
  DeleteFileA(sViewerOut);
  TraceStart("REFHOST", 0x01000000);
  RefHostViewer viewer;
  BOOL bViewer = RefHostViewerStart(&viewer, sFolder, sViewerOut, 10000);
  printf("debug viewer VantBshw.exe %s\n", bViewer ? "started" : "did not start");

  char sModels[MAX_PATH + 16];
  snprintf(sModels, sizeof sModels, "%s\\models", sFolder);
  ULONG ulModels = RefHostModelsLoad(sModels, 0, TRUE);
  printf("model files of %s: %lu models added\n", sModels, ulModels);
  RefHostModelsPrint(stdout);
  if (ulModels == 0) {
    DemoFailed("no model loaded");
  }
  const DemoDriver* pDriver = bKernel ? DemoKernelDriver(sFolder) : DemoSimulatedDriver();
  if (pDriver == nullptr) {
    printf("the kernel test driver could not be installed and started here (see README: make demo-driver)\n");
    RefHostViewerStop(&viewer, 10000);
    return 1;
  }
  RefHostPnpUseSystemTree(bKernel);
  RefHostPlugin plugin;
  if (!RefHostLoadPlugin(&plugin, sDll)) {
    printf("could not load %s by ordinal (error %lu)\n", sDll, GetLastError());
    RefHostViewerStop(&viewer, 10000);
    return 1;
  }
  printf("loaded %s: 8 exports by ordinal\n", sDll);

  RefHost* pHost = RefHostGet();
  if (!RefHostInit(pHost)) {
    printf("host set-up failed\n");
    RefHostViewerStop(&viewer, 10000);
    return 1;
  }
  // Binding, unbinding and control commands run on the thread that
  // dispatches the plug-in window's messages.
  RefHostThread thread;
  if (!RefHostThreadStart(&thread)) {
    printf("binding thread did not start\n");
    RefHostShutdown(pHost);
    RefHostViewerStop(&viewer, 10000);
    return 1;
  }
  ULONG ulBound = RefHostThreadBind(&thread, pHost, &plugin);
  printf("MouMainInit -> %lu\n", ulBound);
  if (ulBound != 1) {
    DemoFailed("MouMainInit did not bind");
  }
  // Revision 12xx of the laser mouse is known, 13xx is not.
  if (FindModel(pHost, 0x3F1D, 0xC02A, 0x1234) != 0x01000002 || FindModel(pHost, 0x3F1D, 0xC02A, 0x1300) != 0 ||
      FindModel(pHost, 0x3F1D, 0xC52B, 0x0100) != 0x03000001) {
    DemoFailed("model search through the interface record");
  }

  ULONG version[2] = { 0xFFFFFFFF, 0xFFFFFFFF };
  ULONG ulResult = RefHostThreadControl(&thread, &plugin, LD_API_GET_VERSION, version);
  printf("MouControl(LD_API_GET_VERSION) -> %lu, version words %lu %lu\n", ulResult, version[0], version[1]);
  printf("MouControl(LD_API_SUSPEND) -> %lu\n", RefHostThreadControl(&thread, &plugin, LD_API_SUSPEND, nullptr));
  // The enumeration runs on the plug-in's work-item thread: it is over when the
  // host hears of its end, and the devices below must not race with it.
  printf("MouControl(6) -> %lu\n", RefHostThreadControl(&thread, &plugin, LD_API_ENUMERATE, nullptr));
  if (ulBound == 1 && !RefHostWaitReports(REFHOST_REPORT_END_OF_ENUMERATION, 1, 10000)) {
    DemoFailed("the first enumeration never ended");
  }
  printf("MouControl(7) -> %lu\n", RefHostThreadControl(&thread, &plugin, 7, nullptr));
  if (ulBound == 1 && !DevicesStory(pHost, &thread, &plugin, pDriver) && s_sFailed.empty()) {
    DemoFailed("devices story");
  }

  struct Request { const char* sWhat; ULONG ulFunction; };
  const Request requests[] = {
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

  if (!bKernel) {
    HostAddedDevices(pHost);
  }
  printf("devices held by the host: %lu\n", RefHostDeviceCount(pHost));

  printf("MouMainExit -> %lu\n", RefHostThreadUnbind(&thread, &plugin));
  printf("devices held by the host after MouMainExit: %lu\n", RefHostDeviceCount(pHost));
  if (!RefHostThreadStop(&thread)) {
    printf("binding thread had to be stopped\n");
    DemoFailed("binding thread had to be stopped");
  }
  RefHostShutdown(pHost);
  RefHostUnloadPlugin(&plugin);
  RefHostModelsFree();

  if (bViewer) {
    printf("debug viewer %s\n", RefHostViewerStop(&viewer, 10000) ? "left on request" : "had to be stopped");
    if (ShowViewerOutput(sViewerOut) == 0) {
      DemoFailed("the viewer showed none of the plug-in's lines");
    }
  } else {
    DemoFailed("the debug viewer did not start");
  }
  printf("\nThe plug-in's trace lines went to the debug viewer channel (shown above, and in %s).\n"
         "To keep them in a log file as well, set DebugFlags (REG_DWORD) to 0x2 under HKLM\\SOFTWARE\\Vantorix\\DRAV;\n"
         "the file is DebugLogFile there (default trace.txt). To watch a session live, start VantBshw.exe from\n"
         "this folder before the host.\n",
         sViewerOut);
  if (s_sFailed.empty()) {
    printf("demo completed\n");
  } else {
    printf("demo FAILED: %s\n", s_sFailed.c_str());
  }
  TraceStop();
  return s_sFailed.empty() ? 0 : 1;
}
