// Soak: the plug-in DLL bound to the reference host and the simulated driver,
// under load and faults for a while, then checked. Eight mouse slots are
// plugged and unplugged (orderly and surprise); four host threads send random
// settings requests; one thread injects driver faults (time-outs, errors,
// short replies) and asks for enumerations while changes are queued; one
// streams chording packets, registers and unregisters the event, disconnects
// and reconnects, and changes the driver type.
// Usage: drav_soak [seconds]   (or SOAK_S=seconds; SEED=n replays a seed)
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostThread.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchMgr.h"

namespace {

constexpr ULONG kSlots = 8;
constexpr ULONG kRequestThreads = 4;
constexpr DWORD kIoctlBoundMs = 3000;   // transport time-out and the wait after its cancel
constexpr DWORD kLoadSlackMs = 5000;    // a loaded two-core machine
constexpr DWORD kSlowMs = 2200;         // a driver that answers after the transport gave up
constexpr ULONG kStrayState = 7;        // a packet state that is reported as 0: sent only while unregistered

RefHost* g_pHost;
RefHostPlugin g_Plugin;
RefHostThread g_Bind;
ULONG64 g_ullSeed;
HANDLE g_hStop;

// ---- Random numbers: one stream per thread, derived from the seed ----------------------
struct Rng {
  ULONG64 s;
  ULONG Next(ULONG n)   // 0 .. n-1
  {
    s += 0x9E3779B97F4A7C15ull;
    ULONG64 z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<ULONG>((z ^ (z >> 31)) % n);
  }
  bool Chance(ULONG percent) { return Next(100) < percent; }
};

// ---- Findings -------------------------------------------------------------------------
CRITICAL_SECTION g_csNotes;
volatile LONG g_lViolations[16];
enum Finding { F_LATE, F_STATUS, F_UNCLEAN, F_LOST, F_DUPLICATE, F_ORDER, F_STRAY, F_LOCK, F_CONTROL, F_FENCE };

void Note(Finding f, const char* sFormat, ...)
{
  if (InterlockedIncrement(&g_lViolations[f]) > 5) {
    return;   // the first few of each kind are enough to start from
  }
  EnterCriticalSection(&g_csNotes);
  va_list args;
  va_start(args, sFormat);
  printf("  ! ");
  vprintf(sFormat, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
  LeaveCriticalSection(&g_csNotes);
}

// ---- Slots ----------------------------------------------------------------------------
enum Mode : LONG { M_NORMAL, M_SLOW, M_FAIL, M_HUNG };

struct Slot {
  CRITICAL_SECTION cs;         // whoever plugs, unplugs, injects or streams on the slot
  volatile ULONG ulSim;        // simulated device, 0 while unplugged
  volatile LONG lGen;          // plug generation, part of the path
  char sPath[160];
  bool bChording;              // this plug streams events: no fault that ends event reads
  volatile LONG lMode;
  volatile ULONG ulShortParams;   // bit per entry of kGetParams answering short
  volatile bool bVetoed;          // an orderly removal was refused: its handle is gone
  volatile LONG lEpoch;           // odd while a fault, plug or unplug is under way
  volatile ULONGLONG ullQuietSince;   // normal mode since, with no late request left behind
  tHWEvent* volatile pEvent;   // chording record while registered
  volatile LONG lSent, lDelivered;
};
Slot g_Slots[kSlots];

const ULONG kGetParams[] = { ID_PARAM_POINTER_SPEED, ID_PARAM_ORIENTATION, ID_PARAM_ACCELERATION,
                             ID_PARAM_WHEEL_ACCELERATION, ID_PARAM_WHEEL_SPEED, ID_PARAM_WHEEL_FILTER,
                             ID_PARAM_WHEEL_RESOLUTION, ID_PARAM_TIME_STAMP };

bool SlotClean(const Slot& s)
{
  return s.ulSim != 0 && s.lMode == M_NORMAL && s.ulShortParams == 0 && !s.bVetoed;
}

// Counters for the summary.
volatile LONG g_lRequests, g_lPlugs, g_lOrderly, g_lSurprise, g_lVetoes, g_lFaults, g_lPackets, g_lStrays,
  g_lRegistrations, g_lDisconnects, g_lEnumerations, g_lDriverTypes;

// ---- Host side ------------------------------------------------------------------------
// The DUID each device record was last announced with: a record the host
// reuses is not announced again until the plug-in says so.
std::map<const tDevice*, DWORD> g_AnnouncedDuid;
SRWLOCK g_AnnouncedLock = SRWLOCK_INIT;
PFN_HOST_ANNOUNCE g_pfnAnnounce;

BOOL SoakAnnounce(tDevice* pDevice, ULONG ulZero, ULONG ulUmdIndex, const ULONG* pFunctions, const ULONG* pEvents)
{
  BOOL bResult = g_pfnAnnounce(pDevice, ulZero, ulUmdIndex, pFunctions, pEvents);
  AcquireSRWLockExclusive(&g_AnnouncedLock);
  g_AnnouncedDuid[pDevice] = pDevice->DUID;
  ReleaseSRWLockExclusive(&g_AnnouncedLock);
  return bResult;
}

bool Announced(const tDevice* pDevice)
{
  AcquireSRWLockShared(&g_AnnouncedLock);
  auto it = g_AnnouncedDuid.find(pDevice);
  bool bAnnounced = it != g_AnnouncedDuid.end() && it->second == pDevice->DUID;
  ReleaseSRWLockShared(&g_AnnouncedLock);
  return bAnnounced;
}

// The host's devices in list order; they stay valid while the caller holds
// the device-list mutex.
std::vector<tDevice*> HostDevices()
{
  std::vector<tDevice*> devices;
  RefHostFindDevice(
    g_pHost,
    [](tDevice* pDevice, const void* p) -> BOOL {
      static_cast<std::vector<tDevice*>*>(const_cast<void*>(p))->push_back(pDevice);
      return FALSE;
    },
    &devices);
  return devices;
}

// Every chording report: a registered record's n-th report is its n-th packet.
void SoakReportHwEvent(tDevice*, void* pHWEvent, ULONG_PTR value, ULONG_PTR, ULONG_PTR)
{
  if (value != MOU_CHORDING_PRESSED && value != MOU_CHORDING_RELEASED) {
    Note(F_STRAY, "a packet sent while its event was unregistered was reported (value 0x%lX)", (ULONG)value);
    return;
  }
  for (Slot& s : g_Slots) {
    if (s.pEvent == pHWEvent && pHWEvent != nullptr) {
      LONG n = InterlockedIncrement(&s.lDelivered) - 1;
      if (value != (n % 2 == 0 ? MOU_CHORDING_PRESSED : MOU_CHORDING_RELEASED)) {
        Note(F_ORDER, "slot %d: report %ld has value 0x%lX", (int)(&s - g_Slots), n, (ULONG)value);
      }
      return;
    }
  }
  Note(F_STRAY, "a chording report for a record that is not registered (value 0x%lX)", (ULONG)value);
}

// Removal: once asked to remove, only a hold that was never given back keeps the lock.
ULONG SoakDeviceCleanup(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue)
{
  for (int i = 0; i < 100 && pDevice->RemoveLock[UMD_MOUFILT].lLock != 0; ++i) {
    Sleep(10);
  }
  if (pDevice->RemoveLock[UMD_MOUFILT].lLock != 0) {
    Note(F_LOCK, "DUID 0x%lX removed with its remove lock held (%ld)", pDevice->DUID,
         pDevice->RemoveLock[UMD_MOUFILT].lLock);
  }
  return g_Plugin.MouDeviceCleanup(pDevice, ulValue, pValue);
}

// Takes the plug-in's remove lock on an announced device, as the host does
// before a call: by path, or (null path) any announced device picked by r.
tDevice* Hold(const char* sPath, ULONG r)
{
  DWORD dw = WaitForSingleObject(g_pHost->Gbl.hDeviceListMutex, 10000);
  if (dw != WAIT_OBJECT_0 && dw != WAIT_ABANDONED) {
    return nullptr;
  }
  tDevice* pHeld = nullptr;
  std::vector<tDevice*> devices = HostDevices();
  for (size_t n = 0; n < devices.size() && pHeld == nullptr; ++n) {
    tDevice* pDevice = devices[(r + n) % devices.size()];
    if (!Announced(pDevice) ||
        (sPath != nullptr && lstrcmpiA(RefHostDevInfo(pDevice)->sPath, sPath) != 0)) {
      continue;
    }
    if (AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice)) {
      pHeld = pDevice;
    }
  }
  ReleaseMutex(g_pHost->Gbl.hDeviceListMutex);
  return pHeld;
}

void Unhold(tDevice* pDevice)
{
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice);
}

ULONG Control(ULONG ulCommand)
{
  ULONG ulResult = RefHostThreadControl(&g_Bind, &g_Plugin, ulCommand, nullptr);
  if (ulResult != 1) {
    Note(F_CONTROL, "MouControl(%lu) answered %lu", ulCommand, ulResult);
  }
  return ulResult;
}

bool Stopping(DWORD dwPauseMs)
{
  return WaitForSingleObject(g_hStop, dwPauseMs) == WAIT_OBJECT_0;
}

// Bounded poll of a condition.
template <typename Fn>
bool WaitUntil(DWORD dwBoundMs, Fn condition)
{
  ULONGLONG ullEnd = GetTickCount64() + dwBoundMs;
  while (!condition()) {
    if (GetTickCount64() > ullEnd) {
      return condition();
    }
    Sleep(2);
  }
  return true;
}

// ---- Plugging (under the slot's lock) ------------------------------------------------------
void Plug(Slot& s, Rng& rng)
{
  ULONG ulSlot = static_cast<ULONG>(&s - g_Slots);
  LONG lGen = InterlockedIncrement(&s.lGen);
  snprintf(s.sPath, sizeof s.sPath,
           "\\\\?\\HID#VID_3F1D&PID_C01E#soak&s%lu&g%ld#{5a486531-0201-43e0-bd81-d544bb08d0dc}", ulSlot, lGen);
  char sId[96];
  snprintf(sId, sizeof sId, "HID\\VID_3F1D&PID_C01E\\soak&s%lu&g%ld", ulSlot, lGen);
  SimDrvDeviceDesc desc = {};
  desc.sPath = s.sPath;
  desc.sInstanceId = sId;
  desc.diNode = 0x100000 + static_cast<DWORD>(lGen) * kSlots + ulSlot;
  desc.ulParentCount = 1;
  desc.Parents[0] = 0xFFFFF;
  InterlockedIncrement(&s.lEpoch);
  s.bChording = rng.Chance(50);
  s.lMode = M_NORMAL;
  s.ullQuietSince = GetTickCount64();
  s.ulShortParams = 0;
  s.bVetoed = false;
  s.ulSim = SimDrvPlugDevice(&desc);
  InterlockedIncrement(&s.lEpoch);
  InterlockedIncrement(&g_lPlugs);
}

void Unplug(Slot& s, bool bOrderly)
{
  InterlockedIncrement(&s.lEpoch);
  bool bOut = SimDrvUnplugDevice(s.ulSim, bOrderly);
  if (!bOut) {
    s.bVetoed = true;   // the plug-in gave its handle up at the query
  } else {
    s.ulSim = 0;
  }
  InterlockedIncrement(&s.lEpoch);
  InterlockedIncrement(!bOut ? &g_lVetoes : bOrderly ? &g_lOrderly : &g_lSurprise);
  if (!bOut) {
    return;
  }
  // The host drops the device's event records with it.
  if (tHWEvent* pEvent = s.pEvent) {
    s.pEvent = nullptr;
    RefHostRemoveHWEvent(g_pHost, pEvent);
  }
}

void InjectFault(Slot& s, Rng& rng)
{
  InterlockedIncrement(&g_lFaults);
  if (rng.Chance(40)) {
    ULONG i = rng.Next(ARRAYSIZE(kGetParams));
    bool bShort = rng.Chance(50);
    SimDrvSetReplyLength(s.ulSim, kGetParams[i], bShort ? rng.Next(4) : ~0u);
    s.ulShortParams = bShort ? s.ulShortParams | (1u << i) : s.ulShortParams & ~(1u << i);
    return;
  }
  static const DWORD kErrors[] = { ERROR_GEN_FAILURE, ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_CRC,
                                   ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED };
  ULONG r = rng.Next(100);
  // A streaming slot keeps its event reads: only late answers, which still come.
  LONG lMode = r < 60 ? M_NORMAL : r < 75 || s.bChording ? M_SLOW : r < 85 ? M_FAIL : M_HUNG;
  static const ULONG kSimModes[] = { SIMDRV_COMPLETE_AT_ONCE, SIMDRV_COMPLETE_LATER, SIMDRV_FAIL,
                                     SIMDRV_NEVER_ANSWER };
  SimDrvSetMode(s.ulSim, kSimModes[lMode], kErrors[rng.Next(ARRAYSIZE(kErrors))], kSlowMs + rng.Next(400));
  if (lMode == M_NORMAL && s.lMode != M_NORMAL) {
    s.ullQuietSince = GetTickCount64();
  }
  s.lMode = lMode;
}

void Inject(Slot& s, Rng& rng)
{
  InterlockedIncrement(&s.lEpoch);
  InjectFault(s, rng);
  InterlockedIncrement(&s.lEpoch);
}

DWORD WINAPI DriverThread(void* pParameter)
{
  Rng rng = { g_ullSeed * 31 + 7 };
  for (Slot& s : g_Slots) {
    EnterCriticalSection(&s.cs);
    Plug(s, rng);
    LeaveCriticalSection(&s.cs);
  }
  while (!Stopping(10 + rng.Next(50))) {
    Slot& s = g_Slots[rng.Next(kSlots)];
    if (!TryEnterCriticalSection(&s.cs)) {
      continue;   // streaming: another slot's turn
    }
    bool bChange = s.ulSim == 0 || rng.Chance(15);
    if (s.ulSim == 0) {
      Plug(s, rng);
    } else if (bChange) {
      Unplug(s, rng.Chance(50));
    } else if (rng.Chance(50)) {
      Inject(s, rng);
    }
    LeaveCriticalSection(&s.cs);
    // An enumeration behind the arrival or removal just queued.
    if (bChange && rng.Chance(25)) {
      InterlockedIncrement(&g_lEnumerations);
      Control(LD_API_ENUMERATE);
    }
  }
  return 0;
}

// ---- Settings requests --------------------------------------------------------------------
struct RequestKind {
  ULONG ulFunction;
  ULONG ulMode;
  ULONG ulIoctls;   // most requests one call makes
  bool bReads;      // a short reply can fail it
  // Fills the record; true when the record is one the handler must refuse.
  bool (*pfnBuild)(ULONG* pRecord, Rng& rng);
};

bool NoRecord(ULONG*, Rng&) { return false; }
bool Speed(ULONG* p, Rng& rng) { p[1] = rng.Next(21); p[2] = rng.Next(21); return false; }
bool Level(ULONG* p, Rng& rng) { p[1] = rng.Next(8); return p[1] > MOU_MAX_ACCELERATION_LEVEL; }
bool Value(ULONG* p, Rng& rng) { p[1] = rng.Next(1000); return false; }
bool Curve(ULONG* p, Rng& rng)
{
  p[1] = rng.Next(8);
  p[2] = rng.Next(CURVE_MAX_POINTS + 2);
  for (ULONG i = 0; i < CURVE_MAX_POINTS; ++i) p[3 + i] = rng.Next(0x10000);
  return p[1] == 0 || p[1] > CURVE_COUNT || p[2] > CURVE_MAX_POINTS;
}
bool CurveIndex(ULONG* p, Rng& rng) { p[1] = 1 + rng.Next(CURVE_COUNT); return false; }
bool WheelAcc(ULONG* p, Rng& rng)
{
  p[1] = rng.Next(2); p[2] = rng.Next(10); p[3] = 10 + rng.Next(10);
  float f[2] = { 1.5f, 0.25f };
  memcpy(&p[4], f, sizeof f);
  return false;
}
bool WheelFilter(ULONG* p, Rng& rng) { for (int i = 1; i <= 4; ++i) p[i] = rng.Next(300); return false; }
bool WheelSpeed(ULONG* p, Rng& rng)
{
  float f[2] = { 0.5f + rng.Next(8), 0.125f };
  memcpy(&p[1], f, sizeof f);
  return false;
}
bool WheelRes(ULONG* p, Rng& rng) { p[1] = rng.Next(4); return p[1] > 2; }

const RequestKind kRequests[] = {
  { LD_GET_MOUSE_SPEED, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_SPEED, 0, 1, false, Speed },
  { LD_GET_MOUSE_ACCELERATION, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_ACCELERATION, 0, 1, false, Level },
  { LD_GET_MOUSE_ORIENTATION, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_ORIENTATION, 0, 1, false, Value },
  { LD_SET_MOUSE_REPORT_RATE_ACC, 0, 1, false, Value },
  { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, 2, false, WheelAcc },
  { LD_GET_MOUSE_WHEEL_FILTER, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_WHEEL_FILTER, 0, 1, false, WheelFilter },
  { LD_GET_MOUSE_WHEEL_SPEED, 0, 1, true, NoRecord },
  { LD_SET_MOUSE_WHEEL_SPEED, 0, 1, false, WheelSpeed },
  { LD_GET_MOUSE_ACCELERATION_CURVE, 0, 0, false, CurveIndex },
  { LD_SET_MOUSE_ACCELERATION_CURVE, 0, 3, true, Curve },
  { LD_SET_CHORDING_PARMS, 0, 1, false, Value },
  { LD_GET_MOUSE_WHEEL_RESOLUTION, 2, 1, true, NoRecord },
  { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, 1, false, WheelRes },
  { LD_GET_TIME_STAMP, 0, 1, true, NoRecord },
};

bool Allowed(const RequestKind& k, LD_STATUS status)
{
  if (k.ulFunction == LD_SET_CHORDING_PARMS) {
    return status == LD_SUCCESS;   // answered without the driver's word
  }
  return status == LD_SUCCESS || status == LD_DEVICE_REMOVAL || status == LD_INTERNAL_ERROR ||
         status == LD_IOCONTROL_ERROR || (k.bReads && status == LD_DEVICE_RETURNED_INVALID_DATA);
}

void DriverType(Rng& rng)
{
  MouValueRecord type = { sizeof type, rng.Next(3) };
  ULONG ulSize = 0;
  ULONGLONG ullStart = GetTickCount64();
  LD_STATUS status = g_Plugin.MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize, 0);
  DWORD dwMs = static_cast<DWORD>(GetTickCount64() - ullStart);
  InterlockedIncrement(&g_lDriverTypes);
  if (status != LD_SUCCESS) {
    Note(F_STATUS, "driver type %lu answered %s", type.ulValue, LdStatusToString(status));
  }
  // Each device of the host gets two requests.
  if (dwMs > kSlots * 2 * kIoctlBoundMs + kLoadSlackMs) {
    Note(F_LATE, "driver type %lu took %lu ms", type.ulValue, dwMs);
  }
}

DWORD WINAPI RequestThread(void* pParameter)
{
  Rng rng = { g_ullSeed * 131 + reinterpret_cast<ULONG_PTR>(pParameter) };
  while (!Stopping(0)) {
    if (rng.Chance(2)) {
      DriverType(rng);
      continue;
    }
    const RequestKind& k = kRequests[rng.Next(ARRAYSIZE(kRequests))];
    ULONG record[40] = { sizeof record };
    bool bInvalid = k.pfnBuild(record, rng);
    tDevice* pDevice = Hold(nullptr, rng.Next(REFHOST_MAX_DEVICES));
    if (pDevice == nullptr) {
      Stopping(5);
      continue;
    }
    unsigned uSlot = 0;
    long lGen = 0;
    const char* sTag = strstr(RefHostDevInfo(pDevice)->sPath, "soak&s");
    if (sTag != nullptr) sscanf(sTag, "soak&s%u&g%ld", &uSlot, &lGen);
    Slot& s = g_Slots[uSlot % kSlots];
    LONG lEpoch = s.lEpoch;
    MemoryBarrier();
    bool bClean = lEpoch % 2 == 0 && SlotClean(s) && s.lGen == lGen;
    ULONG ulSize = 0;
    ULONGLONG ullStart = GetTickCount64();
    LD_STATUS status = g_Plugin.MouDeviceControl(pDevice, k.ulFunction, record, &ulSize, k.ulMode);
    DWORD dwMs = static_cast<DWORD>(GetTickCount64() - ullStart);
    bClean = bClean && s.lEpoch == lEpoch;
    Unhold(pDevice);
    InterlockedIncrement(&g_lRequests);
    const char* sName = LdFunctionToString(k.ulFunction);
    if (dwMs > k.ulIoctls * kIoctlBoundMs + kLoadSlackMs) {
      Note(F_LATE, "%s on slot %u took %lu ms", sName, uSlot, dwMs);
    }
    if (bInvalid ? status != LD_INVALID_PARAMETER : !Allowed(k, status)) {
      Note(F_STATUS, "%s on slot %u answered %s", sName, uSlot, LdStatusToString(status));
    } else if (!bInvalid && bClean && status != LD_SUCCESS) {
      HANDLE h = RefHostDevInfo(pDevice)->hHandle;
      Note(F_UNCLEAN, "%s on healthy slot %u answered %s (its handle %p is simulated device %lu's, the slot's is %lu)",
           sName, uSlot, LdStatusToString(status), h, SimDrvDeviceOfHandle(h), s.ulSim);
    }
  }
  return 0;
}

// ---- Chording events, connection and driver type ---------------------------------------------

// In normal mode the only request a device keeps open is its event read: one
// open again means every packet before it went through the callback.
void Fence(const Slot& s)
{
  if (!WaitUntil(10000, [&] { return SimDrvPendingCount(s.ulSim) >= 1; })) {
    Note(F_FENCE, "slot %d: no event read outstanding within 10 s", (int)(&s - g_Slots));
  }
}

// Late answers of an earlier slow spell would pass for event reads.
bool StrayReady(const Slot& s)
{
  return s.ulSim != 0 && s.bChording && !s.bVetoed && s.lMode == M_NORMAL &&
         GetTickCount64() - s.ullQuietSince > kIoctlBoundMs + 1000;
}

void SendStray(Slot& s)
{
  ULONG packet[2] = { ID_EVENT_CHORDING_BUTTON, kStrayState };
  Fence(s);
  SimDrvQueueEvent(s.ulSim, packet, sizeof packet);
  InterlockedIncrement(&g_lStrays);
  Fence(s);
}

void CheckDelivered(Slot& s, DWORD dwBoundMs)
{
  WaitUntil(dwBoundMs, [&] { return s.lDelivered >= s.lSent; });
  LONG lSent = s.lSent, lDelivered = s.lDelivered;
  if (lDelivered != lSent) {
    Note(lDelivered < lSent ? F_LOST : F_DUPLICATE, "slot %d: %ld chording packets sent, %ld reported",
         (int)(&s - g_Slots), lSent, lDelivered);
    s.lSent = s.lDelivered;   // counted once
  }
}

bool Register(Slot& s, tDevice* pDevice)
{
  tHWEvent* pEvent =
    RefHostAddHWEvent(g_pHost, pDevice->DUID, pDevice->DeviceKey, HW_EVENT_CHORDING_BUTTON, 1u << UMD_MOUFILT);
  if (pEvent == nullptr) {
    return false;
  }
  s.lSent = 0;
  s.lDelivered = 0;
  s.pEvent = pEvent;
  // Whatever the driver answered, the record is kept and its packets reported.
  g_Plugin.MouRegisterEvent(pDevice, pEvent, 0);
  InterlockedIncrement(&g_lRegistrations);
  return true;
}

void Unregister(Slot& s, tDevice* pDevice)
{
  tHWEvent* pEvent = s.pEvent;
  g_Plugin.MouUnregisterEvent(pDevice, pEvent, 0);
  s.pEvent = nullptr;
  RefHostRemoveHWEvent(g_pHost, pEvent);
}

void Burst(Slot& s, Rng& rng)
{
  tDevice* pDevice = s.ulSim != 0 && s.bChording && !s.bVetoed ? Hold(s.sPath, 0) : nullptr;
  if (pDevice == nullptr) {
    return;
  }
  if (s.pEvent != nullptr || Register(s, pDevice)) {
    ULONG ulCount = s.lMode == M_SLOW ? 1 + rng.Next(2) : 1 + rng.Next(8);
    for (ULONG i = 0; i < ulCount; ++i) {
      ULONG packet[2] = { ID_EVENT_CHORDING_BUTTON, s.lSent % 2 == 0 ? 1u : 0u };
      if (SimDrvQueueEvent(s.ulSim, packet, sizeof packet)) {
        InterlockedIncrement(&s.lSent);
        InterlockedIncrement(&g_lPackets);
      }
    }
    CheckDelivered(s, 10000 + ulCount * (kSlowMs + 400));
    if (rng.Chance(25)) {
      Unregister(s, pDevice);
      if (StrayReady(s)) {
        SendStray(s);
      }
    }
  }
  Unhold(pDevice);
}

// Disconnect takes every event out of the driver, connect puts them back:
// packets between the two are not reported. (Bursts run on this same thread,
// so none is in flight.)
void Reconnect()
{
  InterlockedIncrement(&g_lDisconnects);
  Control(LD_API_DISCONNECT);
  for (Slot& s : g_Slots) {
    EnterCriticalSection(&s.cs);
    if (s.pEvent != nullptr && StrayReady(s)) {
      SendStray(s);
    }
    LeaveCriticalSection(&s.cs);
  }
  Control(LD_API_CONNECT);
}

DWORD WINAPI EventThread(void*)
{
  Rng rng = { g_ullSeed * 17 + 3 };
  while (!Stopping(2 + rng.Next(10))) {
    ULONG r = rng.Next(100);
    if (r < 70) {
      ULONG i = rng.Next(kSlots), n = 0;
      while (n++ < kSlots && !(g_Slots[i].bChording && g_Slots[i].ulSim != 0)) i = (i + 1) % kSlots;
      Slot& s = g_Slots[i];
      EnterCriticalSection(&s.cs);
      Burst(s, rng);
      LeaveCriticalSection(&s.cs);
    } else if (r < 76) {
      Reconnect();
    } else if (r < 80) {
      InterlockedIncrement(&g_lEnumerations);
      Control(LD_API_ENUMERATE);
    }
  }
  return 0;
}

// ---- Process resources ----------------------------------------------------------------------
// Wine answers GetProcessHandleCount with 0: every handle value is asked.
constexpr ULONG kHandleValues = 0x4000;
DWORD HandleCount(bool* pOpen = nullptr)
{
  SimDrvOpenHandleCount(0);   // the simulation lets go of handles closed meanwhile
  DWORD n = 0, dwFlags;
  for (ULONG i = 1; i < kHandleValues; ++i) {
    bool bOpen = GetHandleInformation(reinterpret_cast<HANDLE>(ULONG_PTR{ i } * 4), &dwFlags);
    n += bOpen;
    if (pOpen != nullptr) pOpen[i] = bOpen;
  }
  return n;
}

// Names the handles that were not open at the baseline, with their object type.
void PrintNewHandles(const bool* pBaseline)
{
  typedef LONG(WINAPI * PFN_QUERY)(HANDLE, ULONG, void*, ULONG, ULONG*);
  auto pfnQuery = reinterpret_cast<PFN_QUERY>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  static bool now[kHandleValues];
  HandleCount(now);
  for (ULONG i = 1; i < kHandleValues; ++i) {
    if (now[i] && !pBaseline[i]) {
      ULONG_PTR info[64] = {};   // OBJECT_TYPE_INFORMATION: its name first
      ULONG ulSize = 0;
      if (pfnQuery != nullptr) pfnQuery(reinterpret_cast<HANDLE>(ULONG_PTR{ i } * 4), 2, info, sizeof info, &ulSize);
      const UNICODE_STRING* pName = reinterpret_cast<const UNICODE_STRING*>(info);
      printf("  ! handle 0x%lX left open (%.*ls)\n", i * 4, pName->Buffer != nullptr ? pName->Length / 2 : 0,
             pName->Buffer != nullptr ? pName->Buffer : L"");
    }
  }
}

ULONG ThreadCount()
{
  HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  ULONG n = 0;
  THREADENTRY32 te = {};
  te.dwSize = sizeof te;
  for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te)) {
    n += te.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(hSnap);
  return n;
}

ULONG HostDevicesMatchingSlots()
{
  ULONG n = 0;
  std::vector<tDevice*> devices = HostDevices();
  for (const Slot& s : g_Slots) {
    for (tDevice* pDevice : devices) {
      n += s.ulSim != 0 && lstrcmpiA(RefHostDevInfo(pDevice)->sPath, s.sPath) == 0;
    }
  }
  return n;
}

bool NoDeviceLockHeld()
{
  for (tDevice* pDevice : HostDevices()) {
    if (pDevice->RemoveLock[UMD_MOUFILT].lLock != 0) return false;
  }
  return true;
}

bool HostListEqualsDriver()
{
  ULONG ulPresent = 0;
  for (const Slot& s : g_Slots) ulPresent += s.ulSim != 0;
  return RefHostDeviceCount(g_pHost) == ulPresent && HostDevicesMatchingSlots() == ulPresent;
}

int g_nPassed, g_nFailed;

void Check(bool bOk, const char* sWhat)
{
  printf("%s %s\n", bOk ? "PASS" : "FAIL", sWhat);
  (bOk ? g_nPassed : g_nFailed)++;
}

// One device through a plug, a request, an event and an unplug before the
// baseline, so that what the process makes once is in it.
bool WarmUp()
{
  Rng rng = { 1 };
  Slot& s = g_Slots[0];
  Plug(s, rng);
  s.bChording = true;
  tDevice* pDevice = nullptr;
  WaitUntil(10000, [&] { return (pDevice = Hold(s.sPath, 0)) != nullptr; });
  if (pDevice == nullptr) {
    return false;
  }
  Unhold(pDevice);
  Burst(s, rng);
  Reconnect();
  DriverType(rng);
  if (s.pEvent != nullptr) {
    pDevice = Hold(s.sPath, 0);
    if (pDevice != nullptr) {
      Unregister(s, pDevice);
      Unhold(pDevice);
    }
  }
  Unplug(s, false);
  return WaitUntil(10000, [] { return RefHostDeviceCount(g_pHost) == 0; });
}

}  // namespace

int main(int argc, char** argv)
{
  const char* sSeed = getenv("SEED");
  const char* sSeconds = argc > 1 ? argv[1] : getenv("SOAK_S");
  g_ullSeed = sSeed != nullptr ? strtoull(sSeed, nullptr, 0) : 20261208;
  DWORD dwSeconds = sSeconds != nullptr ? strtoul(sSeconds, nullptr, 0) : 30;
  printf("soak: seed %llu (SEED=%llu replays it; thread timing still varies), %lu s\n", g_ullSeed, g_ullSeed,
         dwSeconds);
  fflush(stdout);
  InitializeCriticalSection(&g_csNotes);
  for (Slot& s : g_Slots) InitializeCriticalSection(&s.cs);

  if (RefHostModelsLoad("models", 0, FALSE) == 0 || !RefHostLoadPlugin(&g_Plugin, "DRAVMOU.dll")) {
    printf("set-up failed: models or DRAVMOU.dll missing\n0 passed, 1 failed\n");
    return 1;
  }
  g_pHost = RefHostGet();
  RefHostInit(g_pHost);
  g_pfnAnnounce = reinterpret_cast<PFN_HOST_ANNOUNCE>(g_pHost->Api[HOST_ANNOUNCE]);
  g_pHost->Api[HOST_ANNOUNCE] = reinterpret_cast<ULONG_PTR>(&SoakAnnounce);
  g_pHost->Api[HOST_REPORT_HW_EVENT] = reinterpret_cast<ULONG_PTR>(&SoakReportHwEvent);
  g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!RefHostThreadStart(&g_Bind) || RefHostThreadBind(&g_Bind, g_pHost, &g_Plugin) != 1) {
    printf("set-up failed: binding\n0 passed, 1 failed\n");
    return 1;
  }
  g_pHost->pfnDeviceCleanup = SoakDeviceCleanup;
  Check(WarmUp(), "warm-up: a device plugged, used and unplugged");
  static bool baseline[kHandleValues];
  DWORD dwHandles = HandleCount(baseline);
  ULONG ulThreads = ThreadCount();

  HANDLE hThreads[kRequestThreads + 2];
  for (ULONG i = 0; i < kRequestThreads; ++i) {
    hThreads[i] = CreateThread(nullptr, 0, RequestThread, reinterpret_cast<void*>(ULONG_PTR{ i }), 0, nullptr);
  }
  hThreads[kRequestThreads] = CreateThread(nullptr, 0, DriverThread, nullptr, 0, nullptr);
  hThreads[kRequestThreads + 1] = CreateThread(nullptr, 0, EventThread, nullptr, 0, nullptr);
  Sleep(dwSeconds * 1000);   // the soak's duration, not an ordering wait
  SetEvent(g_hStop);
  DWORD dwJoined = WaitForMultipleObjects(ARRAYSIZE(hThreads), hThreads, TRUE, 180000);
  Check(dwJoined < WAIT_OBJECT_0 + ARRAYSIZE(hThreads), "every soak thread came back (no hang)");
  if (dwJoined == WAIT_TIMEOUT) {
    printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
    fflush(stdout);
    ExitProcess(2);   // a thread hangs inside the plug-in: nothing below can be trusted
  }
  for (HANDLE h : hThreads) CloseHandle(h);

  printf("%ld requests, %ld driver-type changes; %ld plugs, %ld orderly and %ld surprise removals, %ld vetoed; "
         "%ld faults; %ld chording packets over %ld registrations, %ld after unregistration; %ld disconnects; "
         "%ld enumerations\n",
         g_lRequests, g_lDriverTypes, g_lPlugs, g_lOrderly, g_lSurprise, g_lVetoes, g_lFaults, g_lPackets,
         g_lRegistrations, g_lStrays, g_lDisconnects, g_lEnumerations);
  for (Slot& s : g_Slots) {
    if (s.ulSim != 0) {
      SimDrvSetMode(s.ulSim, SIMDRV_COMPLETE_AT_ONCE, 0, 0);
    }
  }
  Check(g_lViolations[F_LATE] == 0, "every request answered within its bound");
  Check(g_lViolations[F_STATUS] == 0 && g_lViolations[F_UNCLEAN] == 0 && g_lViolations[F_CONTROL] == 0,
        "every request answered with a status allowed for it (success on a healthy device)");
  for (Slot& s : g_Slots) {
    if (s.pEvent != nullptr) CheckDelivered(s, 10000);
  }
  Check(g_lViolations[F_LOST] == 0 && g_lViolations[F_DUPLICATE] == 0 && g_lViolations[F_ORDER] == 0 &&
          g_lViolations[F_FENCE] == 0,
        "every chording packet sent while registered reached the host once, in order");
  Check(g_lViolations[F_STRAY] == 0, "no chording packet reported outside its registration");

  // Arrivals and removals still queued are let through first.
  WaitUntil(60000, [] { return HostListEqualsDriver() && NoDeviceLockHeld(); });
  Check(HostListEqualsDriver(), "the host's device list equals the driver's present devices");
  bool bLocks = g_lViolations[F_LOCK] == 0;
  for (tDevice* pDevice : HostDevices()) {
    if (pDevice->RemoveLock[UMD_MOUFILT].lLock != 0) {
      printf("  ! DUID 0x%lX: remove lock held %ld times\n", pDevice->DUID, pDevice->RemoveLock[UMD_MOUFILT].lLock);
      bLocks = false;
    }
  }
  for (Slot& s : g_Slots) {
    if (s.pEvent != nullptr && s.pEvent->RemoveLock.lLock != 0) {
      printf("  ! slot %d: event record held %ld times\n", (int)(&s - g_Slots), s.pEvent->RemoveLock.lLock);
      bLocks = false;
    }
  }
  Check(bLocks, "no remove lock left held (devices, event records, removals)");

  // All out: nothing of the devices may stay behind.
  for (Slot& s : g_Slots) {
    if (s.pEvent != nullptr) {
      if (tDevice* pDevice = Hold(s.sPath, 0)) {
        Unregister(s, pDevice);
        Unhold(pDevice);
      }
    }
    if (s.ulSim != 0) Unplug(s, false);
  }
  Check(WaitUntil(60000, [] { return RefHostDeviceCount(g_pHost) == 0; }) && SimDrvOpenHandleCount(0) == 0,
        "every device removed after the last unplug, no driver handle left open");
  DWORD dwHandlesNow = 0;
  ULONG ulThreadsNow = 0;
  WaitUntil(10000, [&] { return (ulThreadsNow = ThreadCount()) == ulThreads; });
  WaitUntil(10000, [&] { return (dwHandlesNow = HandleCount()) == dwHandles; });
  printf("handles %lu -> %lu, threads %lu -> %lu\n", dwHandles, dwHandlesNow, ulThreads, ulThreadsNow);
  if (dwHandlesNow != dwHandles) PrintNewHandles(baseline);
  Check(dwHandlesNow == dwHandles, "the process handle count is back where it started");
  Check(ulThreadsNow == ulThreads, "the process thread count is back where it started");

  RefHostThreadUnbind(&g_Bind, &g_Plugin);
  RefHostThreadStop(&g_Bind);
  RefHostShutdown(g_pHost);
  RefHostModelsFree();
  if (g_nFailed != 0) {
    printf("seed %llu\n", g_ullSeed);
  }
  printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
  fflush(stdout);
  // The DLL stays loaded: a thread it left behind would run into unmapped code.
  return g_nFailed == 0 ? 0 : 1;
}
