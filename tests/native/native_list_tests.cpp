// The position-linked list under the sanitizers: random creations, removals,
// swaps and walks checked against a model (refused positions: test_list).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <vector>

#include "list/ListMgr.h"

// Formatted, so that a line's arguments are checked too.
void ListTraceLine(uint32_t, const char*, const char* sFormat, ...)
{
  char sText[512];
  va_list args;
  va_start(args, sFormat);
  vsnprintf(sText, sizeof sText, sFormat, args);
  va_end(args);
}

void ListTraceAssert(const char*, const char*, int, const char*) {}

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

TEST(NativeList, RandomOperationsFollowTheModel)
{
  std::mt19937 rng(20261208);
  for (uint32_t ulDataSize : { 0u, 8u, 40u, 1000u }) {
    Region region(0x4000);
    tList* pList = region.List();
    uint8_t* pStorage = static_cast<uint8_t*>(region.Base()) + 64;
    ASSERT_TRUE(ListInit(region.Base(), pList, pStorage, 0x4000 - 64 - 100, ulDataSize, false));
    std::vector<LD_POS> model;
    for (int step = 0; step < 4000; ++step) {
      uint32_t op = rng() % 7;
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
        model.erase(model.begin() + (long)i);
      } else if (op == 5 && !model.empty()) {
        size_t i = rng() % model.size(), j = rng() % model.size();
        ASSERT_TRUE(ListSwap(region.Base(), pList, model[i], model[j]));
        std::swap(model[i], model[j]);
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
}

TEST(NativeList, RecordsThatDescribeNoStorageInsideTheRegionAreNeverFollowed)
{
  Region region(0x1000);
  tList* pList = region.List();
  uint8_t* pBase = static_cast<uint8_t*>(region.Base());
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
