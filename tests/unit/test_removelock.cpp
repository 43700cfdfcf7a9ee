// Remove locks, device and lone forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "diag/Trace.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

class RemoveLock : public testing::Test {
protected:
  void SetUp() override { Reset(1u << UMD_MOUFILT); }
  void Reset(ULONG ulCreated)
  {
    dev = {};
    dev.DUID = 0x00A10009;
    strcpy(dev.sDeviceName, "Lock Test Mouse");
    dev.ulUMDCreated = ulCreated;
  }
  // One digit per entry ("-" below zero): the lLock counts, or the lRemove ones.
  std::string Counts(bool bRemove) const
  {
    std::string s;
    for (const tRemoveLock& l : dev.RemoveLock)
      s += "-0123456789+"[std::clamp<LONG>(static_cast<LONG>(bRemove ? l.lRemove : l.lLock), -1, 10) + 1];
    return s;
  }
  BOOL Request(ULONG ulUmd, BOOL bRelease = FALSE) { return RequestRemoval(ulUmd, &dev, bRelease, LOCK_UmdFoundDevice); }
  BOOL Acquire(ULONG ulUmd = UMD_MOUFILT) { return AcquireRemoveLock(ulUmd, LOCK_UmdProcessEvent, &dev); }
  BOOL Release(ULONG ulUmd = UMD_MOUFILT) { return ReleaseRemoveLock(ulUmd, LOCK_UmdProcessEvent, &dev); }
  static constexpr const char* kNone = "00000000000000";
  tDevice dev;
  TraceLevel level{ TRACE_CAT_LOCK };
  TraceCapture capture;
};
class SlowRemoveLock : public RemoveLock {};

}  // namespace

TEST_F(RemoveLock, AcquireTakesTheSelectedEntriesOrNone)
{
  BYTE block[MOU_DEVINFO_SIZE] = {};
  // iMarked: an entry with a removal pending, or -1; bInfoBlock: a per-device block without the created bit (asserted).
  const struct { ULONG ulUmd, ulCreated; int iMarked; bool bInfoBlock; BOOL bResult; const char *sLocks, *sLine; } cases[] = {
    { LD_ALL_UMDS, 0, -1, false, TRUE, "11111111111110", "AquireRemoveLock - Locking UMDs 0 to 13." },
    { LD_ALL_UMDS, 1u << UMD_MOUFILT, 5, false, FALSE, kNone, "AcquireRemoveLock - REMOVAL is pending for UMD 5." },
    { UMD_MOUFILT, 1u << UMD_MOUFILT, -1, false, TRUE, "00000000010000", "Locking UMDs 9 to 10." },
    { UMD_MOUFILT, 1u << UMD_HIDFILT_MOUSE, -1, false, FALSE, kNone,
      "Device 0x00A10009 Lock Test Mouse was not created by UMD:UMD_MOUFILT." },
    { UMD_MOUFILT, 1u << UMD_HIDFILT_MOUSE, -1, true, FALSE, kNone, "assert pDevice->pUMDinfo[ DeviceUMD ] == NULL" },
    // The device manager's entry and the device's own are not tied to the mask.
    { UMD_DEVICE_MGR, 1u << UMD_HIDFILT_MOUSE, -1, false, TRUE, "10000000000000", "Locking UMDs 0 to 1." },
    { LD_DEVICE_LOCK, 1u << UMD_HIDFILT_MOUSE, -1, false, TRUE, "00000000000001", "Locking UMDs 13 to 14." },
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sLine);
    Reset(c.ulCreated);
    if (c.iMarked >= 0) dev.RemoveLock[c.iMarked].lRemove = 1;
    if (c.bInfoBlock) dev.pUMDinfo[UMD_MOUFILT] = block;
    capture.Clear();
    EXPECT_EQ(c.bResult, Acquire(c.ulUmd));
    EXPECT_EQ(c.sLocks, Counts(false));
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(c.bInfoBlock, capture.Contains("assert pDevice->pUMDinfo"));
    // Owned only with every entry of the range held.
    for (ULONG ulAsked : { c.ulUmd, LD_ALL_UMDS, LD_DEVICE_LOCK })
      EXPECT_EQ(c.bResult && ulAsked == c.ulUmd, IsRemoveLockOwned(ulAsked, &dev) != FALSE) << ulAsked;
    if (c.bResult) {
      EXPECT_TRUE(Release(c.ulUmd));
    }
    EXPECT_EQ(kNone, Counts(false));
  }
}

TEST_F(RemoveLock, MisuseChangesNothingAndIsReported)
{
  EXPECT_FALSE(AcquireRemoveLock(UMD_MOUFILT, LOCK_DeviceParseList, nullptr));
  EXPECT_FALSE(ReleaseRemoveLock(UMD_MOUFILT, LOCK_DeviceParseList, nullptr));
  EXPECT_FALSE(IsRemoveLockOwned(UMD_MOUFILT, nullptr));
  EXPECT_FALSE(IsRemovalPending(UMD_MOUFILT, nullptr));
  for (const char* s : { "pDevice is NULL - DeviceUMD:9 - ulLockId:LOCK_DeviceParseList.",
                         "ReleaseRemoveLock - pDevice is NULL - DeviceUMD:9 - ulLockId:LOCK_DeviceParseList.",
                         "IsRemoveLockOwned - pDevice is NULL.", "IsRemovalPending - pDevice is NULL." }) {
    EXPECT_TRUE(capture.Contains(s)) << s;
  }
  EXPECT_EQ(3u, capture.Count("assert FALSE"));
  // Selectors that name no entry (a removal takes a single one).
  dev.ulUMDCreated = 0xFFFFFFFF;
  EXPECT_FALSE(Acquire(LD_ALL_UMDS + 1));
  EXPECT_FALSE(Release(LD_ALL_UMDS + 1));
  EXPECT_FALSE(Request(LD_ALL_UMDS));
  EXPECT_EQ(kNone, Counts(false));
  EXPECT_EQ(kNone, Counts(true));
  // A release below zero.
  EXPECT_TRUE(Release());
  EXPECT_EQ("000000000-0000", Counts(false));
  EXPECT_TRUE(capture.Contains("assert pDevice->RemoveLock[ i ].lLock >= 0"));
}

TEST_F(RemoveLock, SecondRequesterReturnsAtOnceWhileTheFirstWaitsForTheHolder)
{
  ASSERT_TRUE(Acquire());   // the holder
  // The first requester gives up its own hold after marking the entry: its
  // release line says it is inside.
  HANDLE hMarked = NewEvent();
  capture.SignalOn("ReleaseRemoveLock - UN-locking UMDs 9 to 10.", hMarked);
  std::atomic<int> iFirst{ -1 };   // the first requester's result once it returned
  {
    std::jthread first([&] {
      Acquire();
      iFirst = Request(UMD_MOUFILT, TRUE);
    });
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hMarked, 10000));
    EXPECT_FALSE(Request(UMD_MOUFILT));
    EXPECT_TRUE(capture.Contains("Device is already being removed by someone else"));
    EXPECT_EQ(-1, iFirst);   // still waiting
    Release();
  }
  EXPECT_EQ(TRUE, iFirst);
  EXPECT_FALSE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
  EXPECT_EQ("00000000020000", Counts(true));
  EXPECT_TRUE(IsRemovalPending(UMD_MOUFILT, &dev) && IsRemovalPending(LD_ALL_UMDS, &dev));
  EXPECT_FALSE(IsRemovalPending(LD_DEVICE_LOCK, &dev));
  EXPECT_FALSE(Acquire());
  EXPECT_EQ(kNone, Counts(false));
  CloseHandle(hMarked);
}

// The device's own entry is marked only while no plug-in has the device, tested
// under the device-list mutex: the one set, else the bound host's; without
// either the removal goes on.
TEST_F(RemoveLock, DeviceLockTestsTheCreatedMaskUnderTheDeviceListMutex)
{
  tGbl* pSaved = g_pGbl;
  tGbl gbl{ CreateMutexA(nullptr, FALSE, nullptr) };
  HANDLE hSet = CreateMutexA(nullptr, FALSE, nullptr);
  const char* sLines[] = { "couldn't acquire mutex pDevice->hDeviceListMutex",
                           "there is still a UMD created, or a new UMD just attached to this device and revived it",
                           "assert bReleaseRemoveLock == FALSE" };
  const struct {
    HANDLE hMutex;
    ULONG ulCreated;
    BOOL bRelease;
    int iLines;   // bits: which of sLines are written
  } cases[] = {
    { hSet, 0, FALSE, 0 },
    { gbl.hDeviceListMutex, 0, FALSE, 0 },
    { nullptr, 0, FALSE, 1 },
    { hSet, 1u << UMD_MOUFILT, FALSE, 2 },
    { hSet, 1u << UMD_MOUFILT, TRUE, 6 },   // nobody holds the device's own entry to give it up
  };
  for (const auto& c : cases) {
    SynchSetDeviceListMutex(c.hMutex == hSet ? hSet : nullptr);
    g_pGbl = c.hMutex != nullptr ? &gbl : nullptr;
    Reset(c.ulCreated);
    capture.Clear();
    EXPECT_EQ(c.ulCreated == 0, Request(LD_DEVICE_LOCK, c.bRelease) != FALSE);
    EXPECT_EQ(c.ulCreated == 0 ? "00000000000001" : kNone, Counts(true));
    char sLine[64];
    snprintf(sLine, sizeof sLine, "CriticalRegionEnter( %08X, 00000000 ) - Entry.",
             static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(c.hMutex)));
    EXPECT_TRUE(capture.Contains(sLine)) << sLine;
    for (int i = 0; i < 3; ++i) EXPECT_EQ((c.iLines >> i & 1) != 0, capture.Contains(sLines[i])) << sLine << sLines[i];
    EXPECT_FALSE(ReleaseMutex(c.hMutex));   // the region was left
  }
  // A plug-in that attaches while the removal enters the region is seen (the
  // observer runs on the removing thread, just before it waits for the mutex).
  Reset(0);
  TraceSetObserver(
    [](DWORD, const char* sLine, void* pv) {
      if (strstr(sLine, "CriticalRegionEnter( ") != nullptr) static_cast<tDevice*>(pv)->ulUMDCreated = 1u << UMD_MOUFILT;
    },
    &dev);
  EXPECT_FALSE(Request(LD_DEVICE_LOCK));
  TraceSetObserver(nullptr, nullptr);
  EXPECT_EQ(kNone, Counts(true));
  g_pGbl = pSaved;
  SynchSetDeviceListMutex(nullptr);
  for (HANDLE h : { hSet, gbl.hDeviceListMutex }) CloseHandle(h);
}

TEST_F(SlowRemoveLock, HolderThatNeverReleasesCostsThirtySeconds)
{
  ASSERT_TRUE(Acquire());
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_TRUE(Request(UMD_MOUFILT));
  EXPECT_GE(GetTickCount64() - ullStart, 29000u);
  EXPECT_TRUE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
  EXPECT_EQ("00000000010000", Counts(false));
}

// Lone form. A holder's removal goes on at once when it is the only one, else
// once the other lets go; a second request is refused, and an acquire backs out.
TEST_F(RemoveLock, LoneRemovalWaitsForTheOtherHolderOnlyAndIsRequestedOnce)
{
  for (int nOthers : { 0, 1 }) {
    SCOPED_TRACE(nOthers);
    tRemoveLock lock{ 0, 0 };
    auto counts = [&] { return std::to_string(lock.lLock) + " held, " + std::to_string(lock.lRemove) + " removals"; };
    for (int i = 0; i <= nOthers; ++i) ASSERT_TRUE(AcquireRemoveLock(&lock));
    HANDLE hWaiting = NewEvent();
    capture.Clear();
    capture.SignalOn("Lock is held. Waiting for 100 ms... (1/300)", hWaiting);
    std::jthread other([&] {
      if (nOthers != 0 && WaitForSingleObject(hWaiting, 10000) != WAIT_FAILED) ReleaseRemoveLock(&lock);
    });
    EXPECT_TRUE(RequestLockRemoval(&lock));
    other.join();
    EXPECT_EQ("1 held, 1 removals", counts());
    EXPECT_EQ(nOthers != 0, capture.Contains("Lock is held. Waiting"));
    EXPECT_FALSE(capture.Contains("assert ulTimeOut < REMOVAL_TIMEOUT"));
    EXPECT_FALSE(RequestLockRemoval(&lock));
    EXPECT_TRUE(capture.Contains("Removal already requested."));
    EXPECT_FALSE(AcquireRemoveLock(&lock));
    ReleaseRemoveLock(&lock);
    EXPECT_EQ("0 held, 2 removals", counts());
    ReleaseRemoveLock(&lock);   // one too many
    EXPECT_TRUE(capture.Contains("Remove Lock count (-1)."));
    CloseHandle(hWaiting);
  }
}
