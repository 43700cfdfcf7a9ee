// The position-linked list under the sanitizers: random creations, removals,
// swaps and walks checked against a model, with random positions thrown in
// that must be refused without a read outside the region.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <vector>

#include "list/ListMgr.h"

static unsigned long s_ulListLines = 0;

void ListTraceLine(uint32_t, const char*, const char* sFormat, ...)
{
  char sText[512];
  va_list args;
  va_start(args, sFormat);
  vsnprintf(sText, sizeof sText, sFormat, args);
  va_end(args);
  s_ulListLines++;
}

void ListTraceAssert(const char*, const char*, int, const char*) { s_ulListLines++; }

namespace {
struct Region {
  std::vector<uint64_t> words;   // 8-byte aligned, exactly lSize bytes
  explicit Region(uint32_t ulSize) : words(ulSize / 8)
  {
    Header()->lSize = (int32_t)ulSize;
  }
  void* Base() { return words.data(); }
  shareHeader* Header() { return reinterpret_cast<shareHeader*>(words.data()); }
  tList* List() { return reinterpret_cast<tList*>(reinterpret_cast<uint8_t*>(Base()) + 8); }
};

std::vector<LD_POS> Walk(void* pBase, tList* pList, bool bBackwards)
{
  std::vector<LD_POS> order;
  LD_POS pos = bBackwards ? pList->Last : pList->First;
  while (pos != LD_INVALID_POS && order.size() <= pList->ulMaxItems) {
    order.push_back(pos);
    auto* pItem = static_cast<tListItem*>(PosToPtr(pBase, pos));
    pos = bBackwards ? pItem->Previous : pItem->Next;
  }
  if (bBackwards) std::reverse(order.begin(), order.end());
  return order;
}
}  // namespace

TEST(NativeList, RandomOperationsFollowTheModelAndBadPositionsAreRefused)
{
  std::mt19937 rng(20261208);
  for (uint32_t ulDataSize : { 0u, 8u, 40u, 1000u }) {
    Region region(0x4000);
    Region other(0x10000);   // positions of another, larger region
    tList* pList = region.List();
    uint8_t* pStorage = static_cast<uint8_t*>(region.Base()) + 64;
    ASSERT_TRUE(ListInit(region.Base(), pList, pStorage, 0x4000 - 64 - 100, ulDataSize, false));
    std::vector<LD_POS> model, freed;
    for (int step = 0; step < 4000; ++step) {
      uint32_t op = rng() % 8;
      if (op < 3) {
        LD_POS pos = ListCreate(region.Base(), pList);
        if (model.size() == pList->ulMaxItems) {
          ASSERT_EQ(pos, LD_INVALID_POS);
        } else {
          ASSERT_NE(pos, LD_INVALID_POS);
          memset(ListGetAt(region.Base(), pList, pos), 0xA5, ulDataSize);
          model.push_back(pos);
        }
      } else if (op < 5 && !model.empty()) {
        size_t i = rng() % model.size();
        ASSERT_TRUE(ListRemoveAt(region.Base(), pList, model[i]));
        freed.push_back(model[i]);
        model.erase(model.begin() + (long)i);
      } else if (op == 5 && !model.empty()) {
        size_t i = rng() % model.size(), j = rng() % model.size();
        ASSERT_TRUE(ListSwap(region.Base(), pList, model[i], model[j]));
        std::swap(model[i], model[j]);
      } else if (op == 6) {
        // Positions that name no current item of this list.
        LD_POS bad = rng() % 4 == 0 ? ((LD_POS)rng() << 32 | rng())
                   : rng() % 3 == 0 ? (LD_POS)(rng() & 0xFFFFFFFFu)
                   : !freed.empty() ? freed[rng() % freed.size()]
                                    : PtrToPos(other.Base(), (uint8_t*)other.Base() + 0x8000);
        if (std::find(model.begin(), model.end(), bad) != model.end()) continue;
        ASSERT_EQ(ListGetAt(region.Base(), pList, bad), nullptr);
        ASSERT_FALSE(ListRemoveAt(region.Base(), pList, bad));
        ASSERT_FALSE(!model.empty() && ListSwap(region.Base(), pList, bad, model[0]));
        LD_POS walk = bad;
        ASSERT_EQ(ListGetAtMoveNext(region.Base(), pList, &walk), nullptr);
        ASSERT_EQ(walk, LD_INVALID_POS);
      } else {
        ASSERT_EQ(Walk(region.Base(), pList, false), model);
        ASSERT_EQ(Walk(region.Base(), pList, true), model);
        ASSERT_EQ(ListGetCount(pList), model.size());
        for (LD_POS pos : model) {
          ASSERT_EQ(ListGetPos(region.Base(), pList, ListGetAt(region.Base(), pList, pos)), pos);
        }
      }
    }
  }
  EXPECT_GT(s_ulListLines, 0u);
}

TEST(NativeList, RecordsThatDescribeNoStorageInsideTheRegionAreNeverFollowed)
{
  Region region(0x1000);
  tList* pList = region.List();
  uint8_t* pBase = static_cast<uint8_t*>(region.Base());
  EXPECT_FALSE(ListInit(pBase, pList, pBase + 0x800, 0x1000, 40, false));   // runs past the region's end
  EXPECT_EQ(ListCreate(pBase, pList), LD_INVALID_POS);
  ASSERT_TRUE(ListInit(pBase, pList, pBase + 0x100, 640, 40, false));
  ASSERT_NE(ListCreate(pBase, pList), LD_INVALID_POS);
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    tList damaged = *pList;
    uint32_t* pWords = reinterpret_cast<uint32_t*>(&damaged);
    pWords[rng() % (sizeof damaged / 4)] = rng() % 3 ? rng() : rng() % 0x2000;
    LD_POS pos = damaged.First;
    for (int n = 0; n < 100 && ListGetAtMoveNext(pBase, &damaged, &pos) != nullptr; ++n) {
    }
    ListCreate(pBase, &damaged);
    ListRemoveAt(pBase, &damaged, damaged.Last);
  }
}
