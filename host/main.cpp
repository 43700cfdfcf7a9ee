// Demo session of the reference host: start the debug viewer, load the model
// files, bind the plug-in on the host's binding thread, ask for its version,
// create a few simulated devices and take mouse settings there and back,
// printing every result by name; at the end, what the viewer showed of the
// plug-in's trace lines.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "diag/Trace.h"
#include "host/RefHost.h"
#include "host/RefHostModels.h"
#include "host/RefHostThread.h"
#include "host/RefHostViewer.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"

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

int main(int argc, char** argv)
{
  const char* sDll = argc > 1 ? argv[1] : "DRAVMOU.dll";
  char sFolder[MAX_PATH];
  DWORD dwLength = GetModuleFileNameA(nullptr, sFolder, sizeof sFolder);
  if (dwLength == 0 || dwLength >= sizeof sFolder || strrchr(sFolder, '\\') == nullptr) {
    printf("cannot tell the demo's own folder\n");
    return 1;
  }
  *strrchr(sFolder, '\\') = '\0';
  int rc = 0;

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
    rc = 1;
  }
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
    rc = 1;
  }
  // Revision 12xx of the laser mouse is known, 13xx is not.
  if (FindModel(pHost, 0x3F1D, 0xC02A, 0x1234) != 0x01000002 || FindModel(pHost, 0x3F1D, 0xC02A, 0x1300) != 0 ||
      FindModel(pHost, 0x3F1D, 0xC52B, 0x0100) != 0x03000001) {
    rc = 1;
  }

  ULONG version[2] = { 0xFFFFFFFF, 0xFFFFFFFF };
  ULONG ulResult = RefHostThreadControl(&thread, &plugin, LD_API_GET_VERSION, version);
  printf("MouControl(LD_API_GET_VERSION) -> %lu, version words %lu %lu\n", ulResult, version[0], version[1]);
  printf("MouControl(LD_API_SUSPEND) -> %lu\n", RefHostThreadControl(&thread, &plugin, LD_API_SUSPEND, nullptr));
  printf("MouControl(6) -> %lu\n", RefHostThreadControl(&thread, &plugin, LD_API_ENUMERATE, nullptr));
  printf("MouControl(7) -> %lu\n", RefHostThreadControl(&thread, &plugin, 7, nullptr));

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

  // Discovery stands in: the host adds two simulated mice and a keyboard.
  tDevice* pMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#demo#mouse0");
  tDevice* pWheelMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0002#demo#mouse1");
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0003#demo#kbd0", LD_DEVICETYPE_KEYBOARD);
  if (pMouse == nullptr || pWheelMouse == nullptr || pKeyboard == nullptr) {
    printf("simulated devices are not available in this build\n");
  } else {
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
  printf("devices held by the host: %lu\n", RefHostDeviceCount(pHost));

  printf("MouMainExit -> %lu\n", RefHostThreadUnbind(&thread, &plugin));
  printf("devices held by the host after MouMainExit: %lu\n", RefHostDeviceCount(pHost));
  if (!RefHostThreadStop(&thread)) {
    printf("binding thread had to be stopped\n");
    rc = 1;
  }
  RefHostShutdown(pHost);
  RefHostUnloadPlugin(&plugin);
  RefHostModelsFree();

  if (bViewer) {
    printf("debug viewer %s\n", RefHostViewerStop(&viewer, 10000) ? "left on request" : "had to be stopped");
    if (ShowViewerOutput(sViewerOut) == 0) {
      rc = 1;
    }
  } else {
    rc = 1;
  }
  TraceStop();
  return rc;
}
