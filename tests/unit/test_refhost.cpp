// The reference host's device records and the operations it hands the plug-in.
#include <gtest/gtest.h>

#include <vector>

#include "host/RefHost.h"
#include "plugin/LdCodes.h"

namespace {

class RefHostTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;
  void SetUp() override
  {
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
  }
  void TearDown() override { RefHostShutdown(pHost); }

  tDevice* Create(ULONG ulUmdIndex = UMD_MOUFILT, ULONG ulType = LD_DEVICETYPE_MOUSE, ULONG ulLockId = 79)
  {
    auto pfn = reinterpret_cast<PFN_HOST_CREATE_DEVICE>(pHost->Api[HOST_CREATE_DEVICE]);
    return pfn(ulLockId, ulType, ulUmdIndex, 0x77, 0, 2, MOU_DEVINFO_SIZE);
  }
  bool InRegion(const void* p, size_t cb) const
  {
    auto* b = reinterpret_cast<const BYTE*>(pHost->pMainShare);
    auto* q = static_cast<const BYTE*>(p);
    return q >= b && q + cb <= b + REFHOST_SHARED_SIZE;
  }
};

// Layout of the host's device list record (at offset 40 of the region).
struct ListView {
  ULONG64 Storage, First, Last;
  ULONG ulItemSize, ulDataSize, ulItemCount;
};

struct ForEachSeen {
  std::vector<tDevice*> devices;
  std::vector<LONG> locks;
  ULONG_PTR second = 0, argument = 0;
};
ForEachSeen s_seen;
BOOL Record(tDevice* pDevice, ULONG_PTR second, ULONG_PTR argument)
{
  s_seen.devices.push_back(pDevice);
  s_seen.locks.push_back((LONG)pDevice->RemoveLock[UMD_MOUFILT].lLock);
  s_seen.second = second;
  s_seen.argument = argument;
  return TRUE;
}

std::vector<tDevice*> s_cleaned;
ULONG CleanupRecorder(tDevice* pDevice, ULONG, ULONG_PTR)
{
  s_cleaned.push_back(pDevice);
  return 1;
}

LONG s_lLockDuringCall = -1;
LD_STATUS ControlRecorder(tDevice* pDevice, ULONG ulFunction, void*, ULONG* pSize, ULONG)
{
  s_lLockDuringCall = pDevice ? pDevice->RemoveLock[UMD_MOUFILT].lLock : -1;
  *pSize = 12;
  return ulFunction == LD_GET_MOUSE_SPEED ? LD_SUCCESS : LD_INVALID_FUNCTION;
}

}  // namespace

TEST_F(RefHostTest, CreatedDevicesAreZeroFilledRecordsInTheRegion)
{
  tDevice* p1 = Create();
  ASSERT_NE(p1, nullptr);
  tDevice* p2 = Create(UMD_MOUFILT, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(p2, nullptr);
  EXPECT_TRUE(InRegion(p1, sizeof *p1));
  EXPECT_NE(p1->DUID, p2->DUID);
  EXPECT_EQ(p1->ulUMDCreated, 0x200u);
  EXPECT_EQ(p1->ulDeviceType, (ULONG)LD_DEVICETYPE_MOUSE);
  EXPECT_EQ(p2->ulDeviceType, (ULONG)LD_DEVICETYPE_KEYBOARD);
  EXPECT_NE(p1->sDeviceName[0], '\0');
  // Returned with the plug-in's remove lock held, nothing else.
  EXPECT_EQ(p1->RemoveLock[UMD_MOUFILT].lLock, 1);
  for (ULONG i = 0; i < UMD_LOCK_COUNT; ++i) {
    if (i != UMD_MOUFILT) {
      EXPECT_EQ(p1->RemoveLock[i].lLock, 0) << i;
    }
  }
  // The plug-in's block: in the region, zero-filled, only its own entry set.
  auto* pBlock = static_cast<const BYTE*>(p1->pUMDinfo[UMD_MOUFILT]);
  ASSERT_NE(pBlock, nullptr);
  EXPECT_TRUE(InRegion(pBlock, MOU_DEVINFO_SIZE));
  EXPECT_GE(pBlock, reinterpret_cast<const BYTE*>(p1 + 1));   // after the record, not over it
  for (ULONG i = 0; i < MOU_DEVINFO_SIZE; ++i) ASSERT_EQ(pBlock[i], 0) << i;
  for (ULONG i = 0; i < UMD_MAX_INDEX; ++i) {
    if (i != UMD_MOUFILT) {
      EXPECT_EQ(p1->pUMDinfo[i], nullptr) << i;
    }
  }
  for (const tAccelCurveSlot& slot : p1->AccelCurves) EXPECT_EQ(slot.ulCurveSize, 0u);

  // Both are items of the host's device list, in creation order.
  auto* pList = reinterpret_cast<const ListView*>(pHost->pMainShare->DeviceList);
  EXPECT_EQ(pList->ulItemCount, 2u);
  auto* b = reinterpret_cast<const BYTE*>(pHost->pMainShare);
  EXPECT_EQ(b + (pList->First & 0xFFFFF) + 24, reinterpret_cast<const BYTE*>(p1));
  EXPECT_EQ(b + (pList->Last & 0xFFFFF) + 24, reinterpret_cast<const BYTE*>(p2));
  EXPECT_EQ(RefHostDeviceCount(pHost), 2u);
}

TEST_F(RefHostTest, CreationRefusesOversizedBlocksAndAFullList)
{
  auto pfn = reinterpret_cast<PFN_HOST_CREATE_DEVICE>(pHost->Api[HOST_CREATE_DEVICE]);
  EXPECT_EQ(pfn(79, 1, UMD_MOUFILT, 0, 0, 2, REFHOST_DEVINFO_CAPACITY + 1), nullptr);
  EXPECT_EQ(pfn(79, 1, UMD_MAX_INDEX, 0, 0, 2, 16), nullptr);
  for (ULONG i = 0; i < REFHOST_MAX_DEVICES; ++i) ASSERT_NE(Create(), nullptr) << i;
  EXPECT_EQ(Create(), nullptr);
  EXPECT_EQ(RefHostDeviceCount(pHost), REFHOST_MAX_DEVICES);
}

TEST_F(RefHostTest, ForEachVisitsThePluginsDevicesUnderTheirLock)
{
  tDevice* pA = Create();
  tDevice* pOther = Create(UMD_HIDFILT_POWER);
  tDevice* pB = Create();
  for (tDevice* p : { pA, pB }) p->RemoveLock[UMD_MOUFILT].lLock = 0;   // creation hold let go
  s_seen = {};
  auto pfn = reinterpret_cast<PFN_HOST_FOR_EACH_DEVICE>(pHost->Api[HOST_FOR_EACH_DEVICE]);
  EXPECT_TRUE(pfn(Record, 0, 0x1234, UMD_MOUFILT));
  ASSERT_EQ(s_seen.devices.size(), 2u);
  EXPECT_EQ(s_seen.devices[0], pA);
  EXPECT_EQ(s_seen.devices[1], pB);
  EXPECT_EQ(s_seen.locks[0], 1);
  EXPECT_EQ(s_seen.locks[1], 1);
  EXPECT_EQ(s_seen.argument, 0x1234u);
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 0);   // released afterwards
  EXPECT_EQ(pOther->RemoveLock[UMD_MOUFILT].lLock, 0);

  // A device whose removal is pending is not handed out.
  pB->RemoveLock[UMD_MOUFILT].lRemove = 1;
  s_seen = {};
  pfn(Record, 0, 0, UMD_MOUFILT);
  ASSERT_EQ(s_seen.devices.size(), 1u);
  EXPECT_EQ(s_seen.devices[0], pA);
  EXPECT_EQ(pB->RemoveLock[UMD_MOUFILT].lLock, 0);
}

TEST_F(RefHostTest, GetDeviceByDuidTakesThePluginsLock)
{
  tDevice* pA = Create();
  tDevice* pOther = Create(UMD_HIDFILT_POWER);
  pA->RemoveLock[UMD_MOUFILT].lLock = 0;
  auto pfn = reinterpret_cast<PFN_HOST_GET_DEVICE>(pHost->Api[HOST_GET_DEVICE]);
  EXPECT_EQ(pfn(UMD_MOUFILT, LOCK_UmdFoundDevice, pA->DUID), pA);
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 1);
  EXPECT_EQ(pfn(UMD_MOUFILT, LOCK_UmdFoundDevice, 0xDEAD), nullptr);
  EXPECT_EQ(pfn(UMD_MOUFILT, LOCK_UmdFoundDevice, pOther->DUID), nullptr);   // not this plug-in's
  pA->RemoveLock[UMD_MOUFILT].lRemove = 1;
  EXPECT_EQ(pfn(UMD_MOUFILT, LOCK_UmdFoundDevice, pA->DUID), nullptr);
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 1);   // the failed take backed out
}

TEST_F(RefHostTest, CapabilityIsPerDeviceAndSelector)
{
  tDevice* pA = Create();
  tDevice* pB = Create();
  RefHostSetDeviceCapability(pHost, pA, 0x00080100);
  auto pfn = reinterpret_cast<PFN_HOST_DEVICE_CAPABILITY>(pHost->Api[HOST_DEVICE_CAPABILITY]);
  EXPECT_EQ(pfn(pA, HOST_CAPABILITY_WHEEL, nullptr), 0x00080100u);
  EXPECT_EQ(pfn(pB, HOST_CAPABILITY_WHEEL, nullptr), 0u);
  EXPECT_EQ(pfn(pA, 12, nullptr), 0u);
  EXPECT_EQ(pfn(nullptr, HOST_CAPABILITY_WHEEL, nullptr), 0u);
}

TEST_F(RefHostTest, RemoveDevicesTakesAllOrTheFilteredOnes)
{
  tDevice* pA = Create();
  tDevice* pB = Create();
  tDevice* pOther = Create(UMD_HIDFILT_POWER);
  for (tDevice* p : { pA, pB }) p->RemoveLock[UMD_MOUFILT].lLock = 0;
  pOther->RemoveLock[UMD_HIDFILT_POWER].lLock = 0;
  pHost->pfnDeviceCleanup = CleanupRecorder;
  s_cleaned.clear();
  auto pfn = reinterpret_cast<PFN_HOST_REMOVE_DEVICES>(pHost->Api[HOST_REMOVE_DEVICES]);

  // A filter picks one; a null filter without the flag picks none.
  ULONG ulDuidB = pB->DUID;
  EXPECT_TRUE(pfn([](tDevice* p, ULONG_PTR v, void*) -> BOOL { return p->DUID == (ULONG)v; }, ulDuidB, nullptr,
                  UMD_MOUFILT, 0));
  ASSERT_EQ(s_cleaned.size(), 1u);
  EXPECT_EQ(s_cleaned[0], pB);
  EXPECT_EQ(RefHostFindSlot(pHost, pB), nullptr);
  EXPECT_EQ(RefHostDeviceCount(pHost), 2u);
  EXPECT_TRUE(pfn(nullptr, 0, nullptr, UMD_MOUFILT, 0));
  EXPECT_EQ(RefHostDeviceCount(pHost), 2u);

  EXPECT_TRUE(pfn(nullptr, 0, nullptr, UMD_MOUFILT, HOST_REMOVE_ALL_FLAG));
  EXPECT_EQ(s_cleaned.size(), 2u);
  EXPECT_EQ(RefHostFindSlot(pHost, pA), nullptr);
  EXPECT_NE(RefHostFindSlot(pHost, pOther), nullptr);   // another plug-in's device stays
  auto* pList = reinterpret_cast<const ListView*>(pHost->pMainShare->DeviceList);
  EXPECT_EQ(pList->ulItemCount, 1u);
  EXPECT_EQ(pList->First, pList->Last);
  // A freed item is reused zero-filled.
  tDevice* pNew = Create();
  ASSERT_NE(pNew, nullptr);
  EXPECT_EQ(pNew->RemoveLock[UMD_MOUFILT].lRemove, 0);
  EXPECT_EQ(pNew->ulUMDCreated, 0x200u);
}

TEST_F(RefHostTest, RemoveDeviceEndsTheCallersLock)
{
  tDevice* pA = Create();   // held under 79, as the remove operation's caller holds it
  pHost->pfnDeviceCleanup = CleanupRecorder;
  s_cleaned.clear();
  auto pfn = reinterpret_cast<PFN_HOST_REMOVE_DEVICE>(pHost->Api[HOST_REMOVE_DEVICE]);
  EXPECT_TRUE(pfn(106, UMD_MOUFILT, pA, 0));
  EXPECT_EQ(s_cleaned.size(), 1u);
  EXPECT_EQ(RefHostDeviceCount(pHost), 0u);
  EXPECT_FALSE(pfn(106, UMD_MOUFILT, pA, 0));   // gone: not the host's any more
}

TEST_F(RefHostTest, DeviceControlHoldsTheLockAcrossTheCall)
{
  tDevice* pA = Create();
  pA->RemoveLock[UMD_MOUFILT].lLock = 0;
  pHost->pfnDeviceControl = ControlRecorder;
  ULONG ulSize = 0;
  s_lLockDuringCall = -1;
  EXPECT_EQ(RefHostDeviceControl(pHost, pA, LD_GET_MOUSE_SPEED, nullptr, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(s_lLockDuringCall, 1);
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(ulSize, 12u);

  // Plug-in-wide requests go through without a device.
  s_lLockDuringCall = 5;
  EXPECT_EQ(RefHostDeviceControl(pHost, nullptr, LD_SET_MOUSE_SPEED, nullptr, &ulSize),
            (LD_STATUS)LD_INVALID_FUNCTION);
  EXPECT_EQ(s_lLockDuringCall, -1);

  // A device being removed is not passed to the plug-in.
  pA->RemoveLock[UMD_MOUFILT].lRemove = 1;
  s_lLockDuringCall = 7;
  ulSize = 99;
  EXPECT_EQ(RefHostDeviceControl(pHost, pA, LD_GET_MOUSE_SPEED, nullptr, &ulSize), (LD_STATUS)LD_DEVICE_REMOVAL);
  EXPECT_EQ(s_lLockDuringCall, 7);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 0);
}

TEST_F(RefHostTest, InUseEventIsARealEvent)
{
  HANDLE h = pHost->Main.hInUseEvent;
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(h));
  EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_OBJECT_0);
}
