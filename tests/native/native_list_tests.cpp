// Position-linked lists under the sanitizers (a read outside a region fails the run):
// positions, reuse, refusals, random operations against a model, damaged records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "diag/TraceFormat.h"
#include "list/ListMgr.h"

static std::string s_sLines;   // the list's lines, named as the plug-in's trace names them

void ListTraceLine(uint32_t, const char* sFunction, const char* sFormat, ...)
{
  char sText[512];
  va_list args;
  va_start(args, sFormat);
  vsnprintf(sText, sizeof sText, sFormat, args);
  va_end(args);
  if (sFunction != nullptr && !TraceFormatStartsWithName(sText, sFunction)) s_sLines += std::string(sFunction) + " - ";
  s_sLines += sText;
  if (s_sLines.back() != '\n') s_sLines += '\n';
}

void ListTraceAssert(const char*, const char*, int, const char* sCondition) { s_sLines += std::string("assert ") + sCondition + "\n"; }

namespace {

bool Logged(const std::string& sText) { return s_sLines.find(sText) != std::string::npos; }

// A region of exactly lSize bytes; its list record at 8.
struct Region {
  std::vector<uint64_t> words;
  explicit Region(uint32_t ulSize) : words(ulSize / 8) { reinterpret_cast<shareHeader*>(words.data())->lSize = (int32_t)ulSize; }
  uint8_t* Base() { return reinterpret_cast<uint8_t*>(words.data()); }
  tList* List() { return reinterpret_cast<tList*>(Base() + 8); }
};

// The list's positions, walked forwards with each of the two walks and backwards over
// the Previous links; LD_INVALID_POS appended if they or the count disagree.
std::vector<LD_POS> Walk(uint8_t* pBase, tList* pList)
{
  std::vector<LD_POS> forward, next, backward;
  const size_t nMax = pList->ulMaxItems + 1;
  LD_POS pos = ListGetFirstPosition(pList);
  for (void* pData; forward.size() < nMax && (pData = ListGetAtMoveNext(pBase, pList, &pos)) != nullptr;) {
    forward.push_back(ListGetPos(pBase, pList, pData));
  }
  for (void* pData = ListGetFirst(pBase, pList, &pos); pData != nullptr && next.size() < nMax; pData = ListGetNext(pBase, pList, &pos)) {
    next.push_back(ListGetPos(pBase, pList, pData));
  }
  for (LD_POS p = pList->Last; p != LD_INVALID_POS && backward.size() < nMax;) {
    void* pData = ListGetAt(pBase, pList, p);
    if (pData == nullptr) break;
    backward.insert(backward.begin(), p);
    p = (static_cast<tListItem*>(pData) - 1)->Previous;
  }
  if (forward != next || forward != backward || forward.size() != ListGetCount(pList)) forward.push_back(LD_INVALID_POS);
  return forward;
}

class NativeList : public testing::Test {
protected:
  static constexpr uint32_t kRegionSize = 0x4000;
  static constexpr uint32_t kStorage = 64;
  Region region{ kRegionSize };
  uint8_t* pBase = region.Base();
  tList* pList = region.List();
  std::vector<LD_POS> items;   // positions by creation, 'a' first

  void SetUp() override { s_sLines.clear(); }
  void Init(uint32_t ulItems, uint32_t ulDataSize = 40)
  {
    ASSERT_TRUE(ListInit(pBase, pList, pBase + kStorage, ulItems * (ulDataSize + 24), ulDataSize, false));
  }
  // Runs "+" (create), "-x" (remove x), "xy" (swap x and y) steps; items are letters by creation.
  void Run(const std::vector<std::string>& steps)
  {
    for (const std::string& s : steps) {
      if (s == "+") {
        items.push_back(ListCreate(pBase, pList));
        ASSERT_NE(items.back(), LD_INVALID_POS);
      } else if (s[0] == '-') {
        ASSERT_TRUE(ListRemoveAt(pBase, pList, items.at(s[1] - 'a'))) << s;
      } else {
        ASSERT_TRUE(ListSwap(pBase, pList, items.at(s[0] - 'a'), items.at(s[1] - 'a'))) << s;
      }
    }
  }
  // The list's order as letters, '?' for a position of no item made here.
  std::string Order()
  {
    std::string s;
    for (LD_POS pos : Walk(pBase, pList)) {
      auto it = std::find(items.begin(), items.end(), pos);
      s += it == items.end() ? '?' : (char)('a' + (it - items.begin()));
    }
    return s;
  }
};

TEST_F(NativeList, InitSizesTheItemsAFullSharedStorageSaysSoOutsideStorageIsRefused)
{
  Init(10);   // data size 40 over 640 bytes
  EXPECT_EQ(std::tuple(pList->ulItemSize, pList->ulMaxItems, pList->First), std::tuple(64u, 10u, LD_INVALID_POS));
  EXPECT_FALSE(Logged("assert"));
  ASSERT_TRUE(ListInit(pBase, pList, pBase + kStorage, 650, 40, false));
  EXPECT_EQ(pList->ulMaxItems, 10u);
  EXPECT_TRUE(Logged("assert ulStorageSize % pList->ulItemSize == 0"));
  // Shared storage taken by the other lists: the scan tells.
  ASSERT_TRUE(ListInit(pBase, pList, pBase + kStorage + 640, 640, 40, true));
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
  EXPECT_TRUE(Logged("ListCreate - List is FULL. ItemCount 0. ListSize 10. Shared 1.\n"));
  // Storage past the region's end is refused: the list gets no room at all.
  EXPECT_FALSE(ListInit(pBase, pList, pBase + kRegionSize - 64, 640, 40, false));
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
}

// A tag that stays with an item's reused place is refused as "handed out
// again" below; here its wrap and the offsets a position cannot express.
TEST_F(NativeList, PositionTagsWrapAndOffsetsPastTheRegionOrTheMaskHaveNoPosition)
{
  reinterpret_cast<shareHeader*>(pBase)->ulPosTag = 0xFFF;
  EXPECT_EQ(PtrToPos(pBase, pBase + 100), 100u);   // tag 0x1000 keeps its low 12 bits: 0
  EXPECT_EQ(PtrToPos(pBase, pBase + 100), 100u | (1u << 20));
  EXPECT_EQ(PtrToPos(pBase, pBase + kRegionSize + 1), LD_INVALID_POS);
  EXPECT_TRUE(Logged("assert offset <= *plSize"));
  // Past the 1 MiB a position can express, even inside a larger region.
  Region big(0x110000);
  EXPECT_EQ(PtrToPos(big.Base(), big.Base() + 0x100000), LD_INVALID_POS);
  EXPECT_TRUE(Logged("assert offset <= POS_OFFSET_MASK"));
}

TEST_F(NativeList, PositionsOfNoCurrentItemAreRefusedWithTheirLine)
{
  Init(8);
  // b freed and resting; a freed and its place handed out again, under a new tag.
  Run({ "+", "+", "+", "+", "-b", "-d", "+", "-a", "+", "+", "+", "+" });
  LD_POS freed = items[1], reused = items[0];
  ASSERT_EQ(items.back() & POS_OFFSET_MASK, kStorage);   // the search came round to a's place
  std::string sBefore = Order();
  char sFreedLine[64];
  snprintf(sFreedLine, sizeof sFreedLine, "ListGetAt - Position THIS mismatch FFFFFFFF - %X", (unsigned)freed);
  struct { const char* sName; LD_POS pos; std::string sGetAtLine, sAssertLine; } const cases[] = {
    { "freed", freed, sFreedLine, "Position is OBSOLETE" },
    { "handed out again", reused, "assert pItem->This == LD_INVALID_POS", "Position is OBSOLETE" },
    { "past the region", kRegionSize - 8, "ListGetAt - Position is TOO LARGE.\n",
      "ListAssertPosition - Position is TOO LARGE.\n" },
    { "not an item", items[2] + 8, "ListGetAt - Position did not RESOLVE.\n", "Position is OBSOLETE" },
    { "beyond the offset bits", items[2] | (1ull << 32), "ListGetAt - Position did not RESOLVE.\n",
      "ListAssertPosition - Position did not RESOLVE.\n" },
    { "null", LD_INVALID_POS, "ListGetAt - Invalid POS.\n", "ListAssertPosition - Base or Position is NULL.\n" },
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sName);
    s_sLines.clear();
    EXPECT_EQ(ListGetAt(pBase, pList, c.pos), nullptr);
    EXPECT_TRUE(Logged(c.sGetAtLine)) << c.sGetAtLine;
    EXPECT_FALSE(ListAssertPosition(pBase, c.pos));
    EXPECT_TRUE(Logged(c.sAssertLine)) << c.sAssertLine;
    EXPECT_FALSE(ListRemoveAt(pBase, pList, c.pos) || ListSwap(pBase, pList, c.pos, items[2]));
    LD_POS walk = c.pos;
    EXPECT_EQ(ListGetAtMoveNext(pBase, pList, &walk), nullptr);
    EXPECT_EQ(walk, LD_INVALID_POS);   // a walk ends rather than spins
    EXPECT_EQ(Order(), sBefore);
  }
  EXPECT_TRUE(ListAssertPosition(pBase, items[2]));
}

// Against a model; the list holds positions, not addresses, so a copy of the
// region at another address (as another process maps it) walks the same.
TEST_F(NativeList, RandomOperationsFollowTheModelInTheRegionAndInACopyElsewhere)
{
  std::mt19937 rng(20261208);
  for (uint32_t ulDataSize : { 0u, 8u, 40u, 1000u }) {
    ASSERT_TRUE(ListInit(pBase, pList, pBase + 64, kRegionSize - 64 - 100, ulDataSize, false));
    std::vector<LD_POS> model;
    for (int step = 0; step < 4000; ++step) {
      s_sLines.clear();
      uint32_t op = rng() % 7;
      if (op < 3) {
        LD_POS pos = ListCreate(pBase, pList);
        if (model.size() == pList->ulMaxItems) {
          ASSERT_TRUE(pos == LD_INVALID_POS && !Logged("List is FULL"));   // a private list says nothing
        } else {
          ASSERT_NE(pos, LD_INVALID_POS);
          memset(ListGetAt(pBase, pList, pos), 0xA5, ulDataSize);
          model.push_back(pos);
        }
      } else if (op < 5 && !model.empty()) {
        size_t i = rng() % model.size();
        ASSERT_TRUE(ListRemoveAt(pBase, pList, model[i]));
        model.erase(model.begin() + (long)i);
      } else if (op == 5 && !model.empty()) {
        size_t i = rng() % model.size(), j = rng() % model.size();
        ASSERT_TRUE(ListSwap(pBase, pList, model[i], model[j]));
        std::swap(model[i], model[j]);
      } else {
        ASSERT_EQ(Walk(pBase, pList), model);
        Region copy = region;   // walked with the original wiped
        std::fill(region.words.begin(), region.words.end(), 0);
        ASSERT_EQ(Walk(copy.Base(), copy.List()), model);
        std::copy(copy.words.begin(), copy.words.end(), region.words.begin());
      }
    }
  }
}

TEST_F(NativeList, RecordsThatDescribeNoStorageInsideTheRegionAreNeverFollowed)
{
  ASSERT_TRUE(ListInit(pBase, pList, pBase + 0x100, 640, 40, false));
  ASSERT_NE(ListCreate(pBase, pList), LD_INVALID_POS);
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    tList damaged = *pList;
    uint32_t* pWords = reinterpret_cast<uint32_t*>(&damaged);
    pWords[rng() % (sizeof damaged / 4)] = rng() % 3 ? rng() : rng() % (2 * kRegionSize);
    LD_POS pos = damaged.First;
    for (int n = 0; n < 100 && ListGetAtMoveNext(pBase, &damaged, &pos) != nullptr; ++n) {
    }
    ListCreate(pBase, &damaged);
    ListRemoveAt(pBase, &damaged, damaged.Last);
  }
}

}  // namespace
