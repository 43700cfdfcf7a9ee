// Device lookup through the host's walk (always returned locked) and the
// device dump.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstring>
#include <string>
#include <vector>

#include "framework/UmdLookup.h"
#include "host/RefHost.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"
#include "simdrv/SimDrv.h"

namespace {

constexpr ULONG kLock = LOCK_UmdFoundDevice;

class LookupTest : public BoundHostTest {
protected:
  tDevice* pMouse = nullptr;

  void SetUp() override
  {
    BoundHostTest::SetUp();
    pMouse = Add("\\\\?\\HID#VID_1A2B&PID_0001#lk#Mouse0", 0x1001);
    strcpy(pMouse->sPersistentName, "Mouse-One");
  }

  tDevice* Add(const char* sPath, DWORD diNode, ULONG ulUmdIndex = UMD_MOUFILT)
  {
    tDevice* pDevice = RefHostAddSimDevice(pHost, sPath, LD_DEVICETYPE_MOUSE, ulUmdIndex);
    EXPECT_NE(pDevice, nullptr);
    if (pDevice != nullptr) RefHostDevInfo(pDevice, ulUmdIndex)->diDeviceNode = diNode;
    return pDevice;
  }
  LONG Holders(tDevice* pDevice) { return pDevice->RemoveLock[UMD_MOUFILT].lLock; }

  // Every way of searching, for the same device.
  std::vector<tDevice*> FindAllWays(tDevice* pDevice, const char* sPath, const char* sName)
  {
    UmdDevInfo* pInfo = RefHostDevInfo(pDevice);
    std::vector<tDevice*> found = {
      UmdFindDeviceFromNode(g_pUmdGlobal, pInfo->diDeviceNode, kLock),
      UmdFindDeviceFromPath(g_pUmdGlobal, sPath, kLock),
      UmdFindDeviceFromHandle(g_pUmdGlobal, pInfo->hHandle, kLock),
      UmdFindDeviceFromPersistentName(g_pUmdGlobal, sName, kLock),
    };
    for (tDevice* p : found) {
      if (p != nullptr) ReleaseRemoveLock(UMD_MOUFILT, kLock, p);
    }
    return found;
  }
};

}  // namespace

TEST_F(LookupTest, EachSearchReturnsTheDeviceLockedAndPathsIgnoreCaseButNamesDoNot)
{
  LONG before = Holders(pMouse);
  tDevice* pFound = UmdFindDeviceFromPath(g_pUmdGlobal, "\\\\?\\hid#vid_1a2b&pid_0001#LK#MOUSE0", kLock);
  ASSERT_EQ(pFound, pMouse);
  EXPECT_EQ(Holders(pMouse), before + 1);
  EXPECT_TRUE(ReleaseRemoveLock(UMD_MOUFILT, kLock, pMouse));

  auto found = FindAllWays(pMouse, "\\\\?\\HID#VID_1A2B&PID_0001#lk#Mouse0", "Mouse-One");
  EXPECT_EQ(found, std::vector<tDevice*>(4, pMouse));
  EXPECT_EQ(UmdFindDeviceFromPersistentName(g_pUmdGlobal, "MOUSE-ONE", kLock), nullptr);
  EXPECT_EQ(UmdFindDeviceFromNode(g_pUmdGlobal, 0x9999, kLock), nullptr);
  EXPECT_EQ(Holders(pMouse), before);
}

TEST_F(LookupTest, VirtualForeignAndDepartingDevicesAreNeverFoundAndKeepNoLock)
{
  const char* sPath = "\\\\?\\HID#VID_1A2B&PID_0001#lk#Mouse0";
  RefHostDevInfo(pMouse)->bVirtual = TRUE;
  auto found = FindAllWays(pMouse, sPath, "none");
  EXPECT_EQ(found, std::vector<tDevice*>(4, nullptr));
  RefHostDevInfo(pMouse)->bVirtual = FALSE;

  // Another plug-in's device with the same node is not ours.
  tDevice* pForeign = Add("\\\\?\\HID#VID_1A2B&PID_0001#lk#Other", 0x1001, 3);
  ASSERT_NE(pForeign, nullptr);
  strcpy(pForeign->sPersistentName, "Mouse-One");
  LONG before = Holders(pMouse);
  EXPECT_EQ(UmdFindDeviceFromNode(g_pUmdGlobal, 0x1001, kLock), pMouse);
  ReleaseRemoveLock(UMD_MOUFILT, kLock, pMouse);
  EXPECT_EQ(UmdFindDeviceFromPath(g_pUmdGlobal, "\\\\?\\HID#VID_1A2B&PID_0001#lk#Other", kLock), nullptr);

  // A removal is pending: not found, and the search leaves no hold behind.
  pMouse->RemoveLock[UMD_MOUFILT].lRemove = 1;
  found = FindAllWays(pMouse, sPath, "Mouse-One");
  EXPECT_EQ(found, std::vector<tDevice*>(4, nullptr));
  // The comparison itself refuses it too, whatever the host's walk locks.
  SearchRecord scp = {};
  scp.pUmdGlobal = g_pUmdGlobal;
  scp.diDeviceNode = 0x1001;
  scp.ulLockId = kLock;
  EXPECT_TRUE(UmdCompareDeviceNode(pMouse, 0, reinterpret_cast<ULONG_PTR>(&scp)));
  EXPECT_EQ(scp.pFound, nullptr);
  EXPECT_EQ(Holders(pMouse), before);
  pMouse->RemoveLock[UMD_MOUFILT].lRemove = 0;
  EXPECT_TRUE(UmdCompareDeviceNode(pMouse, 0, reinterpret_cast<ULONG_PTR>(&scp)));
  EXPECT_EQ(scp.pFound, pMouse);
  ReleaseRemoveLock(UMD_MOUFILT, kLock, pMouse);
}

TEST_F(LookupTest, TwoMatchesLockOnlyTheFirstAndBadKeysSearchNothing)
{
  tDevice* pTwin = Add("\\\\?\\HID#VID_1A2B&PID_0001#lk#Twin", 0x1001);
  ASSERT_NE(pTwin, nullptr);
  LONG beforeFirst = Holders(pMouse), beforeTwin = Holders(pTwin);
  TraceCapture capture;
  tDevice* pFound = UmdFindDeviceFromNode(g_pUmdGlobal, 0x1001, kLock);
  ASSERT_NE(pFound, nullptr);
  EXPECT_TRUE(capture.Contains(": assert NULL == pSCP->pFound\n"));
  tDevice* pOther = pFound == pMouse ? pTwin : pMouse;
  EXPECT_EQ(Holders(pOther), pOther == pMouse ? beforeFirst : beforeTwin);
  ReleaseRemoveLock(UMD_MOUFILT, kLock, pFound);

  capture.Clear();
  EXPECT_EQ(UmdFindDeviceFromNode(g_pUmdGlobal, 0, kLock), nullptr);
  EXPECT_EQ(UmdFindDeviceFromPath(g_pUmdGlobal, nullptr, kLock), nullptr);
  EXPECT_TRUE(capture.Contains(": assert NULL != diDeviceNode\n"));
  EXPECT_TRUE(capture.Contains("UmdFindDeviceFromPath - searching for NULL path"));
}

namespace {

struct DumpedField {
  std::string sPrefix, sField, sType;
  BYTE ucType;
  USHORT usSize;
  const void* pValue;
  ULONG_PTR context[3];
};
std::vector<DumpedField> g_dumped;

void RecordDump(ULONG_PTR c1, ULONG_PTR c2, ULONG_PTR c3, const char* sPrefix, const char* sField, const char* sType,
                BYTE ucType, USHORT usSize, const void* pValue)
{
  g_dumped.push_back({ sPrefix, sField, sType, ucType, usSize, pValue, { c1, c2, c3 } });
}

}  // namespace

TEST_F(LookupTest, DumpReportsTheTwelveFieldsInOrderUnderThePlugInsPrefix)
{
  g_dumped.clear();
  UmdDumpRecord record = { RecordDump, { 11, 22, 33 } };
  ULONG ulSize = 0;
  EXPECT_EQ(RefHostDeviceControl(pHost, pMouse, LD_DEVICE_DUMP_FUNCTION, &record, &ulSize), (LD_STATUS)LD_SUCCESS);
  struct Expected { const char* sField; const char* sType; BYTE ucType; USHORT usSize; } expected[] = {
    { "sPath", "CHAR[]", 30, 260 }, { "hHandle", "HANDLE", 12, 8 }, { "hEventThread", "HANDLE", 12, 8 },
    { "hEventThreadStopEvent", "HANDLE", 12, 8 }, { "diDeviceNode", "DEVINST", 12, 4 },
    { "hHandleNotification", "PVOID", 12, 8 }, { "bVirtual", "BOOL", 10, 4 }, { "ulProductID", "ULONG", 12, 4 },
    { "ulVendorID", "ULONG", 12, 4 }, { "ulVersion", "ULONG", 12, 4 }, { "ucInterface", "BYTE", 11, 1 },
    { "bSingleInterface", "BOOL", 10, 4 },
  };
  ASSERT_EQ(g_dumped.size(), 12u);
  for (size_t i = 0; i < 12; ++i) {
    SCOPED_TRACE(expected[i].sField);
    EXPECT_EQ(g_dumped[i].sPrefix, "pMOU->umd.");
    EXPECT_EQ(g_dumped[i].sField, expected[i].sField);
    EXPECT_EQ(g_dumped[i].sType, expected[i].sType);
    EXPECT_EQ(g_dumped[i].ucType, expected[i].ucType);
    EXPECT_EQ(g_dumped[i].usSize, expected[i].usSize);
    EXPECT_EQ(g_dumped[i].context[0], 11u);
    EXPECT_EQ(g_dumped[i].context[2], 33u);
  }
  UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
  EXPECT_EQ(g_dumped[0].pValue, pInfo->sPath);
  EXPECT_EQ(g_dumped[1].pValue, &pInfo->hHandle);
  EXPECT_EQ(g_dumped[4].pValue, &pInfo->diDeviceNode);
  EXPECT_EQ(*static_cast<const DWORD*>(g_dumped[4].pValue), 0x1001u);
}
