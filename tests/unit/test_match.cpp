// Model comparisons and key-code translation in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/UmdRecords.h"
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

TEST(MatchCompare, EveryComparisonOnItsFieldsAndTheNullModelAssertion)
{
  // USB keys laid out byte by byte, as discovery fills them, then the cache name.
  std::vector<std::vector<unsigned char>> keys;
  auto k = [&](USHORT usRev, const char* sName = "", USHORT usVid = 0x3F1D, USHORT usPid = 0xC02A) {
    const tUsbModelKey head = { 0xEEEEEEEE, usVid, usPid, usRev, 0xEEEE };   // unused bytes are not compared
    std::vector<unsigned char>& key = keys.emplace_back(272, 0);
    memcpy(key.data(), &head, 12), memcpy(&key[12], sName, strlen(sName));
    return key.data();
  };
  tModelInfo m = Model(0x03000007, 88, 99, 0x1200, 0xFF00, "Cache-1"), mAny = Model(0, 0, 0, 0, 0xFFFF, "Quad"),
             m12 = Model(0, 0, 0, 0x1200, 0xFF00), mEmpty = Model(0, 0, 0, 0x1200, 0xFF00, ""),
             p2 = Model(0x02000001, 0x12, 0x105), p3 = Model(0x03000001, 0x12, 0x999), p1 = Model(0x01000001, 0x12),
             p2Zero = Model(0x02000001, 0, 0x100), p3Zero = Model(0x03000001, 0, 0x100), p2Sub = Model(0x02000001, 0x12, 5),
             mLast = Model(0x03FFFFFF);
  m.ulSectionSubId = 3, m.ulMwid = 77;
  constexpr auto U = WndCompareModelUsb, C = WndCompareModelUsbCache, Q = WndCompareQuadID, P = WndCompareModelPS2,
                 N = WndNextModelId, D = WndCompareDeviceModel, PID = WndCompareModelPID, MW = WndCompareModelMWID,
                 SUB = WndCompareModelSubID, ID = WndCompareModelID;
  ULONG aulNext[4] = { 0x03000000, 0x03000010, 0x01000000, 0x03000000 };   // candidates of the id visitor
  struct { PFN_HOST_MODEL_COMPARE pfn; const tModelInfo* pModel; ULONG ulId; const void* pExtra; BOOL bMatch; } cases[] = {
      // USB: vendor, product, release under the model's mask. (Key sizes and unterminated names: NativeMatch.)
      {U, &m12, 12, k(0x1200), TRUE},  {U, &m12, 12, k(0x12FF), TRUE},  {U, &m12, 12, k(0x11FF), FALSE},
      {U, &m12, 12, k(0x1300), FALSE}, {U, &mAny, 12, k(0), TRUE},      {U, &mAny, 12, k(0xFFFF), TRUE},
      {U, &mAny, 12, k(1, "", 0x046D), FALSE},  {U, &mAny, 12, k(1, "", 0x3F1D, 0xC02B), FALSE},
      {U, &mAny, 12, nullptr, FALSE},  {C, &mAny, 272, nullptr, FALSE},
      // With the cache name, compared case-sensitively when both sides have one.
      {C, &m, 272, k(0x1234, "Cache-1"), TRUE},
      {C, &m, 272, k(0x1234, "cache-1"), FALSE},    {C, &m, 272, k(0x1234, "Cache-12"), FALSE},
      {C, &m, 272, k(0x1234, ""), TRUE},            {C, &m12, 272, k(0x1234, "Other"), TRUE},
      {C, &mEmpty, 272, k(0x1234, "Other"), TRUE},  {C, &m, 272, k(0x1334, "Cache-1"), FALSE},
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
  // Each comparison but the USB ones and the id visitor asserts once on a null model, under its own name.
  TraceCapture capture;
  for (auto pfn : {D, PID, MW, SUB, ID, Q, P}) EXPECT_FALSE(pfn(nullptr, 0, nullptr));
  EXPECT_FALSE(U(nullptr, 12, k(0)) || C(nullptr, 272, nullptr) || N(nullptr, 0, nullptr));
  EXPECT_EQ(capture.Count(": assert NULL != pIdent\n"), 7u);
  for (const char* sName : {"WndCompareDeviceModel", "WndCompareModelPID", "WndCompareModelMWID", "WndCompareModelSubID",
                            "WndCompareModelID", "WndCompareQuadID", "WndCompareModelPS2"}) {
    EXPECT_EQ(capture.Count(std::string(sName) + " - WndMatch.cpp line "), 1u) << sName;
  }
}

// The tables themselves are data; what is logic is which tables each direction
// searches for a flag mask, in what order, and which bits of a code count.
TEST(MatchKeyCodes, FlagMasksSelectTablesPerDirection)
{
  // The key code's top byte never counts; all 32 bits of a scan code do. Flag
  // 0x04 and 0x10 go from scan code to key code only; 0x20 has other pairs each way.
  struct { bool bKeyToScan; ULONG ulCode, ulFlags, ulExpected; } cases[] = {
      {true, 0x000C00E9, 0x01, 0xC0000030}, {true, 0x000C00E9, 0x02, 0},          {true, 0xFF0C00E9, 0x01, 0xC0000030},
      {true, 0x000C00E9, 0x00, 0},          {true, 0x000C00E9, 0xFFFFFFC0, 0},    {true, 0x00090015, 0x3F, 0},
      {true, 0x00090001, 0x3F, 0},          {true, 0x00123456, 0x3F, 0},          {true, 0x00090010, 0x06, 0x0000006F},
      {false, 0x8000006A, 0x14, 0x000C022D}, {false, 0x8000006A, 0x04, 0x00090020}, {false, 0xC0000011, 0x14, 0x000C01BC},
      {false, 0xC0000011, 0x04, 0x00090001}, {false, 0xC000003B, 0x3F, 0x000C0095}, {false, 0xC0000004, 0x14, 0x000C022E},
      {false, 0xC0000030, 0x3F, 0x000C00E9}, {false, 0xC0000030, 0x00, 0},          {false, 0x12345678, 0x3F, 0},
      {false, 0xC0000030, 0xFFFFFFC0, 0},    {false, 0x00000001, 0x3F, 0},          {false, 0xC1000030, 0x3F, 0},
      {true, 0x00090070, 0x08, 0x20000060},  {false, 0x20000060, 0x08, 0x00090070}, {false, 0x0000006F, 0x02, 0x00090010},
      {true, 0x000700B6, 0x20, 0x10000028},  {false, 0xC000004C, 0x20, 0x000700B6}, {false, 0x10000028, 0x20, 0},
      {true, 0x000C0095, 0x3F, 0}};
  tDevice device{};   // a caller without one still gets its translation
  for (const auto& c : cases) {
    ULONG ulResult = c.bKeyToScan ? WndKeyCodeToScanCode(nullptr, c.ulCode, c.ulFlags)
                                  : WndScanCodeToKeyCode(c.ulFlags == 0x14 ? &device : nullptr, c.ulCode, c.ulFlags);
    EXPECT_EQ(ulResult, c.ulExpected) << std::hex << c.ulCode << " mask " << c.ulFlags;
  }
}

}  // namespace
