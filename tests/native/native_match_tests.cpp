// The model comparisons and key-code tables under the sanitizers: keys and
// tables of every size in heap buffers of exactly that size, so that any read
// past one fails the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/WndMatchPure.h"

// Only a key of 12 bytes, or 272 with its name, matches. The key's name fills
// its 260 bytes unterminated and is compared on those only: with the model's
// name none, empty, shorter, the same and going on, or differing in the last byte.
TEST(NativeMatch, ComparisonsStayInsideKeys)
{
  const std::string sLong(262, 'a'), sLastDiffers = std::string(259, 'a') + "b";
  const std::pair<const char*, bool> names[] = {
      {nullptr, true}, {"", true}, {"a", false}, {sLong.c_str(), true}, {sLastDiffers.c_str(), false}};
  for (ULONG ulSize = 0; ulSize <= 300; ++ulSize) {
    const std::vector<unsigned char> key(ulSize, 'a');   // vendor, product and revision 0x6161, then 'a's
    for (auto [sCache, bMatch] : names) {
      tModelInfo m{};
      m.usVid = m.usPid = m.usBcdDevice = 0x6161, m.usBcdMask = 0xFFFF;
      m.sCache = const_cast<char*>(sCache);
      ASSERT_EQ(WndMatchUsb(&m, ulSize, key.data()), ulSize == 12) << ulSize;
      ASSERT_EQ(WndMatchUsbCache(&m, ulSize, key.data()), ulSize == 272 && bMatch) << ulSize << " " << sCache;
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
