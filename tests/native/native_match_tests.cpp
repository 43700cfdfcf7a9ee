// The model comparisons and key-code tables under the sanitizers: keys and
// tables of every size in heap buffers of exactly that size, so that any read
// past one fails the run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "system/WndMatchPure.h"

// The key's name is not terminated within the key; the model's names end
// before it, at it and after it.
TEST(NativeMatch, ComparisonsStayInsideKeys)
{
  const std::string sLong(262, 'a');
  for (ULONG ulSize = 0; ulSize <= 300; ++ulSize) {
    const std::vector<unsigned char> key(ulSize, 'a');   // vendor, product and revision 0x6161, then 'a's
    for (const char* sCache : {(const char*)nullptr, "", "a", sLong.c_str()}) {
      tModelInfo m{};
      m.usVid = m.usPid = m.usBcdDevice = 0x6161, m.usBcdMask = 0xFFFF;
      m.sCache = const_cast<char*>(sCache);
      ASSERT_EQ(WndMatchUsb(&m, ulSize, key.data()), ulSize == 12) << ulSize;
      ASSERT_EQ(WndMatchUsbCache(&m, ulSize, key.data()), ulSize == 272 && (sCache == nullptr || strcmp(sCache, "a")))
          << ulSize << " " << (sCache ? sCache : "(null)");
    }
  }
}

// A size that is not a multiple of a pair covers only the whole pairs; a code
// that is not there makes the search read every one.
TEST(NativeMatch, TablesOfAnySize)
{
  for (ULONG ulBytes = 0; ulBytes < 40; ++ulBytes) {
    const std::vector<unsigned char> raw(ulBytes ? ulBytes : 1, 0);
    const auto* pTable = reinterpret_cast<const tKeyScanPair*>(raw.data());
    ASSERT_EQ(WndFindScanCode(1, pTable, ulBytes) | WndFindKeyCode(1, pTable, ulBytes), 0u) << ulBytes;
    ASSERT_EQ(WndFindScanCode(1, nullptr, ulBytes), 0u);
  }
}
