// Model comparisons (alone and through the reference host's model search)
// and key-code translation in both directions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/UmdRecords.h"
#include "host/RefHostModels.h"
#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

tModelInfo Model(ULONG ulSection, ULONG ulDev = 0, ULONG ulSub = 0, USHORT usRev = 0, USHORT usMask = 0xFFFF,
                 const char* sCache = nullptr)
{
  tModelInfo m{};
  m.ulSectionId = ulSection, m.ulDevId = ulDev, m.ulSubId = ulSub, m.sCache = const_cast<char*>(sCache);
  m.usVid = 0x3F1D, m.usPid = 0xC02A, m.usBcdDevice = usRev, m.usBcdMask = usMask, m.usQid = 0x1A2B;
  return m;
}

// A USB key laid out byte by byte, as discovery fills it, then the cache name.
std::vector<unsigned char> UsbKey(USHORT usVid, USHORT usPid, USHORT usRev, const char* sName = "")
{
  const tUsbModelKey head = { 0xEEEEEEEE, usVid, usPid, usRev, 0xEEEE };   // unused bytes are not compared
  std::vector<unsigned char> key(272, 0);
  memcpy(key.data(), &head, 12), memcpy(&key[12], sName, strnlen(sName, 260));
  return key;
}

TEST(MatchCompare, EveryComparisonOnItsFieldsAndTheNullModelAssertion)
{
  std::vector<std::vector<unsigned char>> keys;
  auto k = [&](USHORT usRev, const char* sName = "", USHORT usVid = 0x3F1D, USHORT usPid = 0xC02A)
  { return keys.emplace_back(UsbKey(usVid, usPid, usRev, sName)).data(); };
  const std::string sLong(300, 'n'), sLongX = std::string(259, 'n') + "x" + std::string(40, 'n');
  tModelInfo m = Model(0x03000007, 88, 99, 0x1200, 0xFF00, "Cache-1"), mAny = Model(0, 0, 0, 0, 0xFFFF, "Quad"),
             m12 = Model(0, 0, 0, 0x1200, 0xFF00), mEmpty = Model(0, 0, 0, 0x1200, 0xFF00, ""),
             mLong = Model(0, 0, 0, 0, 0xFFFF, sLong.c_str()), mLongX = Model(0, 0, 0, 0, 0xFFFF, sLongX.c_str()),
             p2 = Model(0x02000001, 0x12, 0x105), p3 = Model(0x03000001, 0x12, 0x999), p1 = Model(0x01000001, 0x12),
             p2Zero = Model(0x02000001, 0, 0x100), p3Zero = Model(0x03000001, 0, 0x100), p2Sub = Model(0x02000001, 0x12, 5),
             mLast = Model(0x03FFFFFF);
  m.ulSectionSubId = 3, m.ulMwid = 77;
  constexpr auto U = WndCompareModelUsb, C = WndCompareModelUsbCache, Q = WndCompareQuadID, P = WndCompareModelPS2,
                 N = WndNextModelId, D = WndCompareDeviceModel, PID = WndCompareModelPID, MW = WndCompareModelMWID,
                 SUB = WndCompareModelSubID, ID = WndCompareModelID;
  ULONG aulNext[4] = { 0x03000000, 0x03000010, 0x01000000, 0x03000000 };   // candidates of the id visitor
  struct { PFN_HOST_MODEL_COMPARE pfn; const tModelInfo* pModel; ULONG ulId; const void* pExtra; BOOL bMatch; } cases[] = {
      // USB: vendor, product, release under the model's mask, exact key size.
      {U, &m12, 12, k(0x1200), TRUE},  {U, &m12, 12, k(0x12FF), TRUE},  {U, &m12, 12, k(0x11FF), FALSE},
      {U, &m12, 12, k(0x1300), FALSE}, {U, &mAny, 12, k(0), TRUE},      {U, &mAny, 12, k(0xFFFF), TRUE},
      {U, &mAny, 11, k(1), FALSE},     {U, &mAny, 13, k(1), FALSE},     {U, &mAny, 272, k(1), FALSE},
      {U, &mAny, 12, k(1, "", 0x046D), FALSE},  {U, &mAny, 12, k(1, "", 0x3F1D, 0xC02B), FALSE},
      {U, &mAny, 12, nullptr, FALSE},  {C, &mAny, 272, nullptr, FALSE},
      // With the cache name: 272 bytes, the name compared case-sensitively when both sides have one.
      {C, &m, 272, k(0x1234, "Cache-1"), TRUE},
      {C, &m, 272, k(0x1234, "cache-1"), FALSE},    {C, &m, 272, k(0x1234, "Cache-12"), FALSE},
      {C, &m, 272, k(0x1234, ""), TRUE},            {C, &m12, 272, k(0x1234, "Other"), TRUE},
      {C, &mEmpty, 272, k(0x1234, "Other"), TRUE},  {C, &m, 272, k(0x1334, "Cache-1"), FALSE},
      {C, &m, 12, k(0x1234, "Cache-1"), FALSE},     {C, &m, 271, k(0x1234, "Cache-1"), FALSE},
      // A name that fills all 260 bytes unterminated compares on those 260 only.
      {C, &mLong, 272, k(1, sLong.c_str()), TRUE},  {C, &mLongX, 272, k(1, sLong.c_str()), FALSE},
      {D, &m, 0x03000007, (void*)3, TRUE},  {D, &m, 0x03000008, (void*)3, FALSE},  {D, &m, 0x03000007, (void*)4, FALSE},
      {PID, &m, 0xC02A, nullptr, TRUE},  {PID, &m, 0x1C02A, nullptr, FALSE}, {MW, &m, 77, nullptr, TRUE},
      {MW, &m, 78, nullptr, FALSE},      {SUB, &m, 99, nullptr, TRUE},       {SUB, &m, 98, nullptr, FALSE},
      {ID, &m, 88, nullptr, TRUE},       {ID, &m, 87, nullptr, FALSE},
      // Quad id: the cache name counts only when both sides have one.
      {Q, &mAny, 0x1A2B, "Quad", TRUE},  {Q, &mAny, 0x1A2B, "quad", FALSE},  {Q, &mAny, 0x1A2B, "", TRUE},
      {Q, &mAny, 0x1A2B, nullptr, TRUE}, {Q, &mAny, 0x1A2C, "Quad", FALSE},  {Q, &mAny, 0x1A2C, "", FALSE},
      {Q, &mAny, 0x11A2B, nullptr, FALSE},  {Q, &p1, 0x1A2B, "Anything", TRUE},
      // PS/2: class three needs the device number, class two the sub number too.
      {P, &p2, 0x00050012, nullptr, TRUE},  {P, &p3, 0x00050012, nullptr, TRUE},  {P, &p2Sub, 0x00050012, nullptr, FALSE},
      {P, &p2, 0x00060012, nullptr, FALSE}, {P, &p1, 0x00050012, nullptr, FALSE}, {P, &p3, 0x00050013, nullptr, FALSE},
      {P, &p3Zero, 0, nullptr, FALSE},      {P, &p2Zero, 0, nullptr, TRUE},
      // The id visitor raises a candidate of the model's class past it, never matches; the number wraps.
      {N, &p3, 0, &aulNext[0], FALSE},  {N, &m, 0, &aulNext[0], FALSE},  {N, &p3, 0, &aulNext[0], FALSE},
      {N, &p2, 0, &aulNext[0], FALSE},  {N, &m, 0, &aulNext[1], FALSE},  {N, &m, 0, &aulNext[2], FALSE},
      {N, &mLast, 0, &aulNext[3], FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.pfn(c.pModel, c.ulId, c.pExtra), c.bMatch) << &c - cases << std::hex << " " << c.ulId;
  }
  EXPECT_EQ(std::vector<ULONG>(aulNext, aulNext + 4), std::vector<ULONG>({ 0x03000008, 0x03000010, 0x01000000, 0x03000000 }));
  TraceCapture capture;
  for (auto [sName, pfn] : { std::pair{ "WndCompareDeviceModel", D }, { "WndCompareModelPID", PID },
                             { "WndCompareModelMWID", MW }, { "WndCompareModelSubID", SUB }, { "WndCompareModelID", ID },
                             { "WndCompareQuadID", Q }, { "WndCompareModelPS2", P } }) {
    capture.Clear();
    EXPECT_FALSE(pfn(nullptr, 0, nullptr)) << sName;
    ASSERT_EQ(capture.Count(": assert NULL != pIdent\n"), 1u) << sName;
    EXPECT_TRUE(capture.Contains(std::string(sName) + " - WndMatch.cpp line ")) << sName;
  }
  capture.Clear();
  EXPECT_FALSE(U(nullptr, 12, k(0)) || C(nullptr, 272, nullptr) || N(nullptr, 0, nullptr));
  EXPECT_FALSE(capture.Contains("assert"));
}

TEST(MatchHostSearch, UsbComparisonFindsTheDemoModels)
{
  std::string s = "Z:" + std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/unit/")) + "/host/models";
  for (char& c : s) c = c == '/' ? '\\' : c;
  RefHostModelsFree();
  ASSERT_EQ(RefHostModelsLoad(s.c_str(), 0, TRUE), 4u) << s;
  struct { USHORT usVid, usPid, usRev; ULONG ulSection; } cases[] = {   // 0: nothing found
      {0x3F1D, 0xC02A, 0x12FF, 0x01000002}, {0x3F1D, 0xC02A, 0x1300, 0}, {0x3F1D, 0xC01E, 0xABCD, 0x01000001},
      {0x3F1D, 0xC031, 0x0001, 0x01000003}, {0x046D, 0xC01E, 0x0100, 0}, {0x3F1D, 0xC52B, 0x0100, 0x03000001}};
  for (const auto& c : cases) {
    const tModelInfo* p = RefHostFindModel(0, WndCompareModelUsb, 12, UsbKey(c.usVid, c.usPid, c.usRev).data());
    EXPECT_EQ(p ? p->ulSectionId : 0, c.ulSection) << std::hex << c.usPid << " " << c.usRev;
  }
  // The visitor sees every model and never stops the search.
  ULONG ulMouse = 0x01000000;
  EXPECT_TRUE(RefHostFindModel(0, WndNextModelId, 0, &ulMouse) == nullptr && ulMouse == 0x01000004u) << ulMouse;
  RefHostModelsFree();
}

// Each table's flag and directions, then its pairs key code-scan code, in hexadecimal. B: both ways;
// S: scan code to key code only; F: scan to key, whose key codes go the other way through K, whose
// scan codes are not looked up (flag 0x20: the pairs of F2 and F1).
const char* const kTables =
    "01:B 0C00B5-C0000019 0C00B6-C0000010 0C00B7-C0000024 0C00CD-C0000022 0C00E2-C0000020 0C00E9-C0000030 "
    "0C00EA-C000002E 0C0183-C000006D 0C018A-C000006C 0C0192-C0000021 0C0194-C000006B 0C0221-C0000065 0C0223-C0000032 "
    "0C0224-C000006A 0C0225-C0000069 0C0226-C0000068 0C0227-C0000067 0C022A-C0000066 010082-C000005F 02:B "
    "090010-0000006F 090011-0000006A 090012-0000006D 090013-0000006B 090014-0000006E 090015-00000000 090016-00000060 "
    "04:S 090001-C0000011 090002-C0000012 090003-C0000013 090004-C0000014 090005-C0000015 090006-C0000016 "
    "090007-C0000017 090008-C0000018 09000A-C0000055 09000B-C0000077 09000C-C0000056 09000D-C000006E 09000E-C000006F "
    "09000F-C0000070 090010-C0000071 090011-C0000072 090012-C0000073 090013-C0000074 090014-C0000075 090015-C0000078 "
    "090016-C0000031 090017-C000002F 090018-C000002D 090019-C000002C 09001A-C0000025 09001B-C0000026 09001C-C0000001 "
    "09001D-C0000002 09001E-C0000003 09001F-C0000004 090020-8000006A 090021-8000006B 090022-8000006C 090023-8000006D "
    "090024-8000006E 090025-8000006F 090026-80000055 090027-8000005A 090028-80000071 090029-80000072 090040-C000005A "
    "090041-C000003B 090042-C000003C 090043-C000003D 090044-C000003E 090045-C000003F 090046-C0000040 090047-C0000041 "
    "090048-C0000042 090049-C0000043 09004A-C0000044 09004B-C0000057 09004C-C0000058 08:B 090070-20000060 "
    "090071-20000061 090072-20000062 090073-20000063 090074-20000064 090075-20000065 090076-20000066 090077-20000067 "
    "090078-20000068 090079-20000069 09007A-2000006E 09006C-2000006F 09006D-2000006A 09006E-2000006D 09006F-2000006B "
    "10:S 0C0095-C000003B 0C0184-C000003C 0C0186-C000003D 0C0188-C000003E 0C021A-C000003F 0C0279-C0000040 "
    "0C0208-C0000041 0C0207-C0000042 0C01BC-C0000011 0C022F-8000006B 0C022E-C0000004 0C022D-8000006A 20:F "
    "0700B6-C000004C 0700B7-C0000064 070067-80000059 20:K 0700B6-10000028 0700B7-10000029 070067-1000003D";

TEST(MatchKeyCodes, EveryPairOfEveryTableInItsDirectionsFlagMasksAndTraceLines)
{
  TraceCapture capture;
  ULONG ulFlag = 0, ulTopByte = 0, ulPairs = 0;
  char cMode = 0;
  for (char* p = const_cast<char*>(kTables); *p != '\0';) {
    ULONG ulKey = strtoul(p, &p, 16), ulScan = 0;
    if (*p == ':') {   // a table's head
      ulFlag = ulKey, cMode = p[1], p += 2;
    } else if (ulScan = strtoul(p + 1, &p, 16), ++ulPairs, cMode == 'K') {
      EXPECT_EQ(WndKeyCodeToScanCode(nullptr, ulKey, ulFlag), ulScan) << std::hex << ulKey;
      EXPECT_EQ(WndScanCodeToKeyCode(nullptr, ulScan, ulFlag), 0u) << std::hex << ulScan;
    } else {
      EXPECT_EQ(WndScanCodeToKeyCode(nullptr, ulScan, ulFlag), ulKey) << ulFlag << std::hex << " " << ulScan;
      ulTopByte += 0x0B000000;   // the key code's top byte never counts; all 32 bits of a scan code do
      EXPECT_EQ(WndScanCodeToKeyCode(nullptr, ulScan ^ 0x01000000, ulFlag), 0u) << std::hex << ulScan;
      if (cMode != 'F') {
        EXPECT_EQ(WndKeyCodeToScanCode(nullptr, ulKey | ulTopByte, ulFlag), cMode == 'B' ? ulScan : 0)
            << ulFlag << std::hex << " " << ulKey;
      }
    }
  }
  EXPECT_EQ(ulPairs, 112u);
  // Flag masks search their tables in order; the trace names codes, mask and device.
  struct { bool bKeyToScan; ULONG ulCode, ulFlags, ulExpected; } cases[] = {
      {true, 0x000C00E9, 0x01, 0xC0000030}, {true, 0x000C00E9, 0x02, 0},          {true, 0xFF0C00E9, 0x01, 0xC0000030},
      {true, 0x000C00E9, 0x00, 0},          {true, 0x000C00E9, 0xFFFFFFC0, 0},    {true, 0x00090015, 0x3F, 0},
      {true, 0x00090001, 0x3F, 0},          {true, 0x00123456, 0x3F, 0},          {true, 0x00090010, 0x06, 0x0000006F},
      {false, 0x8000006A, 0x14, 0x000C022D}, {false, 0x8000006A, 0x04, 0x00090020}, {false, 0xC0000011, 0x14, 0x000C01BC},
      {false, 0xC0000011, 0x04, 0x00090001}, {false, 0xC000003B, 0x3F, 0x000C0095}, {false, 0xC0000004, 0x14, 0x000C022E},
      {false, 0xC0000030, 0x3F, 0x000C00E9}, {false, 0xC0000030, 0x00, 0},          {false, 0x12345678, 0x3F, 0},
      {false, 0xC0000030, 0xFFFFFFC0, 0},    {false, 0x00000001, 0x3F, 0}};
  tDevice device{};
  device.DUID = 0x00001234, capture.Clear();
  for (const auto& c : cases) {
    ULONG ulResult = c.bKeyToScan ? WndKeyCodeToScanCode(nullptr, c.ulCode, c.ulFlags)
                                  : WndScanCodeToKeyCode(c.ulFlags == 0x14 ? &device : nullptr, c.ulCode, c.ulFlags);
    EXPECT_EQ(ulResult, c.ulExpected) << std::hex << c.ulCode << " mask " << c.ulFlags;
  }
  for (const char* sLine :
       {"WndKeyCodeToScanCode - KeyCode:0xFF0C00E9 - TBL:0x00000001.\n", "WndKeyCodeToScanCode - 0x000C00E9 -> 0xC0000030.\n",
        "WndScanCodeToKeyCode - DUID:0x00001234 - Scan:0x8000006A - TBL:0x00000014.\n",
        "WndScanCodeToKeyCode - 0x8000006A -> 0x000C022D.\n", "WndScanCodeToKeyCode - 0x00000001 -> 0x00000000.\n",
        "WndScanCodeToKeyCode - DUID:0x00000000 - Scan:0x00000001 - TBL:0x0000003F.\n"}) {
    EXPECT_EQ(capture.Count(sLine), strstr(sLine, "0x000C00E9 ->") ? 2u : 1u) << sLine;   // once per call
  }
}

}  // namespace
