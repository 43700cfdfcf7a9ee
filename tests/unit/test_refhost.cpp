// The reference host's device records and the operations it hands the plug-in.
#include <gtest/gtest.h>

#include <string>
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

  // A device of the plug-in, its creation hold let go unless bHeld.
  tDevice* Create(ULONG ulUmdIndex = UMD_MOUFILT, bool bHeld = false, ULONG ulType = LD_DEVICETYPE_MOUSE)
  {
    tDevice* p = Op<PFN_HOST_CREATE_DEVICE>(HOST_CREATE_DEVICE)(79, ulType, ulUmdIndex, 0x77, 0, 2, MOU_DEVINFO_SIZE);
    if (p != nullptr && !bHeld) p->RemoveLock[ulUmdIndex].lLock = 0;
    return p;
  }
  template <typename T>
  T Op(ULONG ulWord) const { return reinterpret_cast<T>(pHost->Api[ulWord]); }
};

std::vector<tDevice*> s_seen, s_cleaned;
tDevice* s_pRemoveDuringWalk = nullptr;
BOOL Record(tDevice* pDevice, ULONG_PTR, ULONG_PTR argument)
{
  EXPECT_EQ(argument, 0x1234u);
  EXPECT_EQ(pDevice->RemoveLock[UMD_MOUFILT].lLock, 1);   // held while visited
  s_seen.push_back(pDevice);
  if (s_pRemoveDuringWalk != nullptr) {   // another thread's removal while the walk is out of the list
    RefHostRemoveDevice(RefHostGet(), s_pRemoveDuringWalk, UMD_MOUFILT, FALSE, LOCK_DoNotAcquireLock);
    s_pRemoveDuringWalk = nullptr;
  }
  return TRUE;
}

}  // namespace

TEST_F(RefHostTest, CreatedDevicesAreZeroFilledListItemsHeldOnlyByTheirPlugin)
{
  tDevice* p1 = Create(UMD_MOUFILT, true);
  tDevice* p2 = Create(UMD_MOUFILT, true, LD_DEVICETYPE_KEYBOARD);
  ASSERT_TRUE(p1 && p2);
  EXPECT_NE(p1->DUID, p2->DUID);
  EXPECT_EQ(p1->ulUMDCreated, 0x200u);
  EXPECT_EQ(p2->ulDeviceType, (ULONG)LD_DEVICETYPE_KEYBOARD);
  EXPECT_NE(p1->sDeviceName[0], '\0');
  for (ULONG i = 0; i < UMD_LOCK_COUNT; ++i) EXPECT_EQ(p1->RemoveLock[i].lLock, i == UMD_MOUFILT ? 1 : 0) << i;
  for (ULONG i = 0; i < UMD_MAX_INDEX; ++i) EXPECT_EQ(p1->pUMDinfo[i] != nullptr, i == UMD_MOUFILT) << i;
  // In the item, after the record and before the host's notes; zero-filled.
  auto* pBlock = static_cast<const BYTE*>(p1->pUMDinfo[UMD_MOUFILT]);
  EXPECT_EQ(pBlock, reinterpret_cast<const BYTE*>(p1) + REFHOST_DEVINFO_OFFSET);
  EXPECT_EQ(std::string((const char*)pBlock, MOU_DEVINFO_SIZE), std::string(MOU_DEVINFO_SIZE, '\0'));
  // Items of the host's device list, in creation order.
  tList* pList = RefHostDeviceList(pHost);
  EXPECT_EQ(ListGetAt(pHost->pMainShare, pList, pList->First), p1);
  EXPECT_EQ(ListGetAt(pHost->pMainShare, pList, pList->Last), p2);

  auto create = Op<PFN_HOST_CREATE_DEVICE>(HOST_CREATE_DEVICE);
  EXPECT_EQ(create(79, 1, UMD_MOUFILT, 0, 0, 2, REFHOST_DEVINFO_CAPACITY + 1), nullptr);
  EXPECT_EQ(create(79, 1, UMD_MAX_INDEX, 0, 0, 2, 16), nullptr);
  for (ULONG i = 2; i < REFHOST_MAX_DEVICES; ++i) ASSERT_NE(Create(), nullptr) << i;
  EXPECT_EQ(Create(), nullptr);
  EXPECT_EQ(RefHostDeviceCount(pHost), REFHOST_MAX_DEVICES);

  EXPECT_TRUE(SetEvent(pHost->Main.hInUseEvent));
}

TEST_F(RefHostTest, ForEachVisitsThePluginsDevicesUnderTheirLockAndSurvivesRemovals)
{
  tDevice *pA = Create(), *pC = Create(), *pOther = Create(UMD_HIDFILT_POWER), *pB = Create(), *pD = Create();
  pB->RemoveLock[UMD_MOUFILT].lRemove = 1;   // on its way out: not handed out
  s_seen.clear();
  s_pRemoveDuringWalk = pC;                 // A's next leaves while A is being visited
  EXPECT_TRUE(Op<PFN_HOST_FOR_EACH_DEVICE>(HOST_FOR_EACH_DEVICE)(Record, 0, 0x1234, UMD_MOUFILT));
  EXPECT_EQ(s_seen, (std::vector<tDevice*>{ pA, pD }));
  for (tDevice* p : { pA, pB, pD }) EXPECT_EQ(p->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(pOther->RemoveLock[UMD_MOUFILT].lLock, 0);
}

TEST_F(RefHostTest, LookupsByDuidAndCapabilityAnswerOnlyForThePluginsLiveDevices)
{
  tDevice *pA = Create(), *pGone = Create(), *pOther = Create(UMD_HIDFILT_POWER);
  pGone->RemoveLock[UMD_MOUFILT].lRemove = 1;
  auto get = Op<PFN_HOST_GET_DEVICE>(HOST_GET_DEVICE);
  struct { ULONG ulDuid; tDevice* pFound; } cases[] = {
    { pA->DUID, pA }, { 0xDEAD, nullptr }, { pOther->DUID, nullptr }, { pGone->DUID, nullptr } };
  for (const auto& c : cases) EXPECT_EQ(get(UMD_MOUFILT, LOCK_UmdFoundDevice, c.ulDuid), c.pFound) << c.ulDuid;
  EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 1);      // found: held
  EXPECT_EQ(pGone->RemoveLock[UMD_MOUFILT].lLock, 0);   // the failed take backed out

  RefHostSetDeviceCapability(pHost, pA, 0x00080100);
  auto cap = Op<PFN_HOST_DEVICE_CAPABILITY>(HOST_DEVICE_CAPABILITY);
  EXPECT_EQ(cap(pA, HOST_CAPABILITY_WHEEL, nullptr), 0x00080100u);
  EXPECT_EQ(cap(pGone, HOST_CAPABILITY_WHEEL, nullptr), 0u);
  EXPECT_EQ(cap(pA, 12, nullptr), 0u);
  EXPECT_EQ(cap(nullptr, HOST_CAPABILITY_WHEEL, nullptr), 0u);
}

TEST_F(RefHostTest, RemovalsTakeAllTheFilteredOrOneDeviceAndFreeTheirItems)
{
  tDevice *pA = Create(), *pB = Create(), *pOther = Create(UMD_HIDFILT_POWER);
  tDevice* pHeld = Create(UMD_MOUFILT, true);   // held under 79, as the remove operation's caller holds it
  pHost->pfnDeviceCleanup = [](tDevice* pDevice, ULONG, ULONG_PTR) -> ULONG { return (s_cleaned.push_back(pDevice), 1); };
  s_cleaned.clear();
  auto removeAll = Op<PFN_HOST_REMOVE_DEVICES>(HOST_REMOVE_DEVICES);
  auto remove = Op<PFN_HOST_REMOVE_DEVICE>(HOST_REMOVE_DEVICE);

  EXPECT_TRUE(remove(106, UMD_MOUFILT, pHeld, 0));
  EXPECT_FALSE(remove(106, UMD_MOUFILT, pHeld, 0));   // gone: not the host's any more
  EXPECT_TRUE(removeAll([](tDevice* p, ULONG_PTR v, void*) -> BOOL { return p->DUID == (ULONG)v; }, pB->DUID,
                        nullptr, UMD_MOUFILT, 0));
  EXPECT_TRUE(removeAll(nullptr, 0, nullptr, UMD_MOUFILT, 0));   // no filter, no flag: none
  EXPECT_EQ(s_cleaned, (std::vector<tDevice*>{ pHeld, pB }));
  EXPECT_EQ(RefHostFindSlot(pHost, pB), nullptr);
  EXPECT_TRUE(removeAll(nullptr, 0, nullptr, UMD_MOUFILT, HOST_REMOVE_ALL_FLAG));
  EXPECT_EQ(s_cleaned.size(), 3u);
  EXPECT_EQ(RefHostFindSlot(pHost, pA), nullptr);
  EXPECT_NE(RefHostFindSlot(pHost, pOther), nullptr);   // another plug-in's device stays
  tList* pList = RefHostDeviceList(pHost);
  EXPECT_EQ(ListGetCount(pList), 1u);
  EXPECT_EQ(pList->First, pList->Last);
  // Freed items come back zero-filled.
  for (ULONG i = 1; i < REFHOST_MAX_DEVICES; ++i) {
    tDevice* pNew = Create();
    ASSERT_TRUE(pNew && pNew->RemoveLock[UMD_MOUFILT].lRemove == 0 && pNew->ulUMDCreated == 0x200u) << i;
  }
}

TEST_F(RefHostTest, DeviceControlHoldsTheLockAcrossTheCallOnlyForLiveDevices)
{
  static LONG s_lLockDuringCall;
  pHost->pfnDeviceControl = [](tDevice* pDevice, ULONG ulFunction, void*, ULONG* pSize, ULONG) -> LD_STATUS {
    s_lLockDuringCall = pDevice ? pDevice->RemoveLock[UMD_MOUFILT].lLock : -1;
    *pSize = 12;
    return ulFunction == LD_GET_MOUSE_SPEED ? LD_SUCCESS : LD_INVALID_FUNCTION;
  };
  tDevice* pA = Create();
  struct { tDevice* pDevice; LONG lRemove; ULONG ulFunction; LD_STATUS status; LONG lLock; ULONG ulSize; } cases[] = {
    { pA, 0, LD_GET_MOUSE_SPEED, LD_SUCCESS, 1, 12 },
    { nullptr, 0, LD_SET_MOUSE_SPEED, LD_INVALID_FUNCTION, -1, 12 },   // plug-in-wide: no device
    { pA, 1, LD_GET_MOUSE_SPEED, LD_DEVICE_REMOVAL, 7, 0 },            // being removed: not passed on
  };
  for (const auto& c : cases) {
    pA->RemoveLock[UMD_MOUFILT].lRemove = c.lRemove;
    s_lLockDuringCall = 7;
    ULONG ulSize = 99;
    EXPECT_EQ(RefHostDeviceControl(pHost, c.pDevice, c.ulFunction, nullptr, &ulSize), c.status);
    EXPECT_EQ(s_lLockDuringCall, c.lLock);
    EXPECT_EQ(ulSize, c.ulSize);
    EXPECT_EQ(pA->RemoveLock[UMD_MOUFILT].lLock, 0);
  }
}
