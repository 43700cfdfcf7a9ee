// Device lookup through the host's walk (always returned locked) and the
// device dump.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "framework/UmdLookup.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr ULONG kLock = LOCK_UmdFoundDevice;
const char kPath[] = "\\\\?\\HID#VID_1A2B&PID_0001#lk#Mouse0";

class LookupTest : public BoundHostTest {
protected:
  tDevice* pMouse = nullptr;

  void SetUp() override
  {
    BoundHostTest::SetUp();
    pMouse = Add(kPath, 0x1001);
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

  // Every way of searching for the mouse. Each match comes back with one more
  // hold, which is let go again; a miss leaves none behind.
  std::vector<tDevice*> FindAllWays(const char* sPath, const char* sName)
  {
    LONG before = Holders(pMouse);
    std::vector<tDevice*> found = {
      UmdFindDeviceFromNode(g_pUmdGlobal, RefHostDevInfo(pMouse)->diDeviceNode, kLock),
      UmdFindDeviceFromPath(g_pUmdGlobal, sPath, kLock),
      UmdFindDeviceFromHandle(g_pUmdGlobal, RefHostDevInfo(pMouse)->hHandle, kLock),
      UmdFindDeviceFromPersistentName(g_pUmdGlobal, sName, kLock),
    };
    EXPECT_EQ(Holders(pMouse), before + 4 - std::count(found.begin(), found.end(), nullptr));
    for (tDevice* p : found) {
      if (p != nullptr) ReleaseRemoveLock(UMD_MOUFILT, kLock, p);
    }
    return found;
  }
};

}  // namespace

// Only our own present devices are found, each locked once; two of ours on one
// node lock only the first. Paths ignore case, names do not.
TEST_F(LookupTest, SearchesFindOnlyOwnPresentDevicesLockedOnceAndBadKeysNothing)
{
  // Node, path, handle, persistent name: the name search does not look at bVirtual.
  tDevice* m = pMouse;
  struct Case { BOOL bVirtual; LONG lRemove; const char* sName; std::vector<tDevice*> found; } cases[] = {
    { TRUE, 0, "Mouse-One", { nullptr, nullptr, nullptr, m } },
    { FALSE, 1, "Mouse-One", { nullptr, nullptr, nullptr, nullptr } },   // on its way out
    { FALSE, 0, "MOUSE-ONE", { m, m, m, nullptr } }, { FALSE, 0, "Mouse-One", { m, m, m, m } },
  };
  for (const Case& c : cases) {
    RefHostDevInfo(pMouse)->bVirtual = c.bVirtual;
    pMouse->RemoveLock[UMD_MOUFILT].lRemove = c.lRemove;
    EXPECT_EQ(FindAllWays("\\\\?\\hid#vid_1a2b&pid_0001#LK#MOUSE0", c.sName), c.found)
        << c.bVirtual << c.lRemove << c.sName;
    // The comparison itself refuses a departing device, whatever the host's walk locks.
    SearchRecord scp = { g_pUmdGlobal, nullptr, 0x1001, nullptr, nullptr, nullptr, kLock };
    EXPECT_TRUE(UmdCompareDeviceNode(pMouse, 0, reinterpret_cast<ULONG_PTR>(&scp)));
    EXPECT_EQ(scp.pFound, c.found[0]);
    if (scp.pFound != nullptr) ReleaseRemoveLock(UMD_MOUFILT, kLock, pMouse);
  }
  EXPECT_EQ(UmdFindDeviceFromNode(g_pUmdGlobal, 0x9999, kLock), nullptr);

  // Another plug-in's device with the same node, path and name is not ours.
  tDevice* pForeign = Add("\\\\?\\HID#VID_1A2B&PID_0001#lk#Other", 0x1001, 3);
  ASSERT_NE(pForeign, nullptr);
  strcpy(pForeign->sPersistentName, "Mouse-One");
  EXPECT_EQ(FindAllWays(kPath, "Mouse-One"), std::vector<tDevice*>(4, pMouse));
  EXPECT_EQ(UmdFindDeviceFromPath(g_pUmdGlobal, "\\\\?\\HID#VID_1A2B&PID_0001#lk#Other", kLock), nullptr);

  tDevice* pTwin = Add("\\\\?\\HID#VID_1A2B&PID_0001#lk#Twin", 0x1001);
  ASSERT_NE(pTwin, nullptr);
  const LONG before = Holders(pMouse) + Holders(pTwin);
  TraceCapture capture;
  tDevice* pFound = UmdFindDeviceFromNode(g_pUmdGlobal, 0x1001, kLock);
  ASSERT_NE(pFound, nullptr);
  EXPECT_EQ(Holders(pMouse) + Holders(pTwin), before + 1);
  ReleaseRemoveLock(UMD_MOUFILT, kLock, pFound);

  EXPECT_EQ(UmdFindDeviceFromNode(g_pUmdGlobal, 0, kLock), nullptr);
  EXPECT_EQ(UmdFindDeviceFromPath(g_pUmdGlobal, nullptr, kLock), nullptr);
  for (const char* sLine : { ": assert NULL == pSCP->pFound\n", ": assert NULL != diDeviceNode\n",
                             "UmdFindDeviceFromPath - searching for NULL path" }) {
    EXPECT_TRUE(capture.Contains(sLine)) << sLine;
  }
}

namespace {

std::string g_sDumpedWhere;                              // prefix and context of each field
std::vector<std::pair<const BYTE*, USHORT>> g_dumped;    // where each value lies

void RecordDump(ULONG_PTR c1, ULONG_PTR c2, ULONG_PTR c3, const char* sPrefix, const char*, const char*, BYTE,
                USHORT usSize, const void* pValue)
{
  g_sDumpedWhere += sPrefix + std::to_string(c1) + "," + std::to_string(c2) + "," + std::to_string(c3) + " ";
  g_dumped.push_back({ static_cast<const BYTE*>(pValue), usSize });
}

}  // namespace

// The names and types are the record's own table; what must hold is that the
// values are this device's fields, in the record's order without overlap,
// under the prefix, with the caller's context.
TEST_F(LookupTest, DumpReportsTheTwelveFieldsOfTheDeviceUnderThePlugInsPrefix)
{
  g_dumped.clear(), g_sDumpedWhere.clear();
  UmdDumpRecord record = { RecordDump, { 11, 22, 33 } };
  ULONG ulSize = 0;
  EXPECT_EQ(RefHostDeviceControl(pHost, pMouse, LD_DEVICE_DUMP_FUNCTION, &record, &ulSize), (LD_STATUS)LD_SUCCESS);
  std::string sWhere;
  for (int i = 0; i < 12; ++i) sWhere += "pMOU->umd.11,22,33 ";
  EXPECT_EQ(g_sDumpedWhere, sWhere);
  UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
  ASSERT_EQ(g_dumped.size(), 12u);
  EXPECT_EQ(g_dumped[0].first, reinterpret_cast<const BYTE*>(pInfo->sPath));
  const BYTE* pEnd = reinterpret_cast<const BYTE*>(pInfo);
  for (auto [pValue, usSize] : g_dumped) {
    EXPECT_GE(pValue, pEnd);
    pEnd = pValue + usSize;
  }
  EXPECT_LE(pEnd, reinterpret_cast<const BYTE*>(pInfo + 1));
}
