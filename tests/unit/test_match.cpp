// Model comparisons (alone and through the reference host's model search)
// and key-code translation in both directions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "framework/UmdRecords.h"
#include "host/RefHostModels.h"
#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

// A 12-byte USB key laid out byte by byte, as discovery fills it.
std::vector<unsigned char> UsbKey(USHORT usVid, USHORT usPid, USHORT usRev, size_t size = 12)
{
  std::vector<unsigned char> key(size < 12 ? 12 : size, 0xEE);   // unused bytes are not compared
  key[4] = (unsigned char)usVid, key[5] = (unsigned char)(usVid >> 8);
  key[6] = (unsigned char)usPid, key[7] = (unsigned char)(usPid >> 8);
  key[8] = (unsigned char)usRev, key[9] = (unsigned char)(usRev >> 8);
  key.resize(size);
  return key;
}

tModelInfo UsbModel(USHORT usBcdDevice, USHORT usBcdMask = 0xFFFF, char* sCache = nullptr)
{
  tModelInfo m{};
  m.usVid = 0x3F1D, m.usPid = 0xC02A, m.usBcdDevice = usBcdDevice, m.usBcdMask = usBcdMask, m.sCache = sCache;
  return m;
}

BOOL UsbCache(const tModelInfo& m, USHORT usRev, const char* sText, ULONG ulSize = 272)
{
  std::vector<unsigned char> key = UsbKey(0x3F1D, 0xC02A, usRev, 272);
  memset(&key[12], 0, 260);
  memcpy(&key[12], sText, strnlen(sText, 260));
  return WndCompareModelUsbCache(&m, ulSize, key.data());
}

}  // namespace

TEST(MatchCompare, UsbKeyVendorProductAndMaskedRevision)
{
  char sAnyCache[] = "Cache";
  const tModelInfo m1200 = UsbModel(0x1200, 0xFF00), mAny = UsbModel(0, 0xFFFF, sAnyCache);
  struct {
    const tModelInfo* pModel;
    USHORT usVid, usPid, usRev;
    size_t size;
    BOOL bMatch;
  } cases[] = {
      {&m1200, 0x3F1D, 0xC02A, 0x1200, 12, TRUE},  {&m1200, 0x3F1D, 0xC02A, 0x12FF, 12, TRUE},
      {&m1200, 0x3F1D, 0xC02A, 0x11FF, 12, FALSE}, {&m1200, 0x3F1D, 0xC02A, 0x1300, 12, FALSE},
      {&mAny, 0x3F1D, 0xC02A, 0x0000, 12, TRUE},   {&mAny, 0x3F1D, 0xC02A, 0xFFFF, 12, TRUE},
      {&mAny, 0x046D, 0xC02A, 0x1200, 12, FALSE},  {&mAny, 0x3F1D, 0xC02B, 0x1200, 12, FALSE},
      {&mAny, 0x3F1D, 0xC02A, 0x1200, 11, FALSE},  {&mAny, 0x3F1D, 0xC02A, 0x1200, 13, FALSE},
      {&mAny, 0x3F1D, 0xC02A, 0x1200, 272, FALSE},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> key = UsbKey(c.usVid, c.usPid, c.usRev, c.size);
    EXPECT_EQ(WndCompareModelUsb(c.pModel, (ULONG)c.size, key.data()), c.bMatch)
        << std::hex << c.usVid << " " << c.usPid << " " << c.usRev << " size " << std::dec << c.size;
  }
  EXPECT_FALSE(WndCompareModelUsb(&mAny, 12, nullptr));
  EXPECT_FALSE(WndCompareModelUsb(nullptr, 12, UsbKey(0x3F1D, 0xC02A, 0).data()));
}

TEST(MatchCompare, UsbCacheKeyNeeds272BytesAndComparesTheNameCaseSensitively)
{
  char sCache[] = "Cache-1", sEmpty[] = "";
  const tModelInfo mCache = UsbModel(0x1200, 0xFF00, sCache), mNoCache = UsbModel(0x1200, 0xFF00),
                   mEmpty = UsbModel(0x1200, 0xFF00, sEmpty);
  EXPECT_TRUE(UsbCache(mCache, 0x1234, "Cache-1"));
  EXPECT_FALSE(UsbCache(mCache, 0x1234, "cache-1"));
  EXPECT_FALSE(UsbCache(mCache, 0x1234, "Cache-12"));
  EXPECT_TRUE(UsbCache(mCache, 0x1234, ""));          // no name in the key: identity only
  EXPECT_TRUE(UsbCache(mNoCache, 0x1234, "Other"));   // no name in the model
  EXPECT_TRUE(UsbCache(mEmpty, 0x1234, "Other"));
  EXPECT_FALSE(UsbCache(mCache, 0x1334, "Cache-1"));  // revision outside the mask
  EXPECT_FALSE(UsbCache(mCache, 0x1234, "Cache-1", 12));
  EXPECT_FALSE(UsbCache(mCache, 0x1234, "Cache-1", 271));
  EXPECT_FALSE(WndCompareModelUsbCache(&mCache, 272, nullptr));

  // A name that fills all 260 bytes unterminated compares on those 260 only.
  std::string sLong(300, 'n');
  tModelInfo mLong = UsbModel(0, 0xFFFF, sLong.data());
  EXPECT_TRUE(UsbCache(mLong, 0x0001, sLong.c_str()));
  sLong[259] = 'x';
  EXPECT_FALSE(UsbCache(mLong, 0x0001, std::string(300, 'n').c_str()));
}

TEST(MatchCompare, QuadIdComparesTheCacheNameOnlyWhenBothHaveOne)
{
  char sCache[] = "Quad";
  tModelInfo m{};
  m.usQid = 0x1A2B;
  m.sCache = sCache;
  struct {
    ULONG ulQid;
    const char* sText;
    BOOL bMatch;
  } cases[] = {
      {0x1A2B, "Quad", TRUE}, {0x1A2B, "quad", FALSE}, {0x1A2B, "", TRUE},      {0x1A2B, nullptr, TRUE},
      {0x1A2C, "Quad", FALSE}, {0x1A2C, "", FALSE},    {0x11A2B, nullptr, FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WndCompareQuadID(&m, c.ulQid, c.sText), c.bMatch) << std::hex << c.ulQid << " " << (c.sText ? c.sText : "null");
  }
  m.sCache = nullptr;
  EXPECT_TRUE(WndCompareQuadID(&m, 0x1A2B, "Anything"));
}

TEST(MatchCompare, Ps2ClassThreeNeedsADeviceNumberClassTwoTheSubNumberToo)
{
  struct {
    ULONG ulSectionId, ulDevId, ulSubId, ulPs2Id;
    BOOL bMatch;
  } cases[] = {
      {0x02000001, 0x12, 0x105, 0x00050012, TRUE},  {0x03000001, 0x12, 0x999, 0x00050012, TRUE},
      {0x02000001, 0x12, 0x005, 0x00050012, FALSE}, {0x02000001, 0x12, 0x106, 0x00050012, FALSE},
      {0x01000001, 0x12, 0x105, 0x00050012, FALSE}, {0x03000001, 0x13, 0x105, 0x00050012, FALSE},
      {0x03000001, 0x00, 0x100, 0x00000000, FALSE}, {0x02000001, 0x00, 0x100, 0x00000000, TRUE},
  };
  for (const auto& c : cases) {
    tModelInfo m{};
    m.ulSectionId = c.ulSectionId, m.ulDevId = c.ulDevId, m.ulSubId = c.ulSubId;
    EXPECT_EQ(WndCompareModelPS2(&m, c.ulPs2Id, nullptr), c.bMatch) << std::hex << c.ulSectionId << " " << c.ulSubId;
  }
}

TEST(MatchCompare, FieldComparisonsAndTheNullModelAssertion)
{
  tModelInfo m{};
  m.ulSectionId = 0x03000007, m.ulSectionSubId = 3, m.usPid = 0xC01E, m.ulMwid = 77, m.ulDevId = 88, m.ulSubId = 99;
  struct {
    const char* sName;
    PFN_HOST_MODEL_COMPARE pfn;
    ULONG ulHit, ulMiss;
    ULONG_PTR extra;
  } cases[] = {
      {"WndCompareDeviceModel", WndCompareDeviceModel, 0x03000007, 0x03000008, 3},
      {"WndCompareModelPID", WndCompareModelPID, 0xC01E, 0x1C01E, 0},
      {"WndCompareModelMWID", WndCompareModelMWID, 77, 78, 0},
      {"WndCompareModelSubID", WndCompareModelSubID, 99, 98, 0},
      {"WndCompareModelID", WndCompareModelID, 88, 87, 0},
      {"WndCompareQuadID", WndCompareQuadID, 0, 1, 0},
      {"WndCompareModelPS2", WndCompareModelPS2, 88, 87, 0},
  };
  TraceCapture capture;
  for (const auto& c : cases) {
    const void* pExtra = reinterpret_cast<const void*>(c.extra);
    EXPECT_TRUE(c.pfn(&m, c.ulHit, pExtra)) << c.sName;
    EXPECT_FALSE(c.pfn(&m, c.ulMiss, pExtra)) << c.sName;
    capture.Clear();
    EXPECT_FALSE(c.pfn(nullptr, c.ulHit, pExtra)) << c.sName;
    ASSERT_EQ(capture.Count(": assert NULL != pIdent\n"), 1u) << c.sName;
    EXPECT_TRUE(capture.Contains(std::string(c.sName) + " - WndMatch.cpp line ")) << c.sName;
  }
  EXPECT_FALSE(WndCompareDeviceModel(&m, 0x03000007, reinterpret_cast<const void*>(4)));
  capture.Clear();
  EXPECT_FALSE(WndCompareModelUsb(nullptr, 12, UsbKey(0, 0, 0).data()));
  EXPECT_FALSE(WndCompareModelUsbCache(nullptr, 272, nullptr));
  EXPECT_FALSE(WndNextModelId(nullptr, 0, nullptr));
  EXPECT_FALSE(capture.Contains("assert"));
}

TEST(MatchCompare, NextModelIdRaisesTheCandidateWithinItsClassOnly)
{
  const ULONG aulIds[] = {0x03000005, 0x03000002, 0x02000009};
  ULONG ulCandidate = 0x03000000, ulHigh = 0x03000010, ulOther = 0x01000000, ulWrap = 0x03000000;
  for (ULONG ulId : aulIds) {
    tModelInfo m{};
    m.ulSectionId = ulId;
    EXPECT_FALSE(WndNextModelId(&m, 0, &ulCandidate));
    WndNextModelId(&m, 0, &ulHigh);
    WndNextModelId(&m, 0, &ulOther);
  }
  EXPECT_EQ(ulCandidate, 0x03000006u);
  EXPECT_EQ(ulHigh, 0x03000010u);
  EXPECT_EQ(ulOther, 0x01000000u);
  tModelInfo mLast{};
  mLast.ulSectionId = 0x03FFFFFF;
  WndNextModelId(&mLast, 0, &ulWrap);
  EXPECT_EQ(ulWrap, 0x03000000u);   // the number wraps, the class stays
}

class MatchHostSearch : public ::testing::Test {
protected:
  void SetUp() override
  {
    std::string s = __FILE__;   // <tree>/tests/unit/<this file>
    s = s.substr(0, s.rfind("/tests/unit/")) + "/host/models";
    for (char& c : s) c = c == '/' ? '\\' : c;
    RefHostModelsFree();
    ASSERT_EQ(RefHostModelsLoad(("Z:" + s).c_str(), 0, TRUE), 4u) << s;
  }
  void TearDown() override { RefHostModelsFree(); }
};

TEST_F(MatchHostSearch, UsbComparisonFindsTheDemoModels)
{
  struct {
    USHORT usVid, usPid, usRev;
    ULONG ulSize;
    ULONG ulSection;   // 0: nothing found
  } cases[] = {
      {0x3F1D, 0xC02A, 0x1234, 12, 0x01000002}, {0x3F1D, 0xC02A, 0x12FF, 12, 0x01000002},
      {0x3F1D, 0xC02A, 0x1300, 12, 0},          {0x3F1D, 0xC01E, 0xABCD, 12, 0x01000001},
      {0x3F1D, 0xC031, 0x0001, 12, 0x01000003}, {0x3F1D, 0xC52B, 0x0100, 12, 0x03000001},
      {0x046D, 0xC01E, 0x0100, 12, 0},          {0x3F1D, 0xC01E, 0x0100, 11, 0},
      {0x3F1D, 0xC01E, 0x0100, 13, 0},
  };
  for (const auto& c : cases) {
    tUsbModelKey key = {0, c.usVid, c.usPid, c.usRev, 0};
    unsigned char buffer[16] = {};
    memcpy(buffer, &key, sizeof key);
    const tModelInfo* p = RefHostFindModel(0, WndCompareModelUsb, c.ulSize, buffer);
    EXPECT_EQ(p ? p->ulSectionId : 0, c.ulSection) << std::hex << c.usPid << " " << c.usRev << " size " << c.ulSize;
  }
  // The visitor sees every model and never stops the search.
  ULONG ulMouse = 0x01000000;
  EXPECT_EQ(RefHostFindModel(0, WndNextModelId, 0, &ulMouse), nullptr);
  EXPECT_EQ(ulMouse, 0x01000004u);
}

namespace {

struct KeyTable {
  const char* sName;
  ULONG ulFlag;
  bool bBothWays;                // else scan code to key code only
  const char* sPairs;            // key code -> scan code
  const char* sKeyToScanPairs;   // flag 0x20 only: the other direction's pairs
};

// The pairs as listed for each table, in hexadecimal.
const KeyTable kTables[] = {
    {"A", 0x01, true,
     "0C00B5-C0000019 0C00B6-C0000010 0C00B7-C0000024 0C00CD-C0000022 0C00E2-C0000020 0C00E9-C0000030 "
     "0C00EA-C000002E 0C0183-C000006D 0C018A-C000006C 0C0192-C0000021 0C0194-C000006B 0C0221-C0000065 "
     "0C0223-C0000032 0C0224-C000006A 0C0225-C0000069 0C0226-C0000068 0C0227-C0000067 0C022A-C0000066 "
     "010082-C000005F", nullptr},
    {"B", 0x02, true,
     "090010-0000006F 090011-0000006A 090012-0000006D 090013-0000006B 090014-0000006E 090015-00000000 "
     "090016-00000060", nullptr},
    {"C", 0x04, false,
     "090001-C0000011 090002-C0000012 090003-C0000013 090004-C0000014 090005-C0000015 090006-C0000016 "
     "090007-C0000017 090008-C0000018 09000A-C0000055 09000B-C0000077 09000C-C0000056 09000D-C000006E "
     "09000E-C000006F 09000F-C0000070 090010-C0000071 090011-C0000072 090012-C0000073 090013-C0000074 "
     "090014-C0000075 090015-C0000078 090016-C0000031 090017-C000002F 090018-C000002D 090019-C000002C "
     "09001A-C0000025 09001B-C0000026 09001C-C0000001 09001D-C0000002 09001E-C0000003 09001F-C0000004 "
     "090020-8000006A 090021-8000006B 090022-8000006C 090023-8000006D 090024-8000006E 090025-8000006F "
     "090026-80000055 090027-8000005A 090028-80000071 090029-80000072 090040-C000005A 090041-C000003B "
     "090042-C000003C 090043-C000003D 090044-C000003E 090045-C000003F 090046-C0000040 090047-C0000041 "
     "090048-C0000042 090049-C0000043 09004A-C0000044 09004B-C0000057 09004C-C0000058", nullptr},
    {"D", 0x08, true,
     "090070-20000060 090071-20000061 090072-20000062 090073-20000063 090074-20000064 090075-20000065 "
     "090076-20000066 090077-20000067 090078-20000068 090079-20000069 09007A-2000006E 09006C-2000006F "
     "09006D-2000006A 09006E-2000006D 09006F-2000006B", nullptr},
    {"E", 0x10, false,
     "0C0095-C000003B 0C0184-C000003C 0C0186-C000003D 0C0188-C000003E 0C021A-C000003F 0C0279-C0000040 "
     "0C0208-C0000041 0C0207-C0000042 0C01BC-C0000011 0C022F-8000006B 0C022E-C0000004 0C022D-8000006A", nullptr},
    {"F2", 0x20, false, "0700B6-C000004C 0700B7-C0000064 070067-80000059",
     "0700B6-10000028 0700B7-10000029 070067-1000003D"},
};

std::vector<std::pair<ULONG, ULONG>> Pairs(const char* sText)
{
  std::vector<std::pair<ULONG, ULONG>> pairs;
  std::istringstream in(sText ? sText : "");
  std::string sPair;
  while (in >> sPair) {
    unsigned key = 0, scan = 0;
    if (sscanf(sPair.c_str(), "%x-%x", &key, &scan) == 2) pairs.emplace_back(key, scan);
  }
  return pairs;
}

}  // namespace

TEST(MatchKeyCodes, EveryPairOfEveryTableInItsDirections)
{
  const size_t aulCounts[] = {19, 7, 53, 15, 12, 3};
  ULONG ulTopByte = 0;
  for (size_t t = 0; t < sizeof kTables / sizeof kTables[0]; ++t) {
    const KeyTable& table = kTables[t];
    ASSERT_EQ(Pairs(table.sPairs).size(), aulCounts[t]) << table.sName;
    for (auto [key, scan] : Pairs(table.sPairs)) {
      EXPECT_EQ(WndScanCodeToKeyCode(nullptr, scan, table.ulFlag), key) << table.sName << std::hex << " " << scan;
      ulTopByte += 0x0B000000;   // the key code's top byte never counts
      if (table.sKeyToScanPairs == nullptr) {
        EXPECT_EQ(WndKeyCodeToScanCode(nullptr, key | ulTopByte, table.ulFlag), table.bBothWays ? scan : 0)
            << table.sName << std::hex << " " << key;
      }
      if (scan != 0) {   // all 32 bits of a scan code count
        EXPECT_EQ(WndScanCodeToKeyCode(nullptr, scan ^ 0x01000000, table.ulFlag), 0u) << std::hex << scan;
      }
    }
    // Flag 0x20: the key codes of F2 go the other way through F1, whose scan
    // codes are not looked up.
    for (auto [key, scan] : Pairs(table.sKeyToScanPairs)) {
      EXPECT_EQ(WndKeyCodeToScanCode(nullptr, key, table.ulFlag), scan) << std::hex << key;
      EXPECT_EQ(WndScanCodeToKeyCode(nullptr, scan, table.ulFlag), 0u) << std::hex << scan;
    }
  }
}

TEST(MatchKeyCodes, FlagMasksSearchInTheirOrder)
{
  struct {
    bool bKeyToScan;
    ULONG ulCode, ulFlags, ulExpected;
  } cases[] = {
      {true, 0x000C00E9, 0x01, 0xC0000030}, {true, 0x000C00E9, 0x02, 0},          {true, 0xFF0C00E9, 0x01, 0xC0000030},
      {true, 0x000C00E9, 0x00, 0},          {true, 0x000C00E9, 0xFFFFFFC0, 0},    {true, 0x00090015, 0x3F, 0},
      {true, 0x00090001, 0x3F, 0},          {true, 0x00123456, 0x3F, 0},          {true, 0x00090010, 0x06, 0x0000006F},
      {false, 0x8000006A, 0x14, 0x000C022D}, {false, 0x8000006A, 0x04, 0x00090020}, {false, 0xC0000011, 0x14, 0x000C01BC},
      {false, 0xC0000011, 0x04, 0x00090001}, {false, 0xC000003B, 0x3F, 0x000C0095}, {false, 0xC0000004, 0x14, 0x000C022E},
      {false, 0xC0000030, 0x3F, 0x000C00E9}, {false, 0xC0000030, 0x00, 0},          {false, 0x12345678, 0x3F, 0},
      {false, 0xC0000030, 0xFFFFFFC0, 0},
  };
  for (const auto& c : cases) {
    ULONG ulResult = c.bKeyToScan ? WndKeyCodeToScanCode(nullptr, c.ulCode, c.ulFlags)
                                  : WndScanCodeToKeyCode(nullptr, c.ulCode, c.ulFlags);
    EXPECT_EQ(ulResult, c.ulExpected) << std::hex << c.ulCode << " mask " << c.ulFlags;
  }
}

TEST(MatchKeyCodes, TraceLinesNameCodesMaskAndDevice)
{
  TraceCapture capture;
  tDevice device{};
  device.DUID = 0x00001234;
  EXPECT_EQ(WndKeyCodeToScanCode(nullptr, 0xFF0C00E9, 0x01), 0xC0000030u);
  EXPECT_EQ(WndScanCodeToKeyCode(&device, 0x8000006A, 0x14), 0x000C022Du);
  WndScanCodeToKeyCode(nullptr, 0x1, 0x3F);
  for (const char* sLine : {"WndKeyCodeToScanCode - KeyCode:0xFF0C00E9 - TBL:0x00000001.\n",
                            "WndKeyCodeToScanCode - 0x000C00E9 -> 0xC0000030.\n",
                            "WndScanCodeToKeyCode - DUID:0x00001234 - Scan:0x8000006A - TBL:0x00000014.\n",
                            "WndScanCodeToKeyCode - 0x8000006A -> 0x000C022D.\n",
                            "WndScanCodeToKeyCode - DUID:0x00000000 - Scan:0x00000001 - TBL:0x0000003F.\n",
                            "WndScanCodeToKeyCode - 0x00000001 -> 0x00000000.\n"}) {
    EXPECT_EQ(capture.Count(sLine), 1u) << sLine;
  }
}
