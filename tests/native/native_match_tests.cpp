// Randomised robustness of the model comparisons and key-code tables: keys
// of every size in buffers of exactly that size, null and unterminated names.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "system/WndMatchPure.h"

namespace {
std::mt19937 g_rng(20261208);

std::string RandomName()
{
  std::string s(g_rng() % 4, ' ');
  for (char& c : s) c = (char)('a' + g_rng() % 2);   // few letters, so names often agree
  return s;
}
}  // namespace

TEST(NativeMatch, ComparisonsStayInsideKeysAndNames)
{
  for (int i = 0; i < 50000; ++i) {
    std::string sModelCache = RandomName();
    tModelInfo m{};
    m.ulSectionId = (g_rng() % 4) << 24 | (g_rng() % 4);
    m.usVid = (USHORT)(g_rng() % 2), m.usPid = (USHORT)(g_rng() % 2);
    m.usBcdMask = (USHORT)g_rng(), m.usBcdDevice = (USHORT)(g_rng() % 3);
    m.ulDevId = g_rng() % 3, m.ulSubId = 0x100 + g_rng() % 3, m.usQid = (USHORT)(g_rng() % 2);
    m.sCache = g_rng() % 3 ? sModelCache.data() : nullptr;

    // An exact-size heap buffer: any read past the key is caught.
    ULONG ulSize = g_rng() % 2 ? (g_rng() % 2 ? 12 : 272) : g_rng() % 300;
    std::vector<unsigned char> key(ulSize);
    bool bLetters = g_rng() % 4 == 0;   // a name without its terminator
    for (unsigned char& b : key) b = (unsigned char)(bLetters || g_rng() % 2 ? 'a' + g_rng() % 2 : g_rng() % 2);
    if (ulSize >= 12 && g_rng() % 2) {   // the model's vendor and product
      key[4] = (unsigned char)m.usVid, key[5] = 0, key[6] = (unsigned char)m.usPid, key[7] = 0;
    }
    std::string sLongCache;
    if (bLetters && ulSize == 272) {
      // The model's name agrees over all 260 bytes and goes on.
      sLongCache.assign(reinterpret_cast<const char*>(&key[12]), 260);
      sLongCache += "ab";
      m.sCache = sLongCache.data();
    }
    const void* pKey = ulSize == 0 || g_rng() % 50 == 0 ? nullptr : key.data();
    BOOL bUsb = WndMatchUsb(&m, ulSize, pKey);
    BOOL bCache = WndMatchUsbCache(&m, ulSize, pKey);
    ASSERT_TRUE(!bUsb || ulSize == 12);
    ASSERT_TRUE(!bCache || ulSize == 272);

    std::string sName = RandomName();
    const char* sText = g_rng() % 3 ? sName.c_str() : nullptr;
    BOOL bQuad = WndMatchQuadId(&m, g_rng() % 2, sText);
    ASSERT_TRUE(!bQuad || (sText == nullptr || sText[0] == '\0' || m.sCache == nullptr ||
                           strcmp(sText, m.sCache) == 0));
    WndMatchPs2(g_rng() % 5 ? &m : nullptr, g_rng() % 3 | (g_rng() % 3) << 16);

    ULONG ulCandidate = (g_rng() % 4) << 24 | (g_rng() % 4);
    ULONG ulBefore = ulCandidate;
    WndRaiseModelId(&m, &ulCandidate);
    ASSERT_EQ(ulCandidate >> 24, ulBefore >> 24);
    ASSERT_TRUE(ulCandidate == ulBefore || (ulCandidate >> 24) == (m.ulSectionId >> 24));
  }
  WndRaiseModelId(nullptr, nullptr);
}

TEST(NativeMatch, TablesOfAnySizeAndRandomCodes)
{
  for (int i = 0; i < 20000; ++i) {
    // Sizes that are not a multiple of a pair cover only whole pairs.
    ULONG ulBytes = g_rng() % 40;
    std::vector<unsigned char> raw(ulBytes ? ulBytes : 1);
    for (unsigned char& b : raw) b = (unsigned char)(g_rng() % 2);
    auto* pTable = reinterpret_cast<const tKeyScanPair*>(raw.data());
    ULONG ulCode = g_rng() % 2 ? g_rng() : g_rng() % 0x02000000;
    WndFindScanCode(ulCode, pTable, ulBytes);
    WndFindKeyCode(ulCode, pTable, ulBytes);
    ASSERT_EQ(WndFindScanCode(ulCode, nullptr, ulBytes), 0u);

    // Both-way tables give back the key code they were given.
    ULONG ulKey = (g_rng() % 3 == 0 ? 0x0C0000u : 0x090000u) | (g_rng() % 0x300);
    ULONG ulFlag = 1u << (g_rng() % 4 == 0 ? 3 : g_rng() % 2);
    ULONG ulScan = WndTranslateKeyCode(ulKey | (g_rng() << 24), ulFlag);
    if (ulScan != 0) {
      ASSERT_EQ(WndTranslateScanCode(ulScan, ulFlag), ulKey);
    }
    ASSERT_EQ(WndTranslateKeyCode(g_rng(), 0), 0u);
    ASSERT_EQ(WndTranslateScanCode(g_rng(), 0xFFFFFFC0), 0u);
  }
}
