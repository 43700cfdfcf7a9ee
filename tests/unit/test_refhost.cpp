// The reference host's device operations where the plug-in's own tests do not
// reach: its limits, a removal during a walk, and what its removals take.
#include <gtest/gtest.h>

#include <vector>

#include "host/RefHost.h"
#include "plugin/LdCodes.h"

namespace {

class RefHostTest : public testing::Test {
protected:
  RefHost* pHost = RefHostGet();
  void SetUp() override { ASSERT_TRUE(RefHostInit(pHost)); }
  void TearDown() override { RefHostShutdown(pHost); }

  // A device of the plug-in, its creation hold let go unless bHeld.
  tDevice* Create(ULONG ulUmdIndex = UMD_MOUFILT, bool bHeld = false, ULONG ulDevInfoSize = MOU_DEVINFO_SIZE)
  {
    tDevice* p = Op<PFN_HOST_CREATE_DEVICE>(HOST_CREATE_DEVICE)(79, LD_DEVICETYPE_MOUSE, ulUmdIndex, 0x77, 0, 2, ulDevInfoSize);
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

TEST_F(RefHostTest, CreationStopsAtItsLimitsAndOnlyTheWheelCapabilityIsAnswered)
{
  EXPECT_EQ(Create(UMD_MOUFILT, false, REFHOST_DEVINFO_CAPACITY + 1), nullptr);
  EXPECT_EQ(Create(UMD_MAX_INDEX), nullptr);
  tDevice* pA = Create();
  for (ULONG i = 1; i < REFHOST_MAX_DEVICES; ++i) ASSERT_NE(Create(), nullptr) << i;
  EXPECT_EQ(Create(), nullptr);
  EXPECT_EQ(RefHostDeviceCount(pHost), REFHOST_MAX_DEVICES);

  RefHostSetDeviceCapability(pHost, pA, 0x00080100);
  auto cap = Op<PFN_HOST_DEVICE_CAPABILITY>(HOST_DEVICE_CAPABILITY);
  EXPECT_EQ(std::vector<ULONG>({ cap(pA, HOST_CAPABILITY_WHEEL, nullptr), cap(pA, 12, nullptr),
                                 cap(nullptr, HOST_CAPABILITY_WHEEL, nullptr) }),
            std::vector<ULONG>({ 0x00080100, 0, 0 }));
}

// A device on its way out is neither visited nor passed to the plug-in's device control.
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
  pHost->pfnDeviceControl = [](tDevice*, ULONG, void*, ULONG*, ULONG) -> LD_STATUS { return LD_SUCCESS; };
  ULONG ulSize = 99;
  EXPECT_EQ(RefHostDeviceControl(pHost, pB, LD_GET_MOUSE_SPEED, nullptr, &ulSize), (LD_STATUS)LD_DEVICE_REMOVAL);
  EXPECT_EQ(ulSize, 0u);
}

TEST_F(RefHostTest, RemovalsTakeAllTheFilteredOrOneDeviceOfThePlugin)
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
  EXPECT_TRUE(removeAll(nullptr, 0, nullptr, UMD_MOUFILT, HOST_REMOVE_ALL_FLAG));
  EXPECT_EQ(s_cleaned, (std::vector<tDevice*>{ pHeld, pB, pA }));
  EXPECT_NE(RefHostFindSlot(pHost, pOther), nullptr);   // another plug-in's device stays
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
}
