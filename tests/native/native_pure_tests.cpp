// Randomised robustness of the pure units, run natively under the sanitizers:
// any read or write outside a buffer, or undefined arithmetic, fails the run.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "diag/BsRing.h"
#include "diag/TraceFormat.h"
#include "mouio/MouIoPack.h"

namespace {
std::mt19937 g_rng(20261206);

std::string RandomText(size_t n)
{
  std::string s(n, ' ');
  for (char& c : s) c = (char)(32 + g_rng() % 95);
  return s;
}

std::string FormatLine(const char* sFunction, const char* sFormat, ...)
{
  char line[TRACE_LINE_SIZE];
  va_list args;
  va_start(args, sFormat);
  size_t n = TraceFormatLine(line, "DRAVMOU", 1234, 0x08000000, sFunction, sFormat, args);
  va_end(args);
  EXPECT_EQ(n, strlen(line));
  return line;
}
}  // namespace

TEST(NativeTraceFormat, LinesAlwaysFitAndEndWithALineFeed)
{
  for (int i = 0; i < 5000; ++i) {
    std::string text = RandomText(g_rng() % 1500), func = RandomText(1 + g_rng() % 300);
    std::string line = FormatLine(i % 3 ? func.c_str() : nullptr, "%s", text.c_str());
    ASSERT_LE(line.size(), TRACE_LINE_SIZE - 2);
    ASSERT_EQ(line.back(), '\n');
    char file[TRACE_FILE_LINE_SIZE];
    size_t n = TraceFormatFileLine(file, sizeof file, 23, 59, 59, 999, g_rng(), line.c_str());
    ASSERT_LT(n, sizeof file);
    ASSERT_EQ(std::string(file + n - 2), "\r\n");
  }
}

// Records at every position near the ring's end round-trip, written inside a
// ring of exactly its size (garbage rings are the fuzz targets' work).
TEST(NativeBsRing, RecordsRoundTripNearTheRingEnd)
{
  std::vector<uint8_t> ring(BS_RING_SIZE, 0xCC);
  for (uint32_t pos = BS_RING_SIZE - 300; pos < BS_RING_SIZE; ++pos) {
    std::string text = RandomText(g_rng() % 400);
    uint32_t n = BsRingTextLength(text.size());
    ASSERT_LE(n, BS_MAX_TEXT);
    BsRingBeginRecord(ring.data(), pos);
    BsRingFinishRecord(ring.data(), pos, 'w', 77, pos, 0x1122334455667700ull | (pos & 0xFF), text.c_str(), n);
    BsRecord rec;
    ASSERT_EQ(BsRingReadRecord(ring.data(), pos, BsRingRecordSize(n), &rec), BS_RECORD_OK);
    EXPECT_EQ(std::make_tuple(rec.ulLength, rec.cType, rec.ulSequence, std::string(rec.sText)),
              std::make_tuple(n, 'w', pos, text.substr(0, n - 1)));
  }
}

// Every value the handlers accept packs without overflow; any word unpacks.
TEST(NativePack, SpeedAndWheelPackingsStayDefined)
{
  std::uniform_real_distribution<float> offset(0.0001f, 2.0f), speed(0.0001f, 255.0f);
  for (int i = 0; i < 200000; ++i) {
    uint32_t x, y;
    MouIoUnpackSpeed(MouIoPackSpeed(g_rng(), g_rng()), &x, &y);
    ASSERT_LE(x, 0xFFFFu * 50 / 4096 + 1);
    float v, o = offset(g_rng), s = speed(g_rng);
    MouIoUnpackFixed(g_rng(), &v, &o);
    MouIoUnpackInteger(g_rng());
    o = offset(g_rng);
    if (s * o > 255.0f || s / o > 255.0f) continue;
    MouIoPackFixed(s, o);
    MouIoPackInteger(g_rng() % 100000, o);
  }
}
