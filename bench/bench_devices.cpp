// Chording packets per second from the simulated driver to the host's report
// operation through a device's event thread, beside a bare overlapped read
// loop on the same simulated device; and the time from a plug to the host's
// announcement of the device (median and worst of 50 plugs).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/BenchRow.h"
#include "framework/DevIo.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostReports.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchMgr.h"

namespace {

constexpr ULONG kPackets = 200;   // the host's report log keeps 256
constexpr int kPlugs = 50;
constexpr int kRounds = 5;   // packet runs; the best is kept (the machine is shared)
const char kPathFormat[] = "\\\\?\\HID#VID_3F1D&PID_C01E#bench&%d#{5a486531-0201-43e0-bd81-d544bb08d0dc}";

void Pump()
{
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// Plugs one mouse; returns its simulated id and the seconds until the host
// was told about it, or 0 when it was not within 10 s.
ULONG PlugAndWaitForAnnouncement(int n, double* pdSeconds)
{
  char sPath[MAX_PATH];
  snprintf(sPath, sizeof sPath, kPathFormat, n);
  char sId[64];
  snprintf(sId, sizeof sId, "HID\\VID_3F1D&PID_C01E\\bench&%d", n);
  SimDrvDeviceDesc desc = {};
  desc.sPath = sPath;
  desc.sInstanceId = sId;
  desc.diNode = 0x5000 + n * 2;
  desc.ulParentCount = 1;
  desc.Parents[0] = 0x4FFF;
  ULONG ulAnnounced = RefHostReportCount(REFHOST_REPORT_ANNOUNCE);
  double dStart = BenchNow();
  ULONG ulDevice = SimDrvPlugDevice(&desc);   // the broadcast reaches this thread's window at once
  for (int i = 0; i < 10000 && ulDevice != 0; ++i) {
    if (RefHostReportCount(REFHOST_REPORT_ANNOUNCE) > ulAnnounced) {
      *pdSeconds = BenchNow() - dStart;
      return ulDevice;
    }
    Pump();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
  return 0;
}

// Packets per second through the plug-in: queued at the driver, reported to the host.
double PluginPacketRate(RefHost* pHost, ULONG ulDevice, tDevice* pDevice)
{
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pDevice->DUID, pDevice->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
  if (pEvent == nullptr || !AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice)) {
    return 0.0;
  }
  LD_STATUS status = MouRegisterEvent(pDevice, pEvent, 0);
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice);
  if (status != LD_SUCCESS) {
    return 0.0;
  }
  ULONG packet[2] = { ID_EVENT_CHORDING_BUTTON, 1 };
  double dBest = 0.0;
  for (int round = 0; round < kRounds; ++round) {
    RefHostReportsReset();
    double dStart = BenchNow();
    for (ULONG i = 0; i < kPackets; ++i) {
      SimDrvQueueEvent(ulDevice, packet, sizeof packet);
    }
    if (!RefHostWaitReports(REFHOST_REPORT_HW_EVENT, kPackets, 30000)) {
      return 0.0;
    }
    double dRate = kPackets / (BenchNow() - dStart);
    dBest = dRate > dBest ? dRate : dBest;
  }
  return dBest;
}

// The floor: the same packets read back by a bare overlapped loop, on a
// simulated device of its own (no event thread of the plug-in reads there).
double BareReadRate()
{
  const char sPath[] = "\\\\?\\HID#VID_3F1D&PID_C01E#bench-bare";
  ULONG ulDevice = SimDrvAddDevice(sPath);
  HANDLE hDevice = DevIoOpen(sPath);
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (hDevice == INVALID_HANDLE_VALUE || hEvent == nullptr) {
    return 0.0;
  }
  ULONG packet[2] = { ID_EVENT_CHORDING_BUTTON, 1 };
  double dBest = 0.0;
  for (int round = 0; round < kRounds; ++round) {
    double dStart = BenchNow();
    for (ULONG i = 0; i < kPackets; ++i) {
      SimDrvQueueEvent(ulDevice, packet, sizeof packet);
    }
    ULONG ulRead = 0;
    for (; ulRead < kPackets; ++ulRead) {
      BYTE buffer[100];
      DWORD dwReturned = 0;
      OVERLAPPED ov = {};
      ov.hEvent = hEvent;
      if (!DevIoControl(hDevice, IOCTL_RAWPDO_READ_EVENT, nullptr, 0, buffer, sizeof buffer, &dwReturned, &ov) &&
          (GetLastError() != ERROR_IO_PENDING || !DevIoGetOverlappedResult(hDevice, &ov, &dwReturned, TRUE))) {
        break;
      }
    }
    if (ulRead != kPackets) {
      dBest = 0.0;
      break;
    }
    double dRate = kPackets / (BenchNow() - dStart);
    dBest = dRate > dBest ? dRate : dBest;
  }
  CloseHandle(hEvent);
  CloseHandle(hDevice);
  return dBest;
}

}  // namespace

int main()
{
  RefHostModelsLoad("models", 0, FALSE);
  RefHost* pHost = RefHostGet();
  if (!RefHostInit(pHost)) {
    fprintf(stderr, "host set-up failed\n");
    return 1;
  }
  pHost->pfnDeviceControl = MouDeviceControl;
  pHost->pfnDeviceCleanup = MouDeviceCleanup;
  if (MouMainInit(pHost->Api, 0, 0) != 1) {
    fprintf(stderr, "bind failed\n");
    return 1;
  }

  std::vector<double> latencies;
  for (int n = 0; n < kPlugs; ++n) {
    double dSeconds = 0.0;
    ULONG ulDevice = PlugAndWaitForAnnouncement(n, &dSeconds);
    if (ulDevice == 0) {
      fprintf(stderr, "plug %d was not announced\n", n);
      return 1;
    }
    latencies.push_back(dSeconds * 1000.0);
    // Out again before the next plug: the host keeps a bounded number of devices.
    SimDrvUnplugDevice(ulDevice, FALSE);
    for (int i = 0; i < 10000 && RefHostDeviceCount(pHost) != 0; ++i) {
      Pump();
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
  }
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  printf("plug to announcement: median %.2f ms, worst %.2f ms (%d plugs)\n", sorted[sorted.size() / 2],
         sorted.back(), kPlugs);
  // No counterpart to divide by: the row gives the median against the worst.
  char sMeasure[64], sMedian[32], sWorst[32], sRatio[32];
  snprintf(sMeasure, sizeof sMeasure, "plug to announcement, median of %d plugs", kPlugs);
  snprintf(sMedian, sizeof sMedian, "%.2f", sorted[sorted.size() / 2]);
  snprintf(sWorst, sizeof sWorst, "%.2f", sorted.back());
  snprintf(sRatio, sizeof sRatio, "%.3f", sorted[sorted.size() / 2] / sorted.back());
  BenchRowText(sMeasure, sMedian, "ms", "worst of the same plugs", sWorst, sRatio);

  double dSeconds = 0.0;
  ULONG ulDevice = PlugAndWaitForAnnouncement(kPlugs, &dSeconds);
  char sPath[MAX_PATH];
  snprintf(sPath, sizeof sPath, kPathFormat, kPlugs);
  tDevice* pDevice = RefHostFindDeviceByPath(pHost, sPath);
  double dPlugin = pDevice != nullptr ? PluginPacketRate(pHost, ulDevice, pDevice) : 0.0;
  double dBare = BareReadRate();
  printf("chording packets: through the plug-in %.0f/s, bare read loop %.0f/s, ratio %.2f\n", dPlugin, dBare,
         dBare > 0.0 ? dPlugin / dBare : 0.0);
  BenchRow("chording packets through the plug-in to the host", dPlugin, "packets/s", "bare overlapped read loop", dBare);

  MouMainExit(0, 0);
  Pump();
  RefHostShutdown(pHost);
  RefHostModelsFree();
  SimDrvReset();
  return dPlugin > 0.0 && dBare > 0.0 ? 0 : 1;
}
