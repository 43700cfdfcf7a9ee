// Debug viewer channel: posting, dropping, process slots, foreign or corrupt regions, starting
// the viewer, and the viewer program. The region outlives a case: each takes it over and gives it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <regex>
#include <set>

#include "diag/BsRing.h"
#include "diag/Trace.h"
#include "tests/unit/DiagTestSupport.h"

namespace {

const std::string kViewer = "VantBshw.exe MEM:Local\\VantBugShow -t 60000 -o ";

class BugShowTest : public testing::Test {
protected:
  void SetUp() override
  {
    OpenChannelQuietly();
    ASSERT_NE(p = static_cast<BsSharedData*>(g_pBsData), nullptr);
    m_dwSavedFlags = std::exchange(g_dwBsFlags, 0);   // this process's own lines stay out of the ring
    memcpy(m_ulSavedPids, p->ulPid, sizeof m_ulSavedPids);
    ResetRing();
  }
  void TearDown() override
  {
    BsSetTestHook(nullptr, nullptr);
    if (p == nullptr) return;
    ResetRing();
    memcpy(p->ulPid, m_ulSavedPids, sizeof m_ulSavedPids);
    p->ulRegionSize = BS_REGION_SIZE;
    g_dwBsFlags = m_dwSavedFlags;
    TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "Path");
    TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
  }
  bool ViewerClaimed()   // bounded poll: the viewer says it runs, through the region only
  {
    volatile BsSharedData* v = p;
    for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < 15000; Sleep(20)) {
      if (v->bViewerRunning == 1 && v->ulViewerWord != 0) return true;
    }
    return false;
  }
  void StopViewer()   // one of an earlier case (or another suite's error line) would take our records
  {
    HANDLE hViewer = p->bViewerRunning ? OpenProcess(SYNCHRONIZE, FALSE, p->ulViewerWord) : nullptr;
    p->bShutdown = 1;
    SetEvent(g_hBsEvent);
    EXPECT_TRUE(hViewer == nullptr || WaitForSingleObject(hViewer, 10000) == WAIT_OBJECT_0);
    if (hViewer != nullptr) CloseHandle(hViewer);
  }
  void ResetRing(uint32_t ulPos = 0)
  {
    StopViewer();
    memset(p->ucRing, 0, sizeof p->ucRing);
    p->ulHead = p->ulTail = ulPos;
    p->ulDroppedInfo = p->ulDroppedWarnings = p->ulDroppedErrors = 0;
    p->bDisabled = p->bViewerRunning = p->bBsPresent = p->bShutdown = p->ulViewerWord = 0;
  }
  // The texts (or the records as described) from tail to head, up to the first record that is not sound.
  std::vector<std::string> Texts(std::function<std::string(const BsRecord&)> describe = nullptr)
  {
    std::vector<std::string> out;
    BsRecord rec;
    for (uint32_t ulPos = p->ulTail; ulPos != p->ulHead; ulPos = BsRingAdvance(ulPos, BsRingRecordSize(rec.ulLength))) {
      if (BsRingReadRecord(p->ucRing, ulPos, BsRingUsed(p->ulHead, ulPos), &rec) != BS_RECORD_OK) break;
      out.push_back(describe ? describe(rec) : rec.sText);
    }
    return out;
  }
  BsSharedData* p = nullptr;
  DWORD m_dwSavedFlags = 0;
  uint32_t m_ulSavedPids[BS_PID_SLOTS] = {};
};

}  // namespace

TEST_F(BugShowTest, RecordsAsLaidOutThroughTheWriterAndDirectly)
{
  EXPECT_EQ(std::count(m_ulSavedPids, m_ulSavedPids + BS_PID_SLOTS, GetCurrentProcessId()), 1);
  HANDLE hEvent = OpenEventA(SYNCHRONIZE, FALSE, "Local\\VantBugShow_EVENT");
  WaitForSingleObject(hEvent, 0);   // auto-reset: take any earlier signal
  uint32_t ulSeq = p->ulSequence;
  BsPostLine(TRACE_CAT_ERROR, std::string(300, 'q').c_str());
  EXPECT_EQ(p->ulHead, 269u);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(hEvent);
  EXPECT_EQ(p->ucRing[18 + 249], 0u);   // the 250th text byte is forced to 0
  BsPostLine(TRACE_CAT_WARNING, "a warning\n");
  BsPostLine(TRACE_CAT_INFO, "");
  g_dwBsFlags = 0x400;   // other lines only, no viewer start
  TRACE_INFO("posted through the writer %d", 7);
  TRACE_ERROR("not posted: errors are off");
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  EXPECT_EQ(Texts([&](const BsRecord& r) {   // type, sequence since ulSeq, text
              bool bSound = r.ulPid == GetCurrentProcessId() && r.ullStamp > 0 && r.ullStamp <= (uint64_t)now.QuadPart;
              return r.cType + std::to_string(r.ulSequence - ulSeq) + (bSound ? " " : " (pid or stamp wrong) ") + r.sText;
            }),
            (std::vector<std::string>{"e1 " + std::string(249, 'q'), "w2 a warning\n", "t3 ",
                                      "t4 " + TraceHead("TestBody") + "posted through the writer 7\n"}));
}

// Filled from just before the ring's end on past capacity: the oldest records go, counted
// by type, and what is left (some straddling the end) reads back intact.
TEST_F(BugShowTest, WrappedRingReadsBackIntactAndDropsByType)
{
  ResetRing(BS_RING_SIZE - 500);
  std::vector<std::string> posted;
  auto size = [&](size_t i) { return BsRingRecordSize(BsRingTextLength(posted[i].size())); };
  std::vector<uint32_t> expected(3);   // by type: t, w, e
  size_t used = 0, oldest = 0, straddler = 0;
  for (size_t i = 0; oldest < 20; ++i) {   // each line drops just enough of the oldest records for itself
    posted.push_back(ChildBsLine("W", (int)i));
    for (; BS_RING_SIZE - BS_RING_SPARE <= used + size(i); used -= size(oldest++)) expected[oldest % 3]++;
    if (p->ulHead + size(i) > BS_RING_SIZE) straddler = i;
    BsPostLine(i % 3 == 2 ? TRACE_CAT_ERROR : i % 3 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, posted.back().c_str());
    used += size(i);
  }
  EXPECT_EQ((std::vector<uint32_t>{p->ulDroppedInfo, p->ulDroppedWarnings, p->ulDroppedErrors}), expected);
  EXPECT_GT(expected[0] * expected[1] * expected[2], 0u);
  EXPECT_EQ(BsRingUsed(p->ulHead, p->ulTail), used);
  EXPECT_EQ(Texts(), std::vector<std::string>(posted.begin() + oldest, posted.end()));
  EXPECT_GE(straddler, oldest);
}

// Records of 100 bytes, a ring's size over again: every byte ahead of the head is a published old record.
TEST_F(BugShowTest, AHeadReadBeforeOthersMovedIsReadAgain)
{
  for (int i = 0; i < 2100; ++i) BsPostLine(TRACE_CAT_INFO, std::string(80, 'a' + i % 26).c_str());
  p->ulDroppedInfo = 0;
  // Between our reads of head and tail, another posts a record and the viewer takes all.
  int nCalls = 0;
  BsSetTestHook([](BsTestPointId point, void* pCalls) {
    if (point == BS_POINT_HEAD_READ && (*static_cast<int*>(pCalls))++ == 0) {
      BsPostLine(TRACE_CAT_INFO, std::string(80, 'o').c_str());
      static_cast<BsSharedData*>(g_pBsData)->ulTail = static_cast<BsSharedData*>(g_pBsData)->ulHead;
    }
  }, &nCalls);
  BsPostLine(TRACE_CAT_WARNING, std::string(80, 'w').c_str());
  // The other poster dropped one record; the viewer took its line; ours alone is left.
  EXPECT_EQ(p->ulDroppedInfo, 1u);
  EXPECT_EQ(BsRingUsed(p->ulHead, p->ulTail), 100u);
  EXPECT_EQ(Texts(), std::vector<std::string>{std::string(80, 'w')});
}

// Four slots taken: the child takes the fifth, quietly. All ten taken: it warns and overwrites the tenth.
TEST_F(BugShowTest, EleventhProcessClobbersTheLastSlot)
{
  TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", 0x200);   // warnings on, no viewer started
  for (uint32_t nTaken : {4u, BS_PID_SLOTS}) {
    memset(p->ulPid, 0, sizeof p->ulPid);
    for (uint32_t i = 0; i < nTaken; ++i) p->ulPid[i] = 0x7FFF0001 + i;
    EXPECT_EQ(TestRunProgram("drav_child.exe error 1 -"), nTaken == 4 ? 1u : 9u);   // bit 3: it warned
    std::string slots;   // ours as letters, the child's as C
    for (uint32_t ulPid : p->ulPid) slots += ulPid == 0 ? '0' : ulPid - 0x7FFF0001 < 10 ? char('a' + ulPid - 0x7FFF0001) : 'C';
    EXPECT_EQ(slots, nTaken == 4 ? "abcdC00000" : "abcdefghiC");
  }
}

// The first error line of a process starts the viewer, through "Path" or beside the module that
// holds the code; a failed start gives the claim back; two processes at once start it once.
TEST_F(BugShowTest, ViewerStartedOnceFromPathOrBesideTheModule)
{
  // BsDrav not a REG_DWORD: the default 0x710 stays, an error line starts it. Exit 7: both switches, launched.
  TestRegSetBinary(HKEY_CURRENT_USER, kBsKey, "BsDrav", "\x01\0\0", 4);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", TestScratchDir("bugshow_noviewer").c_str());
  EXPECT_EQ(TestRunProgram("drav_child.exe error 1 -") & 7, 7u);
  EXPECT_TRUE(p->bBsPresent == 0 && p->bViewerRunning == 0);
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  EXPECT_EQ(TestRunProgram("drav_child.exe error 1 -") & 7, 7u);
  ASSERT_TRUE(ViewerClaimed());
  ResetRing();
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", TestBinDir().c_str());
  Gate gate("DravBsGate_Start");
  std::future<DWORD> first = StartProgram("drav_child.exe error 1 DravBsGate_Start");
  std::future<DWORD> second = StartProgram("drav_child.exe error 1 DravBsGate_Start");
  ASSERT_TRUE(gate.AwaitReady(2));
  gate.Open();
  EXPECT_EQ((std::multiset<DWORD>{first.get() & 7, second.get() & 7}), (std::multiset<DWORD>{3, 7}));   // exactly one launched
  EXPECT_EQ(p->bBsPresent, 1u);
  ASSERT_TRUE(ViewerClaimed());
  StopViewer();
  EXPECT_EQ(p->ulTail, p->ulHead);   // it took the children's lines
  EXPECT_TRUE(p->bViewerRunning == 0 && p->bBsPresent == 0);   // a later error line may start it again
}

// Six processes post while the viewer drains: every line shown is intact and in order per process,
// the rest was counted as dropped. A quick viewer (posters yielding between their reads of head and
// tail), and a slow one that makes them drop and still has lines to show when asked to leave.
class BugShowViewerTest : public BugShowTest, public testing::WithParamInterface<int> {};

TEST_P(BugShowViewerTest, ShowsEveryRecordOrCountsItDropped)
{
  std::string out = TestScratchDir("bugshow_viewer") + "\\shown.txt";
  ResetRing(BS_RING_SIZE - 3000);
  constexpr int kPosters = 6, kLines = 1000;
  std::future<DWORD> viewer = StartProgram(kViewer + out + " -lag " + std::to_string(GetParam()), 180000);
  Gate gate("DravBsGate_Viewer");
  std::vector<std::future<DWORD>> posters;
  for (char c = 'A'; c < 'A' + kPosters; ++c)
    posters.push_back(StartProgram(std::string("drav_child.exe bspost 1000 V") + c + " DravBsGate_Viewer" + (GetParam() ? "" : " yield")));
  ASSERT_TRUE(gate.AwaitReady(kPosters));
  gate.Open();
  for (auto& poster : posters) EXPECT_EQ(poster.get(), 0u);
  p->bShutdown = 1;   // it drains before it leaves
  SetEvent(g_hBsEvent);
  EXPECT_EQ(viewer.get(), 0u);
  EXPECT_EQ(p->ulTail, p->ulHead);
  std::regex shown(R"(\[\d+\] #(\d+) ([tw]) (V[A-F]) line (\d{5}) ([a-z]*))");
  std::map<std::string, std::pair<int, uint32_t>> last;   // by poster: line and sequence
  int nShown = 0, bEnd = 0;
  for (const std::string& line : FileLines(out)) {
    if (line.rfind("***", 0) == 0) {
      EXPECT_TRUE(line.find("lines shown") == std::string::npos || line.find(", 0 bad records") != std::string::npos) << line;
      bEnd |= line.find("shut down on request") != std::string::npos;
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shown)) << line;
    int idx = std::stoi(m[4]);
    EXPECT_EQ(line.substr(m.position(3)) + "\n", ChildBsLine(m[3], idx));
    EXPECT_EQ(m[2] == "w", idx % 3 == 0);
    auto& [lastIdx, lastSeq] = last.try_emplace(m[3], -1, 0).first->second;
    EXPECT_TRUE(idx > lastIdx && std::stoul(m[1]) > lastSeq) << line;
    std::tie(lastIdx, lastSeq) = std::make_pair(idx, (uint32_t)std::stoul(m[1]));
    ++nShown;
  }
  EXPECT_TRUE(bEnd && p->ulDroppedErrors == 0);
  uint32_t dropped = p->ulDroppedInfo + p->ulDroppedWarnings;
  // A starved poster may run out of attempts (by design): its later lines are neither shown nor counted.
  EXPECT_TRUE(nShown + (int)dropped == kPosters * kLines || (p->bDisabled && nShown + (int)dropped < kPosters * kLines))
      << "shown " << nShown << " dropped " << dropped;
  EXPECT_TRUE(p->bDisabled || (nShown > 0 && (GetParam() == 0 || dropped > 0)));   // the slow reader made them drop
}

INSTANTIATE_TEST_SUITE_P(Lag, BugShowViewerTest, testing::Values(0, 2));

// Cases that wait out real bounds: the viewer's patience, the attempt bound, the event's close.
class SlowBugShowTest : public BugShowTest {};

// The viewer meets garbage: it reports it, mends the ring and never crashes.
TEST_F(SlowBugShowTest, ViewerSurvivesACorruptRegion)
{
  std::string dir = TestScratchDir("bugshow_corrupt");
  // A good record, one whose check byte fails, one good again, then garbage.
  BsPostLine(TRACE_CAT_INFO, "first good\n");
  uint32_t ulBad = p->ulHead;
  BsPostLine(TRACE_CAT_INFO, "bad check\n");
  p->ucRing[ulBad + 18 + 11] ^= 0x5A;   // its check byte
  BsPostLine(TRACE_CAT_INFO, "second good\n");
  uint32_t ulGarbage = p->ulHead;
  for (uint32_t i = 0; i < 400; ++i) p->ucRing[ulGarbage + i] = (uint8_t)(i * 97 + 13);
  std::tie(p->ucRing[ulGarbage], p->ucRing[ulGarbage + 1]) = std::make_tuple(200, 't');   // longer than what was written
  p->ulHead = ulGarbage + 60;
  std::string viewer = "VantBshw.exe MEM:Local\\VantBugShow -stay -o " + dir;
  EXPECT_EQ(TestRunProgram(viewer + "\\one.txt -t 4000", 20000), 3u);
  std::string text = TestReadFile(dir + "\\one.txt");
  for (const char* s : {" t first good\r\n", " t second good\r\n", "fails its check byte", "corrupt record at"})
    EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
  EXPECT_EQ(text.find("bad check\r\n"), std::string::npos) << text;
  EXPECT_EQ(p->ulTail, p->ulHead);

  // Positions outside the ring: put back, and posting works again.
  std::tie(p->ulHead, p->ulTail) = std::make_tuple(5000000, 77);
  EXPECT_EQ(TestRunProgram(viewer + "\\two.txt -t 1000", 20000), 3u);
  EXPECT_NE(TestReadFile(dir + "\\two.txt").find("ring positions corrupt (head 5000000, tail 77)"), std::string::npos);
  EXPECT_EQ(p->ulTail, p->ulHead);
  BsPostLine(TRACE_CAT_INFO, "after repair\n");
  EXPECT_EQ(Texts().size(), 1u);

  // A region of another layout is refused, and so is a command line without one.
  p->ulRegionSize = 77;
  EXPECT_EQ(TestRunProgram(kViewer + dir + "\\three.txt", 20000), 2u);
  EXPECT_EQ(TestRunProgram("VantBshw.exe NOTMEM", 20000), 1u);
}

// Switched off, a region of another layout, positions no sound ring can have, or a full ring whose tail
// record has an impossible length: the line is given up (said once), nothing is written, and posting resumes
// once the region is sound again. A tail record unfinished (its writer died) or of no type is waited on in
// 30 ms steps until the attempt bound switches posting off. A new process retries (and says so) each line.
TEST_F(SlowBugShowTest, LinesNotPostedLeaveTheRegionAsItWas)
{
  TraceCapture capture;
  const uint32_t R = BS_REGION_SIZE;   // head, tail, tail record's length and type, off (bit 0 before, 1 after), region size:
  const std::tuple<uint32_t, uint32_t, uint8_t, char, uint32_t, uint32_t> cases[] = {
      {0, 0, 0, 't', 3, R}, {0, 0, 0, 't', 0, 0x12345}, {200000, 0, 0, 't', 0, R}, {0, 102400, 0, 't', 0, R},
      {100, 101, 0, 't', 0, R}, {0xFFFFFFF0, 0xFFFFFFF0, 0, 't', 0, R}, {990, 1000, 251, 't', 0, R},
      {990, 1000, 255, 't', 0, R}, {990, 1000, 0, 't', 2, R}, {990, 1000, 40, '?', 2, R}};
  for (const auto& c : cases) {
    ResetRing();
    uint32_t ulOff;
    std::tie(p->ulHead, p->ulTail, p->ucRing[1000], p->ucRing[1001], ulOff, p->ulRegionSize) = c;
    p->bDisabled = ulOff & 1;
    std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
    BsPostLine(TRACE_CAT_INFO, "lost\n");
    if (p->ulRegionSize != R) {
      EXPECT_EQ(TestRunProgram("drav_child.exe error 3 -") >> 4, 3u);
    }
    EXPECT_EQ(std::exchange(p->bDisabled, ulOff & 1), ulOff >> 1) << std::get<0>(c) << "/" << std::get<1>(c);
    EXPECT_EQ(memcmp(before.data(), p, BS_REGION_SIZE), 0) << std::get<0>(c) << "/" << std::get<1>(c);
  }
  EXPECT_EQ(capture.Count("line not posted"), 1u);
  EXPECT_TRUE(capture.Contains("<error> BsReportCorruption - ring of Local\\VantBugShow is corrupt (head 200000, tail 0)"));
  ResetRing();
  BsPostLine(TRACE_CAT_INFO, "sound again\n");
  EXPECT_EQ(Texts(), std::vector<std::string>{"sound again\n"});
}

// A poster that never leaves the event signal does not hold up closing the event at unload.
TEST_F(SlowBugShowTest, ClosingTheEventIsBoundedWhenAPosterNeverLeaves)
{
  Gate stuck("DravBsGate_Stuck");
  BsSetTestHook([](BsTestPointId point, void* pGate) {   // stands at the gate inside the signal
    if (point != BS_POINT_SIGNAL) return;
    ReleaseSemaphore(static_cast<Gate*>(pGate)->hReady, 1, nullptr);
    WaitForSingleObject(static_cast<Gate*>(pGate)->hGo, 30000);
  }, &stuck);
  auto poster = std::async(std::launch::async, [] { BsPostLine(TRACE_CAT_INFO, "stuck in the signal\n"); });
  ASSERT_TRUE(stuck.AwaitReady(1));
  auto closer = std::async(std::launch::async, [] { TraceStop(); });
  EXPECT_EQ(closer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(g_hBsEvent, nullptr);
  stuck.Open();
}
