// Remove locks, device and lone forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "diag/Trace.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

std::unique_ptr<tDevice> NewDevice(ULONG ulUMDCreated)
{
  auto p = std::make_unique<tDevice>();
  memset(p.get(), 0, sizeof *p);
  p->DUID = 0x00A10009;
  strcpy(p->sDeviceName, "Lock Test Mouse");
  p->ulUMDCreated = ulUMDCreated;
  return p;
}

// The device-list mutex that RequestRemoval takes for LD_DEVICE_LOCK.
class DeviceListMutex {
public:
  DeviceListMutex() : hMutex(CreateMutexA(nullptr, FALSE, nullptr)) { SynchSetDeviceListMutex(hMutex); }
  ~DeviceListMutex()
  {
    SynchSetDeviceListMutex(nullptr);
    CloseHandle(hMutex);
  }
  HANDLE hMutex;
};

// Calls RequestRemoval from another thread.
struct RemovalCall {
  tDevice* pDevice;
  BOOL bReleaseOwnLock;
  BOOL bResult;
};

DWORD WINAPI RequestRemovalThread(void* pv)
{
  auto* p = static_cast<RemovalCall*>(pv);
  if (p->bReleaseOwnLock) {
    AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdFoundDevice, p->pDevice);
  }
  p->bResult = RequestRemoval(UMD_MOUFILT, p->pDevice, p->bReleaseOwnLock, LOCK_UmdFoundDevice);
  return 0;
}

}  // namespace

// ---- Acquire and release ----------------------------------------------------------

TEST(RemoveLockDevice, AllUmdsBacksOutWhenEntryFiveIsMarked)
{
  TraceLevel level(TRACE_CAT_LOCK);
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  for (ULONG i = 0; i < UMD_LOCK_COUNT; ++i) {
    pDevice->RemoveLock[i].lLock = static_cast<LONG>(i % 3);
  }
  pDevice->RemoveLock[5].lRemove = 1;
  TraceCapture capture;
  EXPECT_FALSE(AcquireRemoveLock(LD_ALL_UMDS, LOCK_DeviceParseList, pDevice.get()));
  for (ULONG i = 0; i < UMD_LOCK_COUNT; ++i) {
    EXPECT_EQ(static_cast<LONG>(i % 3), pDevice->RemoveLock[i].lLock) << "entry " << i;
  }
  EXPECT_TRUE(capture.Contains("AquireRemoveLock - Locking UMDs 0 to 13."));
  EXPECT_TRUE(capture.Contains("AcquireRemoveLock - REMOVAL is pending for UMD 5."));
}

TEST(RemoveLockDevice, AllUmdsTakesPluginEntriesButNotTheDeviceEntry)
{
  auto pDevice = NewDevice(0);
  ASSERT_TRUE(AcquireRemoveLock(LD_ALL_UMDS, LOCK_DeviceParseList, pDevice.get()));
  for (ULONG i = 0; i < UMD_MAX_INDEX; ++i) {
    EXPECT_EQ(1, pDevice->RemoveLock[i].lLock);
  }
  EXPECT_EQ(0, pDevice->RemoveLock[LD_DEVICE_LOCK].lLock);
  EXPECT_TRUE(IsRemoveLockOwned(LD_ALL_UMDS, pDevice.get()));
  EXPECT_FALSE(IsRemoveLockOwned(LD_DEVICE_LOCK, pDevice.get()));

  // One entry without a holder is enough to make the whole range unowned.
  ASSERT_TRUE(ReleaseRemoveLock(UMD_HIDFILT_NONCC, LOCK_DeviceParseList, pDevice.get()));
  EXPECT_FALSE(IsRemoveLockOwned(LD_ALL_UMDS, pDevice.get()));
  EXPECT_TRUE(IsRemoveLockOwned(UMD_MOUFILT, pDevice.get()));
  EXPECT_EQ(0, pDevice->RemoveLock[UMD_HIDFILT_NONCC].lLock);
}

TEST(RemoveLockDevice, PluginThatDidNotCreateTheDeviceCannotLockIt)
{
  auto pDevice = NewDevice(1u << UMD_HIDFILT_MOUSE);
  TraceCapture capture;
  EXPECT_FALSE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));
  for (const tRemoveLock& lock : pDevice->RemoveLock) {
    EXPECT_EQ(0, lock.lLock);
  }
  EXPECT_TRUE(capture.Contains("Device 0x00A10009 Lock Test Mouse was not created by UMD:UMD_MOUFILT."));
  EXPECT_FALSE(capture.Contains("assert pDevice->pUMDinfo[ DeviceUMD ] == NULL"));

  // A per-device block without the created bit is inconsistent: asserted.
  BYTE block[MOU_DEVINFO_SIZE] = {};
  pDevice->pUMDinfo[UMD_MOUFILT] = block;
  EXPECT_FALSE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));
  EXPECT_TRUE(capture.Contains("assert pDevice->pUMDinfo[ DeviceUMD ] == NULL"));

  // The device manager's entry and the device's own are not tied to the mask.
  EXPECT_TRUE(AcquireRemoveLock(UMD_DEVICE_MGR, LOCK_CreateDeviceMgr, pDevice.get()));
  EXPECT_EQ(1, pDevice->RemoveLock[UMD_DEVICE_MGR].lLock);
  EXPECT_TRUE(AcquireRemoveLock(LD_DEVICE_LOCK, LOCK_CreateDeviceMgr, pDevice.get()));
  EXPECT_EQ(1, pDevice->RemoveLock[LD_DEVICE_LOCK].lLock);
}

TEST(RemoveLockDevice, NullDeviceAndBadSelectorChangeNothing)
{
  TraceLevel level(TRACE_CAT_LOCK);
  TraceCapture capture;
  EXPECT_FALSE(AcquireRemoveLock(UMD_MOUFILT, LOCK_DeviceParseList, nullptr));
  EXPECT_TRUE(capture.Contains("pDevice is NULL - DeviceUMD:9 - ulLockId:LOCK_DeviceParseList."));
  EXPECT_FALSE(ReleaseRemoveLock(UMD_MOUFILT, LOCK_DeviceParseList, nullptr));
  EXPECT_TRUE(capture.Contains("ReleaseRemoveLock - pDevice is NULL - DeviceUMD:9 - ulLockId:LOCK_DeviceParseList."));
  EXPECT_FALSE(IsRemoveLockOwned(UMD_MOUFILT, nullptr));
  EXPECT_TRUE(capture.Contains("IsRemoveLockOwned - pDevice is NULL."));
  EXPECT_FALSE(IsRemovalPending(UMD_MOUFILT, nullptr));
  EXPECT_TRUE(capture.Contains("IsRemovalPending - pDevice is NULL."));
  EXPECT_EQ(3u, capture.Count("assert FALSE"));

  auto pDevice = NewDevice(0xFFFFFFFF);
  EXPECT_FALSE(AcquireRemoveLock(LD_ALL_UMDS + 1, LOCK_UmdProcessEvent, pDevice.get()));
  EXPECT_FALSE(ReleaseRemoveLock(LD_ALL_UMDS + 1, LOCK_UmdProcessEvent, pDevice.get()));
  EXPECT_FALSE(RequestRemoval(LD_ALL_UMDS, pDevice.get(), FALSE, LOCK_UmdProcessEvent));
  for (const tRemoveLock& lock : pDevice->RemoveLock) {
    EXPECT_EQ(0, lock.lLock);
    EXPECT_EQ(0, lock.lRemove);
  }
}

TEST(RemoveLockDevice, ReleaseBelowZeroIsReported)
{
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  TraceCapture capture;
  EXPECT_TRUE(ReleaseRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));
  EXPECT_EQ(-1, pDevice->RemoveLock[UMD_MOUFILT].lLock);
  EXPECT_TRUE(capture.Contains("assert pDevice->RemoveLock[ i ].lLock >= 0"));
}

// ---- Removal ----------------------------------------------------------------------

TEST(RemoveLockDevice, RemovalMarksTheEntryAndRefusesLaterAcquires)
{
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdFoundDevice, pDevice.get()));
  // The caller gives up its own hold before it waits.
  EXPECT_TRUE(RequestRemoval(UMD_MOUFILT, pDevice.get(), TRUE, LOCK_UmdFoundDevice));
  EXPECT_EQ(0, pDevice->RemoveLock[UMD_MOUFILT].lLock);
  EXPECT_EQ(1, pDevice->RemoveLock[UMD_MOUFILT].lRemove);
  EXPECT_TRUE(IsRemovalPending(UMD_MOUFILT, pDevice.get()));
  EXPECT_TRUE(IsRemovalPending(LD_ALL_UMDS, pDevice.get()));
  EXPECT_FALSE(IsRemovalPending(LD_DEVICE_LOCK, pDevice.get()));

  EXPECT_FALSE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));
  EXPECT_EQ(0, pDevice->RemoveLock[UMD_MOUFILT].lLock);
}

TEST(RemoveLockDevice, SecondRequesterReturnsAtOnceWhileTheFirstWaitsForTheHolder)
{
  TraceLevel level(TRACE_CAT_LOCK);
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));   // the holder

  // The first requester gives up its own hold after marking the entry; its
  // release line says it is inside.
  TraceCapture capture;
  HANDLE hMarked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  capture.SignalOn("ReleaseRemoveLock - UN-locking UMDs 9 to 10.", hMarked);
  RemovalCall first{ pDevice.get(), TRUE, FALSE };
  HANDLE hFirst = CreateThread(nullptr, 0, RequestRemovalThread, &first, 0, nullptr);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hMarked, 10000));
  EXPECT_FALSE(RequestRemoval(UMD_MOUFILT, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_TRUE(capture.Contains("Device is already being removed by someone else"));
  EXPECT_EQ(2, pDevice->RemoveLock[UMD_MOUFILT].lRemove);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hFirst, 0));   // still waiting

  ReleaseRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get());
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hFirst, 10000));
  EXPECT_TRUE(first.bResult);
  EXPECT_EQ(0, pDevice->RemoveLock[UMD_MOUFILT].lLock);
  EXPECT_FALSE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
  CloseHandle(hFirst);
  CloseHandle(hMarked);
}

TEST(RemoveLockDevice, RemovalAndAcquiresRaceWithoutAHoldSurvivingTheRemoval)
{
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  struct Context {
    tDevice* pDevice;
    HANDLE hStarted[4];
    volatile LONG lHeldAfterRemoval;
    volatile LONG lRemoved;
  } ctx{ pDevice.get(), {}, 0, 0 };
  struct Worker {
    Context* pCtx;
    HANDLE hStarted;
  } workers[4];
  // Each worker acquires and releases until it has tried 1000 times after the removal.
  auto worker = [](void* pv) -> DWORD {
    auto* w = static_cast<Worker*>(pv);
    Context* c = w->pCtx;
    for (int iAfter = 0; iAfter < 1000;) {
      BOOL bRemoved = c->lRemoved;
      if (AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, c->pDevice)) {
        if (bRemoved) {
          InterlockedIncrement(&c->lHeldAfterRemoval);
        }
        ReleaseRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, c->pDevice);
      }
      SetEvent(w->hStarted);
      iAfter += bRemoved ? 1 : 0;
    }
    return 0;
  };
  HANDLE hThreads[4];
  for (int i = 0; i < 4; ++i) {
    ctx.hStarted[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    workers[i] = { &ctx, ctx.hStarted[i] };
    hThreads[i] = CreateThread(nullptr, 0, worker, &workers[i], 0, nullptr);
  }
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForMultipleObjects(4, ctx.hStarted, TRUE, 10000));
  EXPECT_TRUE(RequestRemoval(UMD_MOUFILT, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  InterlockedExchange(&ctx.lRemoved, 1);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForMultipleObjects(4, hThreads, TRUE, 30000));
  for (int i = 0; i < 4; ++i) {
    CloseHandle(hThreads[i]);
    CloseHandle(ctx.hStarted[i]);
  }
  EXPECT_EQ(0, ctx.lHeldAfterRemoval);
  EXPECT_EQ(0, pDevice->RemoveLock[UMD_MOUFILT].lLock);
}

TEST(RemoveLockDevice, DeviceLockIsRefusedWhileAPluginStillHasTheDevice)
{
  DeviceListMutex mutex;
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  TraceCapture capture;
  EXPECT_FALSE(RequestRemoval(LD_DEVICE_LOCK, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_EQ(0, pDevice->RemoveLock[LD_DEVICE_LOCK].lRemove);
  EXPECT_TRUE(capture.Contains(
    "there is still a UMD created, or a new UMD just attached to this device and revived it"));
  EXPECT_FALSE(capture.Contains("assert bReleaseRemoveLock == FALSE"));

  EXPECT_FALSE(RequestRemoval(LD_DEVICE_LOCK, pDevice.get(), TRUE, LOCK_UmdProcessDeviceChanges));
  EXPECT_TRUE(capture.Contains("assert bReleaseRemoveLock == FALSE"));
  EXPECT_EQ(0, pDevice->RemoveLock[LD_DEVICE_LOCK].lRemove);
  // The region was left each time.
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(mutex.hMutex, 0));
  ReleaseMutex(mutex.hMutex);
}

TEST(RemoveLockDevice, DeviceLockTestsTheCreatedMaskUnderTheDeviceListMutex)
{
  DeviceListMutex mutex;
  auto pDevice = NewDevice(0);
  // A plug-in attaches while holding the device list; the removal must see it.
  // It attaches once the removal is waiting for the device list.
  TraceLevel level(TRACE_CAT_LOCK);
  TraceCapture capture;
  struct Attach {
    HANDLE hMutex;
    HANDLE hTaken;
    HANDLE hWaiting;
    tDevice* pDevice;
  } attach{ mutex.hMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr),
            pDevice.get() };
  capture.SignalOn("CriticalRegionEnter( ", attach.hWaiting);
  auto attacher = [](void* pv) -> DWORD {
    auto* a = static_cast<Attach*>(pv);
    WaitForSingleObject(a->hMutex, INFINITE);
    SetEvent(a->hTaken);
    WaitForSingleObject(a->hWaiting, 10000);
    a->pDevice->ulUMDCreated |= 1u << UMD_MOUFILT;
    ReleaseMutex(a->hMutex);
    return 0;
  };
  HANDLE hThread = CreateThread(nullptr, 0, attacher, &attach, 0, nullptr);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(attach.hTaken, 5000));
  EXPECT_FALSE(RequestRemoval(LD_DEVICE_LOCK, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_EQ(0, pDevice->RemoveLock[LD_DEVICE_LOCK].lRemove);
  WaitForSingleObject(hThread, 5000);
  CloseHandle(hThread);
  CloseHandle(attach.hTaken);
  CloseHandle(attach.hWaiting);

  // Once nobody has it, the first request wins.
  pDevice->ulUMDCreated = 0;
  EXPECT_TRUE(RequestRemoval(LD_DEVICE_LOCK, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_EQ(1, pDevice->RemoveLock[LD_DEVICE_LOCK].lRemove);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(mutex.hMutex, 0));
  ReleaseMutex(mutex.hMutex);
}

TEST(RemoveLockDevice, DeviceLockUsesTheBoundHostsMutexAndGoesOnWithoutOne)
{
  TraceLevel level(TRACE_CAT_LOCK);
  tGbl* pSaved = g_pGbl;
  tGbl gbl{ CreateMutexA(nullptr, FALSE, nullptr) };
  g_pGbl = &gbl;
  SynchSetDeviceListMutex(nullptr);
  auto pDevice = NewDevice(0);
  TraceCapture capture;
  EXPECT_TRUE(RequestRemoval(LD_DEVICE_LOCK, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  char sLine[64];
  snprintf(sLine, sizeof sLine, "CriticalRegionEnter( %08X, 00000000 ) - Entry.",
           static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(gbl.hDeviceListMutex)));
  EXPECT_TRUE(capture.Contains(sLine));
  EXPECT_FALSE(capture.Contains("couldn't acquire mutex pDevice->hDeviceListMutex"));

  // No host mutex at all: logged, and the removal goes on.
  g_pGbl = nullptr;
  auto pOther = NewDevice(0);
  EXPECT_TRUE(RequestRemoval(LD_DEVICE_LOCK, pOther.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_TRUE(capture.Contains("couldn't acquire mutex pDevice->hDeviceListMutex"));
  EXPECT_EQ(1, pOther->RemoveLock[LD_DEVICE_LOCK].lRemove);

  g_pGbl = pSaved;
  CloseHandle(gbl.hDeviceListMutex);
}

TEST(SlowRemoveLockDevice, HolderThatNeverReleasesCostsThirtySeconds)
{
  auto pDevice = NewDevice(1u << UMD_MOUFILT);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdProcessEvent, pDevice.get()));
  TraceCapture capture;
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_TRUE(RequestRemoval(UMD_MOUFILT, pDevice.get(), FALSE, LOCK_UmdProcessDeviceChanges));
  EXPECT_GE(GetTickCount64() - ullStart, 29000u);
  EXPECT_TRUE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
  EXPECT_EQ(1, pDevice->RemoveLock[UMD_MOUFILT].lLock);
}

// ---- Lone form ----------------------------------------------------------------------

TEST(RemoveLockLone, OnlyHolderRemovesAtOnceAndASecondRequestIsRefused)
{
  tRemoveLock lock{ 0, 0 };
  ASSERT_TRUE(AcquireRemoveLock(&lock));
  TraceCapture capture;
  EXPECT_TRUE(RequestLockRemoval(&lock));
  EXPECT_FALSE(capture.Contains("Lock is held. Waiting"));
  EXPECT_EQ(1, lock.lRemove);
  EXPECT_FALSE(RequestLockRemoval(&lock));
  EXPECT_TRUE(capture.Contains("Removal already requested."));
  EXPECT_EQ(2, lock.lRemove);

  // Marked: an acquire backs out.
  EXPECT_FALSE(AcquireRemoveLock(&lock));
  EXPECT_EQ(1, lock.lLock);
  ReleaseRemoveLock(&lock);
  EXPECT_EQ(0, lock.lLock);
}

TEST(RemoveLockLone, RemovalWaitsForTheOtherHolder)
{
  tRemoveLock lock{ 0, 0 };
  ASSERT_TRUE(AcquireRemoveLock(&lock));   // the other holder
  ASSERT_TRUE(AcquireRemoveLock(&lock));   // ours
  // The other holder lets go once the removal says it waits.
  struct Other {
    tRemoveLock* pLock;
    HANDLE hWaiting;
  } other{ &lock, CreateEventA(nullptr, TRUE, FALSE, nullptr) };
  auto releaser = [](void* pv) -> DWORD {
    auto* o = static_cast<Other*>(pv);
    WaitForSingleObject(o->hWaiting, 10000);
    ReleaseRemoveLock(o->pLock);
    return 0;
  };
  TraceCapture capture;
  capture.SignalOn("Lock is held. Waiting for 100 ms... (1/300)", other.hWaiting);
  HANDLE hThread = CreateThread(nullptr, 0, releaser, &other, 0, nullptr);
  EXPECT_TRUE(RequestLockRemoval(&lock));
  EXPECT_EQ(1, lock.lLock);
  EXPECT_TRUE(capture.Contains("Lock is held. Waiting for 100 ms... (1/300)"));
  EXPECT_FALSE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
  WaitForSingleObject(hThread, 5000);
  CloseHandle(hThread);
  CloseHandle(other.hWaiting);
}

TEST(RemoveLockLone, CountsOutOfRangeAreReported)
{
  tRemoveLock lock{ 0, 0 };
  TraceCapture capture;
  ReleaseRemoveLock(&lock);
  EXPECT_TRUE(capture.Contains("Remove Lock count (-1)."));
  lock.lLock = -5;
  EXPECT_TRUE(AcquireRemoveLock(&lock));
  EXPECT_TRUE(capture.Contains("Remove Lock count (-4)."));

  // Signalling without holding is a caller's fault: asserted.
  tRemoveLock other{ 0, 0 };
  EXPECT_TRUE(SignalRemoval(&other));
  EXPECT_TRUE(capture.Contains("assert pLock->lLock > 0"));
}
