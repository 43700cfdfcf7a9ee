// Ring arithmetic and record coding of the debug viewer channel (pure code).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/BsRing.h"

TEST(BsRing, SizesTypesAndFreeSpace)
{
  // Texts are cut to 249 characters and a terminator: 269 bytes a record at most.
  EXPECT_EQ(BsRingTextLength(300), 250u);
  EXPECT_EQ(BsRingRecordSize(BsRingTextLength(300)), 269u);
  EXPECT_EQ(BsRingTextLength(249), 250u);
  EXPECT_EQ(BsRingTextLength(248), 249u);
  EXPECT_EQ(BsRingRecordSize(BsRingTextLength(0)), 20u);
  EXPECT_EQ(BsRingRecordType(0x08000000), 'e');
  EXPECT_EQ(BsRingRecordType(0x0C000000), 'e');
  EXPECT_EQ(BsRingRecordType(0x04000000), 'w');
  EXPECT_EQ(BsRingRecordType(0x20000000), 't');
  EXPECT_EQ(BsRingRecordType(0x00000010), 't');
  struct {
    uint32_t head, tail;
    int32_t lFree;   // -1: no sound ring has these positions
  } cases[] = {{0, 0, 102397},     {100, 50, 50 + 102400 - 100 - 3}, {100, 200, 97}, {100, 103, 0},
               {100, 101, -1},     {100, 102, -1},                   {102400, 0, -1}, {0, 102400, -1},
               {0xFFFFFFFF, 5, -1}};
  for (const auto& c : cases) {
    int32_t lFree = -1;
    EXPECT_EQ(BsRingFreeSpace(c.head, c.tail, &lFree), c.lFree >= 0) << c.head << "/" << c.tail;
    EXPECT_EQ(lFree, c.lFree) << c.head << "/" << c.tail;
  }
  EXPECT_EQ(BsRingUsed(10, 102390), 20u);
  EXPECT_EQ(BsRingAdvance(102390, 20), 10u);
}

// Every start position near the end: the record straddles it at each field.
TEST(BsRing, RecordsStraddlingTheEndReadBackIntact)
{
  std::vector<uint8_t> guarded(BS_RING_SIZE + 64, 0xA5);
  uint8_t* pRing = guarded.data() + 32;
  const std::string text = "DRAVMOU <0042> Straddle - a line that wraps\n";
  uint32_t n = BsRingTextLength(text.size());
  uint32_t size = BsRingRecordSize(n);
  for (uint32_t pos = BS_RING_SIZE - size - 1; pos < BS_RING_SIZE; ++pos) {
    memset(pRing, 0xEE, BS_RING_SIZE);
    BsRingBeginRecord(pRing, pos);
    EXPECT_EQ(pRing[pos], 0u);
    BsRingFinishRecord(pRing, pos, 'w', 0x11223344, 0x55667788, 0x0102030405060708ull + pos, text.c_str(), n);
    BsRecord rec;
    ASSERT_EQ(BsRingReadRecord(pRing, pos, size, &rec), BS_RECORD_OK) << pos;
    EXPECT_EQ(rec.ulLength, n);
    EXPECT_EQ(rec.cType, 'w');
    EXPECT_EQ(rec.ulPid, 0x11223344u);
    EXPECT_EQ(rec.ulSequence, 0x55667788u);
    EXPECT_EQ(rec.ullStamp, 0x0102030405060708ull + pos);
    EXPECT_EQ(rec.ucCheck, (uint8_t)((0x08 + pos) & 0xFF));
    EXPECT_EQ(std::string(rec.sText), text);
    // Nothing outside the record changed, inside the ring or beyond it.
    for (uint32_t i = BsRingAdvance(pos, size); i != pos; i = BsRingAdvance(i, 1)) {
      ASSERT_EQ(pRing[i], 0xEE) << "pos " << pos << " byte " << i;
    }
    for (int i = 0; i < 32; ++i) {
      ASSERT_EQ(guarded[i], 0xA5);
      ASSERT_EQ(guarded[32 + BS_RING_SIZE + i], 0xA5);
    }
  }
}

TEST(BsRing, LongTextIsCutAndWhatIsNotARecordIsRefused)
{
  std::vector<uint8_t> ring(BS_RING_SIZE, 0);
  uint32_t size = 0;
  char type = 0;
  BsRecord rec;
  EXPECT_EQ(BsRingPeekRecord(ring.data(), 7, 1000, &size, &type), BS_RECORD_UNPUBLISHED);
  BsRingBeginRecord(ring.data(), 7);
  BsRingFinishRecord(ring.data(), 7, 'e', 1, 2, 3, std::string(300, 'x').c_str(), 250);
  EXPECT_EQ(ring[7], 250u);
  EXPECT_EQ(ring[7 + 18 + 248], 'x');
  EXPECT_EQ(ring[7 + 18 + 249], 0u);   // the 250th text byte is forced to 0
  EXPECT_EQ(ring[7 + 18 + 250], 3u);   // check byte
  ASSERT_EQ(BsRingReadRecord(ring.data(), 7, 269, &rec), BS_RECORD_OK);
  EXPECT_EQ(std::string(rec.sText), std::string(249, 'x'));
  ASSERT_EQ(BsRingPeekRecord(ring.data(), 7, 269, &size, &type), BS_RECORD_OK);
  EXPECT_EQ(size, 269u);
  EXPECT_EQ(type, 'e');
  // The written part ends before the record does.
  EXPECT_EQ(BsRingPeekRecord(ring.data(), 7, 268, &size, &type), BS_RECORD_PAST_HEAD);
  EXPECT_EQ(BsRingReadRecord(ring.data(), 7, 268, &rec), BS_RECORD_PAST_HEAD);
  ring[7 + 18 + 250] ^= 0xFF;
  EXPECT_EQ(BsRingReadRecord(ring.data(), 7, 269, &rec), BS_RECORD_BAD_CHECK);
  ring[8] = 'x';
  EXPECT_EQ(BsRingPeekRecord(ring.data(), 7, 1000, &size, &type), BS_RECORD_BAD_TYPE);
  ring[8] = 'e';
  ring[7] = 251;
  EXPECT_EQ(BsRingPeekRecord(ring.data(), 7, 1000, &size, &type), BS_RECORD_BAD_LENGTH);
}
