// Soak: the plug-in DLL bound to the reference host and the simulated driver under load and faults,
// then checked. Eight mouse slots are plugged and unplugged (orderly and surprise); four
// threads send random settings requests and driver-type changes; one injects driver faults (time-outs,
// errors, short replies) and asks for enumerations while changes are queued; one streams chording
// packets, registers and unregisters the event, disconnects and reconnects.
// Usage: drav_soak [seconds]   (or SOAK_S=seconds; SEED=n replays a seed)
#include <windows.h>

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
#include "tests/unit/TestSupport.h"

namespace {
constexpr ULONG kSlots = 8, kRequestThreads = 4;
constexpr DWORD kIoctlBoundMs = 3000;   // transport time-out and the wait after its cancel
constexpr DWORD kLoadSlackMs = 5000;    // a loaded two-core machine
constexpr DWORD kSlowMs = 2200;         // a driver that answers after the transport gave up
constexpr ULONG kStrayState = 7;        // a packet state reported as 0: sent only while unregistered
RefHost* g_pHost;
RefHostPlugin g_Plugin;
RefHostThread g_Bind;
ULONG64 g_ullSeed;
HANDLE g_hStop;
// One random stream per thread, derived from the seed.
struct Rng {
  ULONG64 s;
  ULONG Next(ULONG n)   // 0 .. n-1
  {
    ULONG64 z = s += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<ULONG>((z ^ (z >> 31)) % n);
  }
  bool Chance(ULONG percent) { return Next(100) < percent; }
};

// ---- Findings: the first few of each kind are printed -------------------------------------
volatile LONG g_lViolations[16];
enum Finding { F_LATE, F_STATUS, F_UNCLEAN, F_LOST, F_DUPLICATE, F_ORDER, F_STRAY, F_LOCK, F_CONTROL, F_FENCE };
void Note(Finding f, const char* sFormat, ...)
{
  if (InterlockedIncrement(&g_lViolations[f]) > 5) return;
  char sLine[512];
  va_list args;
  va_start(args, sFormat);
  vsnprintf(sLine, sizeof sLine, sFormat, args);
  va_end(args);
  printf("  ! %s\n", sLine);   // one call: the stream's lock keeps threads' lines apart
  fflush(stdout);
}
// ---- Slots ----------------------------------------------------------------------------------
enum Mode : LONG { M_NORMAL, M_SLOW, M_FAIL, M_HUNG };
struct Slot {
  CRITICAL_SECTION cs;                // whoever plugs, unplugs, injects or streams on the slot
  volatile ULONG ulSim;               // simulated device, 0 while unplugged
  volatile LONG lGen;                 // plug generation, part of the path
  char sPath[160];
  bool bChording;                     // this plug streams events: no fault that ends event reads
  volatile LONG lMode;
  volatile ULONG ulShortParams;       // bit per entry of kGetParams answering short
  volatile bool bVetoed;              // an orderly removal was refused: its handle is gone
  volatile LONG lEpoch;               // odd while a fault, plug or unplug is under way
  volatile ULONGLONG ullQuietSince;   // normal mode since, with no late request left behind
  tHWEvent* volatile pEvent;          // chording record while registered
  volatile LONG lSent, lDelivered;
};
Slot g_Slots[kSlots];
int SlotNo(const Slot& s) { return static_cast<int>(&s - g_Slots); }
const ULONG kGetParams[] = { ID_PARAM_POINTER_SPEED, ID_PARAM_ORIENTATION, ID_PARAM_ACCELERATION,
                             ID_PARAM_WHEEL_ACCELERATION, ID_PARAM_WHEEL_SPEED, ID_PARAM_WHEEL_FILTER,
                             ID_PARAM_WHEEL_RESOLUTION, ID_PARAM_TIME_STAMP };
// Counters for the summary.
volatile LONG g_lRequests, g_lPlugs, g_lOrderly, g_lSurprise, g_lVetoes, g_lFaults, g_lPackets, g_lStrays,
  g_lRegistrations, g_lDisconnects, g_lEnumerations, g_lDriverTypes;
bool Stopping(DWORD dwPauseMs) { return WaitForSingleObject(g_hStop, dwPauseMs) == WAIT_OBJECT_0; }
// Bounded poll of a condition.
template <typename Fn>
bool WaitUntil(DWORD dwBoundMs, Fn condition)
{
  for (ULONGLONG ullEnd = GetTickCount64() + dwBoundMs; !condition(); Sleep(2)) {
    if (GetTickCount64() > ullEnd) return condition();
  }
  return true;
}

// ---- Host side ------------------------------------------------------------------------------
// The DUID each device record was last announced with: a reused record waits for its announcement.
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
// The host's devices in list order; valid while the caller holds the device-list mutex.
std::vector<tDevice*> HostDevices()
{
  std::vector<tDevice*> devices;
  auto pfnAdd = [](tDevice* pDevice, const void* p) -> BOOL {
    static_cast<std::vector<tDevice*>*>(const_cast<void*>(p))->push_back(pDevice);
    return FALSE;
  };
  RefHostFindDevice(g_pHost, pfnAdd, &devices);
  return devices;
}
LONG DeviceLock(const tDevice* pDevice) { return pDevice->RemoveLock[UMD_MOUFILT].lLock; }
// Every chording report: a registered record's n-th report is its n-th packet.
void SoakReportHwEvent(tDevice*, void* pHWEvent, ULONG_PTR value, ULONG_PTR, ULONG_PTR)
{
  bool bPacket = value == MOU_CHORDING_PRESSED || value == MOU_CHORDING_RELEASED;   // not a stray
  for (Slot& s : g_Slots) {
    if (!bPacket || s.pEvent != pHWEvent || pHWEvent == nullptr) continue;
    LONG n = InterlockedIncrement(&s.lDelivered) - 1;
    ULONG_PTR expected = n % 2 == 0 ? MOU_CHORDING_PRESSED : MOU_CHORDING_RELEASED;
    if (value != expected) Note(F_ORDER, "slot %d: report %ld has value 0x%lX", SlotNo(s), n, (ULONG)value);
    return;
  }
  Note(F_STRAY, bPacket ? "a chording report for a record that is not registered (value 0x%lX)"
                        : "a packet sent while its event was unregistered was reported (value 0x%lX)", (ULONG)value);
}
// Removal: once asked to remove, only a hold that was never given back keeps the lock.
ULONG SoakDeviceCleanup(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue)
{
  if (!WaitUntil(1000, [&] { return DeviceLock(pDevice) == 0; })) {
    Note(F_LOCK, "DUID 0x%lX removed with its remove lock held (%ld)", pDevice->DUID, DeviceLock(pDevice));
  }
  return g_Plugin.MouDeviceCleanup(pDevice, ulValue, pValue);
}
// The plug-in's remove lock on an announced device, as the host takes it: by path, or any picked by r.
tDevice* Hold(const char* sPath, ULONG r)
{
  DWORD dw = WaitForSingleObject(g_pHost->Gbl.hDeviceListMutex, 10000);
  if (dw != WAIT_OBJECT_0 && dw != WAIT_ABANDONED) return nullptr;
  tDevice* pHeld = nullptr;
  std::vector<tDevice*> devices = HostDevices();
  for (size_t n = 0; n < devices.size() && pHeld == nullptr; ++n) {
    tDevice* p = devices[(r + n) % devices.size()];
    bool bMatch = Announced(p) && (sPath == nullptr || lstrcmpiA(RefHostDevInfo(p)->sPath, sPath) == 0);
    if (bMatch && AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, p)) pHeld = p;
  }
  ReleaseMutex(g_pHost->Gbl.hDeviceListMutex);
  return pHeld;
}
void Unhold(tDevice* pDevice) { ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice); }
void Control(ULONG ulCommand)
{
  ULONG ulResult = RefHostThreadControl(&g_Bind, &g_Plugin, ulCommand, nullptr);
  if (ulResult != 1) Note(F_CONTROL, "MouControl(%lu) answered %lu", ulCommand, ulResult);
}
void Enumerate() { InterlockedIncrement(&g_lEnumerations); Control(LD_API_ENUMERATE); }

// ---- Plugs, unplugs and faults (under the slot's lock) ---------------------------------------
void Plug(Slot& s, Rng& rng)
{
  LONG lGen = InterlockedIncrement(&s.lGen);
  char sTag[32], sId[96];
  snprintf(sTag, sizeof sTag, "soak&s%d&g%ld", SlotNo(s), lGen);
  snprintf(s.sPath, sizeof s.sPath, "\\\\?\\HID#VID_3F1D&PID_C01E#%s#{5a486531-0201-43e0-bd81-d544bb08d0dc}", sTag);
  snprintf(sId, sizeof sId, "HID\\VID_3F1D&PID_C01E\\%s", sTag);
  SimDrvDeviceDesc desc = { .sPath = s.sPath, .sInstanceId = sId, .diNode = 0x100000 + lGen * kSlots + SlotNo(s),
                            .ulParentCount = 1, .Parents = { 0xFFFFF }, .pInterfaceClass = nullptr,
                            .pSetupClass = nullptr };
  s.bChording = rng.Chance(50);
  s.lMode = M_NORMAL;
  s.ullQuietSince = GetTickCount64();
  s.ulShortParams = 0;
  s.bVetoed = false;
  s.ulSim = SimDrvPlugDevice(&desc);
  InterlockedIncrement(&g_lPlugs);
}
void Unplug(Slot& s, bool bOrderly)
{
  bool bOut = SimDrvUnplugDevice(s.ulSim, bOrderly);
  InterlockedIncrement(!bOut ? &g_lVetoes : bOrderly ? &g_lOrderly : &g_lSurprise);
  s.bVetoed = !bOut;   // refused: the plug-in gave its handle up at the query
  if (!bOut) return;
  s.ulSim = 0;
  if (tHWEvent* pEvent = s.pEvent) {   // the host drops the device's event records with it
    s.pEvent = nullptr;
    RefHostRemoveHWEvent(g_pHost, pEvent);
  }
}
void InjectFault(Slot& s, Rng& rng)
{
  static const DWORD kErrors[] = { ERROR_GEN_FAILURE, ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_CRC,
                                   ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED };
  static const ULONG kSimModes[] = { SIMDRV_COMPLETE_AT_ONCE, SIMDRV_COMPLETE_LATER, SIMDRV_FAIL,
                                     SIMDRV_NEVER_ANSWER };   // by Mode
  InterlockedIncrement(&g_lFaults);
  if (rng.Chance(40)) {   // one reply cut short, or whole again
    ULONG i = rng.Next(ARRAYSIZE(kGetParams));
    bool bShort = rng.Chance(50);
    SimDrvSetReplyLength(s.ulSim, kGetParams[i], bShort ? rng.Next(4) : ~0u);
    s.ulShortParams = bShort ? s.ulShortParams | (1u << i) : s.ulShortParams & ~(1u << i);
    return;
  }
  ULONG r = rng.Next(100);
  // A streaming slot keeps its event reads: only late answers, which still come.
  LONG lMode = r < 60 ? M_NORMAL : r < 75 || s.bChording ? M_SLOW : r < 85 ? M_FAIL : M_HUNG;
  SimDrvSetMode(s.ulSim, kSimModes[lMode], kErrors[rng.Next(ARRAYSIZE(kErrors))], kSlowMs + rng.Next(400));
  if (lMode == M_NORMAL && s.lMode != M_NORMAL) s.ullQuietSince = GetTickCount64();
  s.lMode = lMode;
}
// A plug, unplug or fault at random; the slot's epoch is odd meanwhile. True for a plug or unplug.
bool Change(Slot& s, Rng& rng)
{
  bool bChange = s.ulSim == 0 || rng.Chance(15);
  if (!bChange && !rng.Chance(50)) return false;
  InterlockedIncrement(&s.lEpoch);
  if (s.ulSim == 0) Plug(s, rng);
  else if (bChange) Unplug(s, rng.Chance(50));
  else InjectFault(s, rng);
  InterlockedIncrement(&s.lEpoch);
  return bChange;
}
DWORD WINAPI DriverThread(void*)
{
  Rng rng = { g_ullSeed * 31 + 7 };
  for (Slot& s : g_Slots) {   // all plugged first
    EnterCriticalSection(&s.cs);
    Change(s, rng);
    LeaveCriticalSection(&s.cs);
  }
  while (!Stopping(10 + rng.Next(50))) {
    Slot& s = g_Slots[rng.Next(kSlots)];
    if (!TryEnterCriticalSection(&s.cs)) continue;   // streaming: another slot's turn
    bool bChange = Change(s, rng);
    LeaveCriticalSection(&s.cs);
    if (bChange && rng.Chance(25)) Enumerate();   // behind the arrival or removal just queued
  }
  return 0;
}

// ---- Settings requests ----------------------------------------------------------------------
// Builders fill a record and say whether it is one the handler must refuse.
bool NoRecord(ULONG*, Rng&) { return false; }
bool Value(ULONG* p, Rng& r) { p[1] = r.Next(1000); return false; }
bool Speed(ULONG* p, Rng& r) { p[1] = r.Next(21), p[2] = r.Next(21); return false; }
bool Level(ULONG* p, Rng& r) { return (p[1] = r.Next(8)) > MOU_MAX_ACCELERATION_LEVEL; }
bool WheelRes(ULONG* p, Rng& r) { return (p[1] = r.Next(4)) > 2; }
bool CurveIndex(ULONG* p, Rng& r) { p[1] = 1 + r.Next(CURVE_COUNT); return false; }
bool WheelFilter(ULONG* p, Rng& r) { for (int i = 1; i <= 4; ++i) p[i] = r.Next(300); return false; }
void Floats(ULONG* p, float f0, float f1) { memcpy(p, &f0, sizeof f0), memcpy(p + 1, &f1, sizeof f1); }
bool WheelSpeed(ULONG* p, Rng& r) { Floats(&p[1], 0.5f + r.Next(8), 0.125f); return false; }
bool WheelAcc(ULONG* p, Rng& r)
{
  p[1] = r.Next(2), p[2] = r.Next(10), p[3] = 10 + r.Next(10);
  Floats(&p[4], 1.5f, 0.25f);
  return false;
}
bool Curve(ULONG* p, Rng& r)
{
  p[1] = r.Next(8), p[2] = r.Next(CURVE_MAX_POINTS + 2);
  for (ULONG i = 0; i < CURVE_MAX_POINTS; ++i) p[3 + i] = r.Next(0x10000);
  return p[1] == 0 || p[1] > CURVE_COUNT || p[2] > CURVE_MAX_POINTS;
}
const struct RequestKind {
  ULONG ulFunction, ulMode;
  ULONG ulIoctls;   // most requests one call makes
  bool bReads;      // a short reply can fail it
  bool (*pfnBuild)(ULONG* pRecord, Rng& rng);
} kRequests[] = {
  { LD_GET_MOUSE_SPEED, 0, 1, true, NoRecord }, { LD_SET_MOUSE_SPEED, 0, 1, false, Speed },
  { LD_GET_MOUSE_ACCELERATION, 0, 1, true, NoRecord }, { LD_SET_MOUSE_ACCELERATION, 0, 1, false, Level },
  { LD_GET_MOUSE_ORIENTATION, 0, 1, true, NoRecord }, { LD_SET_MOUSE_ORIENTATION, 0, 1, false, Value },
  { LD_SET_MOUSE_REPORT_RATE_ACC, 0, 1, false, Value }, { LD_SET_CHORDING_PARMS, 0, 1, false, Value },
  { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, 1, true, NoRecord }, { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, 2, false, WheelAcc },
  { LD_GET_MOUSE_WHEEL_FILTER, 0, 1, true, NoRecord }, { LD_SET_MOUSE_WHEEL_FILTER, 0, 1, false, WheelFilter },
  { LD_GET_MOUSE_WHEEL_SPEED, 0, 1, true, NoRecord }, { LD_SET_MOUSE_WHEEL_SPEED, 0, 1, false, WheelSpeed },
  { LD_GET_MOUSE_ACCELERATION_CURVE, 0, 0, false, CurveIndex }, { LD_SET_MOUSE_ACCELERATION_CURVE, 0, 3, true, Curve },
  { LD_GET_MOUSE_WHEEL_RESOLUTION, 2, 1, true, NoRecord }, { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, 1, false, WheelRes },
  { LD_GET_TIME_STAMP, 0, 1, true, NoRecord },
};
bool Allowed(const RequestKind& k, LD_STATUS status)
{
  if (k.ulFunction == LD_SET_CHORDING_PARMS) return status == LD_SUCCESS;   // answered without the driver's word
  return status == LD_SUCCESS || status == LD_DEVICE_REMOVAL || status == LD_INTERNAL_ERROR ||
         status == LD_IOCONTROL_ERROR || (k.bReads && status == LD_DEVICE_RETURNED_INVALID_DATA);
}
// Each device of the host gets two requests.
void DriverType(Rng& rng)
{
  MouValueRecord type = { sizeof type, rng.Next(3) };
  ULONG ulSize = 0;
  ULONGLONG ullStart = GetTickCount64();
  LD_STATUS status = g_Plugin.MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize, 0);
  DWORD dwMs = static_cast<DWORD>(GetTickCount64() - ullStart);
  InterlockedIncrement(&g_lDriverTypes);
  if (status != LD_SUCCESS) Note(F_STATUS, "driver type %lu answered %s", type.ulValue, LdStatusToString(status));
  if (dwMs > kSlots * 2 * kIoctlBoundMs + kLoadSlackMs) Note(F_LATE, "driver type %lu took %lu ms", type.ulValue, dwMs);
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
    // No change under way or during the call, no fault, this plug: success is due.
    bool bClean = lEpoch % 2 == 0 && s.ulSim != 0 && s.lMode == M_NORMAL && s.ulShortParams == 0 && !s.bVetoed &&
                  s.lGen == lGen;
    ULONG ulSize = 0;
    ULONGLONG ullStart = GetTickCount64();
    LD_STATUS status = g_Plugin.MouDeviceControl(pDevice, k.ulFunction, record, &ulSize, k.ulMode);
    DWORD dwMs = static_cast<DWORD>(GetTickCount64() - ullStart);
    bClean = bClean && s.lEpoch == lEpoch;
    InterlockedIncrement(&g_lRequests);
    const char* sName = LdFunctionToString(k.ulFunction);
    if (dwMs > k.ulIoctls * kIoctlBoundMs + kLoadSlackMs) Note(F_LATE, "%s on slot %u took %lu ms", sName, uSlot, dwMs);
    if (bInvalid ? status != LD_INVALID_PARAMETER : !Allowed(k, status)) {
      Note(F_STATUS, "%s on slot %u answered %s", sName, uSlot, LdStatusToString(status));
    } else if (!bInvalid && bClean && status != LD_SUCCESS) {
      HANDLE h = RefHostDevInfo(pDevice)->hHandle;
      Note(F_UNCLEAN, "%s on healthy slot %u answered %s (its handle %p is simulated device %lu's, the slot's is %lu)",
           sName, uSlot, LdStatusToString(status), h, SimDrvDeviceOfHandle(h), s.ulSim);
    }
    Unhold(pDevice);
  }
  return 0;
}

// ---- Chording events and connection ---------------------------------------------------------
// In normal mode the only request a device keeps open is its event read: one open again means
// every packet before it went through the callback.
void Fence(const Slot& s)
{
  if (!WaitUntil(10000, [&] { return SimDrvPendingCount(s.ulSim) >= 1; })) {
    Note(F_FENCE, "slot %d: no event read outstanding within 10 s", SlotNo(s));
  }
}
// A packet the plug-in must not report; not while late answers of a slow spell pass for event reads.
void SendStray(Slot& s)
{
  bool bQuiet = s.ulSim != 0 && s.bChording && !s.bVetoed && s.lMode == M_NORMAL &&
                GetTickCount64() - s.ullQuietSince > kIoctlBoundMs + 1000;
  if (!bQuiet) return;
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
    Note(lDelivered < lSent ? F_LOST : F_DUPLICATE, "slot %d: %ld chording packets sent, %ld reported", SlotNo(s),
         lSent, lDelivered);
    s.lSent = s.lDelivered;   // counted once
  }
}
// Unregisters a slot's event on its held device, or else by path while the host still lists it.
void Unregister(Slot& s, tDevice* pHeld = nullptr)
{
  tDevice* pDevice = pHeld != nullptr ? pHeld : s.pEvent != nullptr ? Hold(s.sPath, 0) : nullptr;
  if (pDevice == nullptr) return;
  tHWEvent* pEvent = s.pEvent;
  g_Plugin.MouUnregisterEvent(pDevice, pEvent, 0);
  s.pEvent = nullptr;
  RefHostRemoveHWEvent(g_pHost, pEvent);
  if (pHeld == nullptr) Unhold(pDevice);
}
void Burst(Slot& s, Rng& rng)
{
  tDevice* pDevice = s.ulSim != 0 && s.bChording && !s.bVetoed ? Hold(s.sPath, 0) : nullptr;
  if (pDevice == nullptr) return;
  if (s.pEvent == nullptr) {   // whatever the driver answers, the record is kept and its packets reported
    s.lSent = 0;
    s.lDelivered = 0;
    s.pEvent = RefHostAddHWEvent(g_pHost, pDevice->DUID, pDevice->DeviceKey, HW_EVENT_CHORDING_BUTTON,
                                 1u << UMD_MOUFILT);
    if (s.pEvent != nullptr) {
      g_Plugin.MouRegisterEvent(pDevice, s.pEvent, 0);
      InterlockedIncrement(&g_lRegistrations);
    }
  }
  if (s.pEvent != nullptr) {
    ULONG ulCount = 1 + rng.Next(s.lMode == M_SLOW ? 2 : 8);
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
      SendStray(s);
    }
  }
  Unhold(pDevice);
}
// Disconnect takes every event out of the driver, connect puts them back: packets between the two
// are not reported. (Bursts run on this same thread: none is in flight.)
void Reconnect()
{
  InterlockedIncrement(&g_lDisconnects);
  Control(LD_API_DISCONNECT);
  for (Slot& s : g_Slots) {
    EnterCriticalSection(&s.cs);
    if (s.pEvent != nullptr) SendStray(s);
    LeaveCriticalSection(&s.cs);
  }
  Control(LD_API_CONNECT);
}
DWORD WINAPI EventThread(void*)
{
  Rng rng = { g_ullSeed * 17 + 3 };
  while (!Stopping(2 + rng.Next(10))) {
    ULONG r = rng.Next(100);
    if (r < 70) {   // the first streaming slot from a random one on
      ULONG i = rng.Next(kSlots), n = 0;
      while (n++ < kSlots && !(g_Slots[i].bChording && g_Slots[i].ulSim != 0)) i = (i + 1) % kSlots;
      EnterCriticalSection(&g_Slots[i].cs);
      Burst(g_Slots[i], rng);
      LeaveCriticalSection(&g_Slots[i].cs);
    } else if (r < 76) {
      Reconnect();
    } else if (r < 80) {
      Enumerate();
    }
  }
  return 0;
}

// ---- End checks -----------------------------------------------------------------------------
// The simulation lets go of the handles closed meanwhile before they are counted.
DWORD HandleCount(bool* pOpen, const bool* pBaseline = nullptr)
{
  SimDrvOpenHandleCount(0);
  return TestHandleCount(pOpen, pBaseline);
}
// Every device the driver has present is in the host's list, and nothing else.
bool HostListEqualsDriver()
{
  std::vector<tDevice*> devices = HostDevices();
  ULONG ulPresent = 0, ulListed = 0;
  for (const Slot& s : g_Slots) {
    ulPresent += s.ulSim != 0;
    for (tDevice* p : devices) ulListed += s.ulSim != 0 && lstrcmpiA(RefHostDevInfo(p)->sPath, s.sPath) == 0;
  }
  return RefHostDeviceCount(g_pHost) == ulPresent && ulListed == ulPresent;
}
// No remove lock held on a device or an event record; with bNote, each one held is noted.
bool LocksFree(bool bNote)
{
  bool bFree = true;
  for (tDevice* pDevice : HostDevices()) {
    if (DeviceLock(pDevice) == 0) continue;
    bFree = false;
    if (bNote) Note(F_LOCK, "DUID 0x%lX: remove lock held %ld times", pDevice->DUID, DeviceLock(pDevice));
  }
  for (const Slot& s : g_Slots) {
    if (s.pEvent == nullptr || s.pEvent->RemoveLock.lLock == 0) continue;
    bFree = false;
    if (bNote) Note(F_LOCK, "slot %d: event record held %ld times", SlotNo(s), s.pEvent->RemoveLock.lLock);
  }
  return bFree;
}
int g_nPassed, g_nFailed;
void Check(bool bOk, const char* s) { printf("%s %s\n", bOk ? "PASS" : "FAIL", s); ++(bOk ? g_nPassed : g_nFailed); }
int Finish(int nExitCode)
{
  if (g_nFailed != 0) printf("seed %llu\n", g_ullSeed);
  printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
  fflush(stdout);
  return nExitCode;
}
// A plug, requests, events and an unplug before the baseline: what the process makes once is in it.
bool WarmUp()
{
  Rng rng = { 1 };
  Slot& s = g_Slots[0];
  Plug(s, rng);
  s.bChording = true;
  tDevice* pDevice = nullptr;
  if (!WaitUntil(10000, [&] { return (pDevice = Hold(s.sPath, 0)) != nullptr; })) return false;
  Unhold(pDevice);
  Burst(s, rng);
  Reconnect();
  DriverType(rng);
  Unregister(s);
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
  for (Slot& s : g_Slots) InitializeCriticalSection(&s.cs);
  g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool bSetUp = RefHostModelsLoad("models", 0, FALSE) != 0 && RefHostLoadPlugin(&g_Plugin, "DRAVMOU.dll");
  if (bSetUp) {
    g_pHost = RefHostGet();
    RefHostInit(g_pHost);
    g_pfnAnnounce = reinterpret_cast<PFN_HOST_ANNOUNCE>(g_pHost->Api[HOST_ANNOUNCE]);
    g_pHost->Api[HOST_ANNOUNCE] = reinterpret_cast<ULONG_PTR>(&SoakAnnounce);
    g_pHost->Api[HOST_REPORT_HW_EVENT] = reinterpret_cast<ULONG_PTR>(&SoakReportHwEvent);
    bSetUp = RefHostThreadStart(&g_Bind) && RefHostThreadBind(&g_Bind, g_pHost, &g_Plugin) == 1;
  }
  if (!bSetUp) {
    printf("set-up failed: models, DRAVMOU.dll or the binding\n");
    g_nFailed = 1;
    return Finish(1);
  }
  g_pHost->pfnDeviceCleanup = SoakDeviceCleanup;
  Check(WarmUp(), "warm-up: a device plugged, used and unplugged");
  static bool baseline[kTestHandleValues];
  DWORD dwHandles = HandleCount(baseline);
  ULONG ulThreads = TestThreadCount();
  HANDLE hThreads[kRequestThreads + 2];
  for (ULONG i = 0; i < ARRAYSIZE(hThreads); ++i) {
    auto pfn = i < kRequestThreads ? RequestThread : i == kRequestThreads ? DriverThread : EventThread;
    hThreads[i] = CreateThread(nullptr, 0, pfn, reinterpret_cast<void*>(ULONG_PTR{ i }), 0, nullptr);
  }
  Sleep(dwSeconds * 1000);   // the soak's duration, not an ordering wait
  SetEvent(g_hStop);
  DWORD dwJoined = WaitForMultipleObjects(ARRAYSIZE(hThreads), hThreads, TRUE, 180000);
  Check(dwJoined < WAIT_OBJECT_0 + ARRAYSIZE(hThreads), "every soak thread came back (no hang)");
  if (dwJoined == WAIT_TIMEOUT) ExitProcess(Finish(2));   // a thread hangs in the plug-in: nothing below holds
  for (HANDLE h : hThreads) CloseHandle(h);
  printf("%ld requests, %ld driver-type changes; %ld plugs, %ld orderly and %ld surprise removals, %ld vetoed; "
         "%ld faults; %ld chording packets over %ld registrations, %ld after unregistration; %ld disconnects; "
         "%ld enumerations\n",
         g_lRequests, g_lDriverTypes, g_lPlugs, g_lOrderly, g_lSurprise, g_lVetoes, g_lFaults, g_lPackets,
         g_lRegistrations, g_lStrays, g_lDisconnects, g_lEnumerations);
  for (Slot& s : g_Slots) {
    if (s.ulSim != 0) SimDrvSetMode(s.ulSim, SIMDRV_COMPLETE_AT_ONCE, 0, 0);
  }
  Check(g_lViolations[F_LATE] == 0, "every request answered within its bound");
  Check(g_lViolations[F_STATUS] + g_lViolations[F_UNCLEAN] + g_lViolations[F_CONTROL] == 0,
        "every request answered with a status allowed for it (success on a healthy device)");
  for (Slot& s : g_Slots) {
    if (s.pEvent != nullptr) CheckDelivered(s, 10000);
  }
  Check(g_lViolations[F_LOST] + g_lViolations[F_DUPLICATE] + g_lViolations[F_ORDER] + g_lViolations[F_FENCE] == 0,
        "every chording packet sent while registered reached the host once, in order");
  Check(g_lViolations[F_STRAY] == 0, "no chording packet reported outside its registration");
  // Arrivals and removals still queued are let through first.
  WaitUntil(60000, [] { return HostListEqualsDriver() && LocksFree(false); });
  Check(HostListEqualsDriver(), "the host's device list equals the driver's present devices");
  Check(LocksFree(true) && g_lViolations[F_LOCK] == 0, "no remove lock left held (devices, event records, removals)");
  // All out: nothing of the devices may stay behind.
  for (Slot& s : g_Slots) {
    Unregister(s);
    if (s.ulSim != 0) Unplug(s, false);
  }
  Check(WaitUntil(60000, [] { return RefHostDeviceCount(g_pHost) == 0; }) && SimDrvOpenHandleCount(0) == 0,
        "every device removed after the last unplug, no driver handle left open");
  DWORD dwHandlesNow = 0;
  ULONG ulThreadsNow = 0;
  WaitUntil(10000, [&] { return (ulThreadsNow = TestThreadCount()) == ulThreads; });
  WaitUntil(10000, [&] { return (dwHandlesNow = HandleCount(nullptr)) == dwHandles; });
  printf("handles %lu -> %lu, threads %lu -> %lu\n", dwHandles, dwHandlesNow, ulThreads, ulThreadsNow);
  if (dwHandlesNow != dwHandles) HandleCount(nullptr, baseline);
  Check(dwHandlesNow == dwHandles, "the process handle count is back where it started");
  Check(ulThreadsNow == ulThreads, "the process thread count is back where it started");
  RefHostThreadUnbind(&g_Bind, &g_Plugin);
  RefHostThreadStop(&g_Bind);
  RefHostShutdown(g_pHost);
  RefHostModelsFree();
  // The DLL stays loaded: a thread it left behind would run into unmapped code.
  return Finish(g_nFailed == 0 ? 0 : 1);
}
