// Position-linked lists: tags, freed items resting before reuse, walks both
// ways, refusal of positions that name no current item, and a region seen at
// another address. Swaps and removals against a model: native_list_tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "list/ListMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

// A region of one page followed by an inaccessible page: a position followed
// past the region's end faults the test.
class ListTest : public testing::Test {
protected:
  static constexpr ULONG kRegionSize = 0x1000;
  static constexpr ULONG kStorage = 64;   // the list record sits at 8
  BYTE* pBase = nullptr;
  tList* pList = nullptr;
  std::vector<LD_POS> items;   // positions by creation, 'a' first
  TraceCapture capture;
  TraceLevel level{ LIST_TRACE_CATEGORY };

  void SetUp() override
  {
    pBase = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * kRegionSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pBase, nullptr);
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pBase + kRegionSize, kRegionSize, PAGE_NOACCESS, &dwOld));
    reinterpret_cast<shareHeader*>(pBase)->lSize = kRegionSize;
    pList = reinterpret_cast<tList*>(pBase + 8);
  }
  void TearDown() override { VirtualFree(pBase, 0, MEM_RELEASE); }

  void Init(ULONG ulItems, ULONG ulDataSize = 40, bool bShared = false)
  {
    ASSERT_TRUE(ListInit(pBase, pList, pBase + kStorage, ulItems * (ulDataSize + 24), ulDataSize, bShared));
  }
  LD_POS Create()
  {
    LD_POS pos = ListCreate(pBase, pList);
    items.push_back(pos);
    return pos;
  }
  ULONG IndexOf(LD_POS pos) const { return ((ULONG)pos & POS_OFFSET_MASK) - kStorage; }
  // Runs "+" (create), "-x" (remove x), "xy" (swap x and y) steps; items are letters by creation.
  void Run(const std::vector<std::string>& steps)
  {
    for (const std::string& s : steps) {
      if (s == "+") {
        ASSERT_NE(Create(), LD_INVALID_POS);
      } else if (s[0] == '-') {
        ASSERT_TRUE(ListRemoveAt(pBase, pList, items.at(s[1] - 'a'))) << s;
      } else {
        ASSERT_TRUE(ListSwap(pBase, pList, items.at(s[0] - 'a'), items.at(s[1] - 'a'))) << s;
      }
    }
  }
  // The list's order as letters, walked forwards with each of the two walks
  // and backwards over the Previous links; "broken" if they disagree. The
  // list is read in the region, or in a copy of it at pAt.
  std::string Order(BYTE* pAt = nullptr)
  {
    BYTE* pB = pAt != nullptr ? pAt : pBase;
    tList* pL = reinterpret_cast<tList*>(pB + 8);
    auto letter = [&](void* pData) {
      auto it = std::find(items.begin(), items.end(), ListGetPos(pB, pL, pData));
      return it == items.end() ? '?' : (char)('a' + (it - items.begin()));
    };
    std::string forward, next, backward;
    LD_POS pos = ListGetFirstPosition(pL);
    for (void* pData; forward.size() < 10 && (pData = ListGetAtMoveNext(pB, pL, &pos)) != nullptr;) {
      forward += letter(pData);
    }
    for (void* pData = ListGetFirst(pB, pL, &pos); pData != nullptr && next.size() < 10; pData = ListGetNext(pB, pL, &pos)) {
      next += letter(pData);
    }
    for (LD_POS p = pL->Last; p != LD_INVALID_POS && backward.size() < 10;) {
      void* pData = ListGetAt(pB, pL, p);
      if (pData == nullptr) {
        backward += '!';
        break;
      }
      backward.insert(backward.begin(), letter(pData));
      p = (static_cast<tListItem*>(pData) - 1)->Previous;
    }
    bool bOk = forward == next && forward == backward && forward.size() == ListGetCount(pL);
    return bOk ? forward : "broken: " + forward + "/" + next + "/" + backward;
  }
};

TEST_F(ListTest, InitSizesTheItemsAndFreesThem)
{
  Init(10);   // data size 40 over 640 bytes
  EXPECT_EQ(std::tuple(pList->ulItemSize, pList->ulMaxItems, pList->First), std::tuple(64u, 10u, LD_INVALID_POS));
  for (ULONG i = 0; i < 10; ++i) EXPECT_EQ(reinterpret_cast<tListItem*>(pBase + kStorage + 64 * i)->This, LD_INVALID_POS);
  EXPECT_FALSE(capture.Contains("assert"));
  ASSERT_TRUE(ListInit(pBase, pList, pBase + kStorage, 650, 40, false));
  EXPECT_EQ(pList->ulMaxItems, 10u);
  EXPECT_TRUE(capture.Contains("assert ulStorageSize % pList->ulItemSize == 0"));
  // Storage past the region's end is refused: the list gets no room at all.
  EXPECT_FALSE(ListInit(pBase, pList, pBase + kRegionSize - 64, 640, 40, false));
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
}

TEST_F(ListTest, PositionsCarryATagThatChangesOnEveryCreationAndWraps)
{
  Init(1);
  LD_POS first = Create();
  ASSERT_TRUE(ListRemoveAt(pBase, pList, first));
  LD_POS again = Create();
  EXPECT_EQ(first & POS_OFFSET_MASK, again & POS_OFFSET_MASK);   // the same item
  EXPECT_NE(first, again);
  EXPECT_EQ(again >> 32, 0u);
  EXPECT_EQ(ListGetPos(pBase, pList, ListGetAt(pBase, pList, again)), again);   // the real tag
  reinterpret_cast<shareHeader*>(pBase)->ulPosTag = 0xFFF;
  EXPECT_EQ(PtrToPos(pBase, pBase + 100), 100u);   // tag 0x1000 keeps its low 12 bits: 0
  EXPECT_EQ(PtrToPos(pBase, pBase + 100), 100u | (1u << 20));
  EXPECT_EQ(PtrToPos(pBase, pBase + kRegionSize + 1), LD_INVALID_POS);
  EXPECT_TRUE(capture.Contains("assert offset <= *plSize"));
  // Past the 1 MiB a position can express, even inside a larger region.
  std::vector<ULONG64> big(0x110000 / 8);
  reinterpret_cast<shareHeader*>(big.data())->lSize = 0x110000;
  EXPECT_EQ(PtrToPos(big.data(), reinterpret_cast<BYTE*>(big.data()) + 0x100000), LD_INVALID_POS);
  EXPECT_TRUE(capture.Contains("assert offset <= POS_OFFSET_MASK"));
}

TEST_F(ListTest, FreedItemsRestUntilTheSearchComesRoundAgain)
{
  Init(8);
  Run({ "+", "+", "+", "-a" });
  EXPECT_EQ(IndexOf(Create()), 3 * 64u);   // not the freed index 0
  for (ULONG i = 4; i < 8; ++i) EXPECT_EQ(IndexOf(Create()), i * 64);
  EXPECT_EQ(IndexOf(Create()), 0u);
  EXPECT_EQ(Order(), "bcdefghi");

  // Full: a private list says nothing, shared storage scans and tells.
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
  EXPECT_FALSE(capture.Contains("List is FULL"));
  pList->bSharedStorage = 1;
  pList->ulItemCount = 3;   // the other lists hold the rest
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
  EXPECT_TRUE(capture.Contains("ListCreate - List is FULL. ItemCount 3. ListSize 8. Shared 1.\n"));
}

TEST_F(ListTest, PositionsOfNoCurrentItemAreRefusedWithTheirLine)
{
  Init(8);
  Run({ "+", "+", "+", "+", "-b", "-d" });
  LD_POS freed = items[1];
  Create();   // takes index 4: the freed places rest
  LD_POS reused = items[0];
  ASSERT_TRUE(ListRemoveAt(pBase, pList, reused));
  for (ULONG i = 0; i < 4; ++i) Create();   // round to index 0 again, under a new tag
  ASSERT_EQ(IndexOf(items.back()), 0u);
  std::string sBefore = Order();
  std::vector<ULONG64> other(0x4000 / 8);
  reinterpret_cast<shareHeader*>(other.data())->lSize = 0x4000;
  auto hex = [](LD_POS pos) {
    char s[16];
    snprintf(s, sizeof s, "%X", (unsigned)pos);
    return std::string(s);
  };
  struct Case {
    const char* sName;
    LD_POS pos;
    std::string sGetAtLine, sAssertLine;
  } cases[] = {
    { "freed", freed, "ListGetAt - Position THIS mismatch FFFFFFFF - " + hex(freed), "Position is OBSOLETE" },
    { "handed out again", reused, "assert pItem->This == LD_INVALID_POS", "Position is OBSOLETE" },
    { "wrong tag", items[2] ^ (1u << 20), "ListGetAt - Position THIS mismatch", "Position is OBSOLETE" },
    { "past the region", kRegionSize - 8, "ListGetAt - Position is TOO LARGE.\n",
      "ListAssertPosition - Position is TOO LARGE.\n" },
    { "another region's", PtrToPos(other.data(), reinterpret_cast<BYTE*>(other.data()) + 0x3000),
      "ListGetAt - Position is TOO LARGE.\n", "ListAssertPosition - Position is TOO LARGE.\n" },
    { "not an item", items[2] + 8, "ListGetAt - Position did not RESOLVE.\n", "Position is OBSOLETE" },
    { "beyond the offset bits", items[2] | (1ull << 32), "ListGetAt - Position did not RESOLVE.\n",
      "ListAssertPosition - Position did not RESOLVE.\n" },
    { "null", LD_INVALID_POS, "ListGetAt - Invalid POS.\n", "ListAssertPosition - Base or Position is NULL.\n" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sName);
    capture.Clear();
    EXPECT_EQ(ListGetAt(pBase, pList, c.pos), nullptr);
    EXPECT_TRUE(capture.Contains(c.sGetAtLine)) << c.sGetAtLine;
    EXPECT_FALSE(ListAssertPosition(pBase, c.pos));
    EXPECT_TRUE(capture.Contains(c.sAssertLine)) << c.sAssertLine;
    EXPECT_FALSE(ListRemoveAt(pBase, pList, c.pos));
    EXPECT_FALSE(ListSwap(pBase, pList, c.pos, items[2]));
    LD_POS walk = c.pos;
    EXPECT_EQ(ListGetAtMoveNext(pBase, pList, &walk), nullptr);
    EXPECT_EQ(walk, LD_INVALID_POS);   // a walk ends rather than spins
    EXPECT_EQ(Order(), sBefore);
  }
  EXPECT_TRUE(ListAssertPosition(pBase, items[2]));
}

// The list holds positions, not addresses: a copy of the region at another
// address (as another process maps it) walks to the same items at the same offsets.
TEST_F(ListTest, ACopyOfTheRegionElsewhereHoldsTheSameList)
{
  Init(8);
  Run({ "+", "+", "+", "+", "-b", "ad" });
  std::vector<ULONG64> copy(kRegionSize / 8);
  memcpy(copy.data(), pBase, kRegionSize);
  EXPECT_EQ(Order(), "dca");
  EXPECT_EQ(Order(reinterpret_cast<BYTE*>(copy.data())), "dca");
}

}  // namespace
