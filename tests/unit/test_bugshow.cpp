// Debug viewer channel: posting, dropping, process slots, foreign or corrupt
// regions, starting the viewer, and the viewer program. The region outlives
// a case: each takes it over (viewer stopped, ring and flags reset) and gives
// the process slots back after.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <thread>

#include "diag/BsRing.h"
#include "diag/Trace.h"
#include "tests/unit/DiagTestSupport.h"

namespace {

const char kVantorixKey[] = "SOFTWARE\\Vantorix";
const char kDravKey[] = "Software\\Vantorix\\DRAV";
const std::string kViewer = "VantBshw.exe MEM:Local\\VantBugShow -t 60000 -o ";

uint32_t Load(const uint32_t& v) { return *reinterpret_cast<const volatile uint32_t*>(&v); }

void SignalChannelEvent()
{
  HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Local\\VantBugShow_EVENT");
  SetEvent(h);
  CloseHandle(h);
}

struct ReadBack {
  uint32_t ulPos;
  BsRecord rec;
};

// The records from tail to head, up to the first that is not sound.
std::vector<ReadBack> ReadRing(BsSharedData* p, BsRecordStatus* pStatus = nullptr)
{
  std::vector<ReadBack> out;
  BsRecordStatus status = BS_RECORD_OK;
  for (uint32_t ulPos = p->ulTail; ulPos != p->ulHead; ulPos = BsRingAdvance(ulPos, BsRingRecordSize(out.back().rec.ulLength))) {
    out.push_back({ulPos, {}});
    status = BsRingReadRecord(p->ucRing, ulPos, BsRingUsed(p->ulHead, ulPos), &out.back().rec);
    if (status != BS_RECORD_OK) {
      out.pop_back();
      break;
    }
  }
  if (pStatus != nullptr) *pStatus = status;
  return out;
}

class BugShowTest : public testing::Test {
protected:
  void SetUp() override
  {
    OpenChannelQuietly();
    p = static_cast<BsSharedData*>(g_pBsData);
    ASSERT_NE(p, nullptr);
    // This process's own trace lines stay out of the ring while a case runs.
    m_dwSavedFlags = std::exchange(g_dwBsFlags, 0);
    memcpy(m_ulSavedPids, p->ulPid, sizeof m_ulSavedPids);
    StopViewer();
    ResetRing(0);
  }
  void TearDown() override
  {
    BsSetTestHook(nullptr, nullptr);
    if (p == nullptr) return;
    StopViewer();
    ResetRing(0);
    memcpy(p->ulPid, m_ulSavedPids, sizeof m_ulSavedPids);
    p->ulRegionSize = BS_REGION_SIZE;
    g_dwBsFlags = m_dwSavedFlags;
    TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  }
  // Bounded poll: the viewer says it runs through the region only.
  bool ViewerClaimed()
  {
    for (DWORD dwStart = GetTickCount(); GetTickCount() - dwStart < 15000; Sleep(20)) {
      if (Load(p->bViewerRunning) == 1 && Load(p->ulViewerWord) != 0) return true;
    }
    return false;
  }
  // A viewer of an earlier case (or started by another suite's error line)
  // would take our records: asked to leave, and waited for.
  void StopViewer()
  {
    HANDLE hViewer = p->bViewerRunning ? OpenProcess(SYNCHRONIZE, FALSE, p->ulViewerWord) : nullptr;
    p->bShutdown = 1;
    SignalChannelEvent();
    if (hViewer != nullptr) {
      EXPECT_EQ(WaitForSingleObject(hViewer, 10000), WAIT_OBJECT_0);
      CloseHandle(hViewer);
    }
  }
  void ResetRing(uint32_t ulPos)
  {
    memset(p->ucRing, 0, sizeof p->ucRing);
    p->ulHead = p->ulTail = ulPos;
    p->ulDroppedInfo = p->ulDroppedWarnings = p->ulDroppedErrors = 0;
    p->bDisabled = p->bViewerRunning = p->bBsPresent = p->bShutdown = p->ulViewerWord = 0;
  }
  BsSharedData* p = nullptr;
  DWORD m_dwSavedFlags = 0;
  uint32_t m_ulSavedPids[BS_PID_SLOTS] = {};
};

// Between a poster's read of the head and its read of the tail, another poster
// posts one record and the viewer takes everything.
void InterloperHook(BsTestPointId point, void* pContext)
{
  auto* pCalls = static_cast<int*>(pContext);
  if (point == BS_POINT_HEAD_READ && (*pCalls)++ == 0) {
    BsPostLine(TRACE_CAT_INFO, std::string(80, 'o').c_str());
    auto* p = static_cast<BsSharedData*>(g_pBsData);
    p->ulTail = p->ulHead;
  }
}

// A poster that never leaves the event signal (killed there at process exit).
struct StuckPoster {
  HANDLE hInside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~StuckPoster()
  {
    CloseHandle(hInside);
    CloseHandle(hRelease);
  }
};
void StuckInSignal(BsTestPointId point, void* pContext)
{
  auto* pStuck = static_cast<StuckPoster*>(pContext);
  if (point == BS_POINT_SIGNAL) {
    SetEvent(pStuck->hInside);
    WaitForSingleObject(pStuck->hRelease, 30000);
  }
}

}  // namespace

TEST_F(BugShowTest, RecordsAsLaidOutThroughTheWriterAndDirectly)
{
  EXPECT_EQ(std::count(m_ulSavedPids, m_ulSavedPids + BS_PID_SLOTS, GetCurrentProcessId()), 1);
  HANDLE hEvent = OpenEventA(SYNCHRONIZE, FALSE, "Local\\VantBugShow_EVENT");
  ASSERT_NE(hEvent, nullptr);
  WaitForSingleObject(hEvent, 0);   // auto-reset: take any earlier signal
  uint32_t ulSeq = p->ulSequence;
  BsPostLine(TRACE_CAT_ERROR, std::string(300, 'q').c_str());
  EXPECT_EQ(p->ulHead, 269u);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(hEvent);
  EXPECT_EQ(p->ucRing[0], 250u);
  EXPECT_EQ(p->ucRing[18 + 249], 0u);   // the 250th text byte is forced to 0
  BsPostLine(TRACE_CAT_WARNING, "a warning\n");
  BsPostLine(TRACE_CAT_INFO, "");
  g_dwBsFlags = 0x400;   // other lines only, no viewer start
  TRACE_INFO("posted through the writer %d", 7);
  TRACE_ERROR("not posted: errors are off");
  g_dwBsFlags = 0;
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(std::string(recs[0].rec.sText), std::string(249, 'q'));
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  EXPECT_GT(recs[0].rec.ullStamp, 0u);
  EXPECT_LE(recs[0].rec.ullStamp, (uint64_t)now.QuadPart);
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].rec.cType, "ewtt"[i]) << i;
    EXPECT_EQ(recs[i].rec.ulPid, GetCurrentProcessId());
    EXPECT_EQ(recs[i].rec.ulSequence, ulSeq + 1 + i);
  }
  EXPECT_EQ(std::string(recs[1].rec.sText), "a warning\n");
  EXPECT_EQ(recs[2].rec.ulLength, 1u);
  EXPECT_NE(std::string(recs[3].rec.sText).find("TestBody - posted through the writer 7\n"), std::string::npos);
}

// The ring filled from just before its end and on past capacity: the oldest
// records go, counted by type, and what is left (some straddling the end) reads back intact.
TEST_F(BugShowTest, WrappedRingReadsBackIntactAndDropsByType)
{
  ResetRing(BS_RING_SIZE - 500);
  std::vector<std::string> posted;
  auto size = [&](size_t i) { return BsRingRecordSize(BsRingTextLength(posted[i].size())); };
  uint32_t used = 0, expected[3] = {};   // by type: t, w, e
  size_t oldest = 0;
  for (size_t i = 0; oldest < 20; ++i) {   // each line drops just enough of the oldest records for itself
    posted.push_back(ChildBsLine("W", (int)i));
    for (; (int32_t)(BS_RING_SIZE - BS_RING_SPARE - used) <= (int32_t)size(i); used -= size(oldest++)) {
      expected[oldest % 3]++;
    }
    BsPostLine(i % 3 == 2 ? TRACE_CAT_ERROR : i % 3 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, posted.back().c_str());
    used += size(i);
  }
  EXPECT_EQ(p->ulDroppedInfo, expected[0]);
  EXPECT_EQ(p->ulDroppedWarnings, expected[1]);
  EXPECT_EQ(p->ulDroppedErrors, expected[2]);
  EXPECT_GT(expected[0] * expected[1] * expected[2], 0u);
  EXPECT_EQ(BsRingUsed(p->ulHead, p->ulTail), used);
  BsRecordStatus status;
  auto recs = ReadRing(p, &status);
  EXPECT_EQ(status, BS_RECORD_OK);
  ASSERT_EQ(recs.size(), posted.size() - oldest);
  bool bStraddled = false;
  for (size_t k = 0; k < recs.size(); ++k) {
    EXPECT_EQ(std::string(recs[k].rec.sText), posted[oldest + k]) << k;
    EXPECT_EQ(recs[k].rec.cType, "twe"[(oldest + k) % 3]);
    EXPECT_EQ(recs[k].rec.ulPid, GetCurrentProcessId());
    bStraddled |= recs[k].ulPos + BsRingRecordSize(recs[k].rec.ulLength) > BS_RING_SIZE;
  }
  EXPECT_TRUE(bStraddled);
}

TEST_F(BugShowTest, AHeadReadBeforeOthersMovedIsReadAgain)
{
  // Records of 100 bytes, a ring's size over again: every byte ahead of the
  // head is a published old record.
  for (int i = 0; i < 2100; ++i) BsPostLine(TRACE_CAT_INFO, std::string(80, 'a' + i % 26).c_str());
  p->ulDroppedInfo = 0;
  int nCalls = 0;
  BsSetTestHook(&InterloperHook, &nCalls);
  BsPostLine(TRACE_CAT_WARNING, std::string(80, 'w').c_str());
  BsSetTestHook(nullptr, nullptr);
  // The other poster dropped one record; the viewer took its line; ours alone is left.
  EXPECT_EQ(p->ulDroppedInfo, 1u);
  EXPECT_EQ(BsRingUsed(p->ulHead, p->ulTail), 100u);
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].rec.cType, 'w');
}

// Four slots taken: the child takes the fifth, quietly. All ten taken: it
// warns and overwrites the tenth.
TEST_F(BugShowTest, EleventhProcessClobbersTheLastSlot)
{
  for (uint32_t nTaken : {4u, BS_PID_SLOTS}) {
    memset(p->ulPid, 0, sizeof p->ulPid);
    for (uint32_t i = 0; i < nTaken; ++i) p->ulPid[i] = 0x7FFF0001 + i;
    EXPECT_EQ(TestRunProgram("drav_child.exe bsslot"), nTaken == 4 ? 5u : 0x100u | 10u);
  }
  for (uint32_t i = 0; i < BS_PID_SLOTS - 1; ++i) EXPECT_EQ(p->ulPid[i], 0x7FFF0001 + i);
  EXPECT_NE(p->ulPid[9], 0x7FFF000Au);
  EXPECT_NE(p->ulPid[9], 0u);
}

// Each line tries again, and says again that it failed. A region of another
// layout: a new process fails to open it on each of its three lines.
TEST_F(BugShowTest, ChannelFailuresAreSaidOnEveryAttempt)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, "Local\\DravBsTestNoEvent_EVENT");   // the name, taken
  TraceCapture capture;
  EXPECT_FALSE(BsCreateEvent("Local\\DravBsTestNoEvent"));
  EXPECT_FALSE(BsCreateEvent("Local\\DravBsTestNoEvent"));
  EXPECT_EQ(capture.Count("<error> BsCreateEvent - could not create BugShow event Local\\DravBsTestNoEvent_EVENT"), 2u);
  CloseHandle(hMutex);
  p->ulRegionSize = 0x12345;
  EXPECT_EQ(TestRunProgram("drav_child.exe bsfail 3"), 3u);
  EXPECT_EQ(p->ulHead, 0u);
  p->ulRegionSize = BS_REGION_SIZE;
  EXPECT_EQ(TestRunProgram("drav_child.exe bspost 5 HOME"), 0u);
  EXPECT_EQ(ReadRing(p).size(), 5u);
}

// Switched off, a region of another layout, positions no sound ring can have,
// or a full ring whose tail record has a length no record can have: the line
// is given up, nothing is written, the thread goes on, and posting resumes
// once the region is sound again.
TEST_F(BugShowTest, LinesNotPostedLeaveTheRegionAsItWas)
{
  TraceCapture capture;
  struct {
    uint32_t head, tail;
    uint8_t ucTailLength = 0;
    uint32_t bDisabled = 0, ulRegionSize = BS_REGION_SIZE;
  } cases[] = {{0, 0, 0, 1}, {0, 0, 0, 0, 0x12345}, {200000, 0}, {0, 102400}, {100, 101}, {0xFFFFFFF0, 0xFFFFFFF0},
               {990, 1000, 251}, {990, 1000, 255}};
  for (const auto& c : cases) {
    ResetRing(0);
    p->ulHead = c.head;
    p->ulTail = c.tail;
    p->ucRing[1000] = c.ucTailLength;
    p->ucRing[1001] = 't';
    p->bDisabled = c.bDisabled;
    p->ulRegionSize = c.ulRegionSize;
    std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
    BsPostLine(TRACE_CAT_INFO, "lost\n");
    EXPECT_EQ(memcmp(before.data(), p, BS_REGION_SIZE), 0) << c.head << "/" << c.tail << "/" << c.ulRegionSize;
  }
  EXPECT_EQ(capture.Count("is corrupt (head 200000, tail 0): line not posted"), 1u);   // said once
  ResetRing(0);
  p->ulRegionSize = BS_REGION_SIZE;
  BsPostLine(TRACE_CAT_INFO, "sound again\n");
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(recs[0].rec.sText), "sound again\n");
}

// Statistics; a viewer being started gets 10 ms before every line; shutdown.
TEST_F(BugShowTest, StatisticsPausesAndShutdown)
{
  p->bDisabled = 1;
  p->ulViewerWord = 0xABCD;
  p->ulDroppedErrors = 3;
  p->ulDroppedWarnings = 4;
  p->ulDroppedInfo = 100;
  DWORD a = 0, b = 0, c = 0;
  ASSERT_TRUE(BsGetStatistics(&a, &b, &c));
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 0xABCDu);
  EXPECT_EQ(c, 7u);   // errors and warnings only
  ResetRing(0);
  p->bBsPresent = 1;
  LARGE_INTEGER freq, start, end;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < 5; ++i) BsPostLine(TRACE_CAT_INFO, "while the viewer starts\n");
  QueryPerformanceCounter(&end);
  EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart, 45);
  EXPECT_EQ(ReadRing(p).size(), 5u);
  TraceCapture capture;
  ASSERT_TRUE(BsShutdownServer());
  EXPECT_EQ(p->bShutdown, 1u);
  EXPECT_EQ(g_hBsEvent, nullptr);
  EXPECT_TRUE(capture.Contains("About to shut down the server."));
  OpenChannelQuietly();   // the next line sets the event up again
  EXPECT_NE(g_hBsEvent, nullptr);
}

// The first error line of a process starts the viewer: found through "Path",
// or beside the module that holds the code; a failed start gives the claim
// back; two processes at once start it once.
TEST_F(BugShowTest, ViewerStartedOnceFromPathOrBesideTheModule)
{
  TestRegDelete(HKEY_CURRENT_USER, kVantorixKey, "BsDrav");   // default 0x710: an error line starts it
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", TestScratchDir("bugshow_noviewer").c_str());
  EXPECT_EQ(TestRunProgram("drav_child.exe bserror -"), 1u);
  EXPECT_EQ(p->bBsPresent, 0u);
  EXPECT_EQ(p->bViewerRunning, 0u);
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  EXPECT_EQ(TestRunProgram("drav_child.exe bserror -"), 1u);
  ASSERT_TRUE(ViewerClaimed());
  StopViewer();
  ResetRing(0);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", TestBinDir().c_str());
  Gate gate("DravBsGate_Start");
  Started a, b;
  StartProgram(&a, "drav_child.exe bserror DravBsGate_Start");
  StartProgram(&b, "drav_child.exe bserror DravBsGate_Start");
  ASSERT_TRUE(gate.AwaitReady(2));
  gate.Open();
  DWORD ra = a.Wait(), rb = b.Wait();
  EXPECT_EQ(ra + rb, 1u);   // exactly one launched
  EXPECT_LE(ra, 1u);
  EXPECT_EQ(p->bBsPresent, 1u);
  ASSERT_TRUE(ViewerClaimed());
  StopViewer();
  EXPECT_EQ(p->ulTail, p->ulHead);   // it took the children's lines
  EXPECT_EQ(p->bViewerRunning, 0u);
  EXPECT_EQ(p->bBsPresent, 0u);      // a later error line may start it again
}

// Six processes post at once while the viewer drains: the tail never passes
// the head, every line shown is intact and in order per process, and what
// was not shown was counted as dropped. With a quick viewer the posters yield
// between their reads of head and tail; a slow one makes them drop, and still
// has lines to show when it is asked to leave.
class BugShowViewerTest : public BugShowTest, public testing::WithParamInterface<int> {};

TEST_P(BugShowViewerTest, ShowsEveryRecordOrCountsItDropped)
{
  std::string out = TestScratchDir("bugshow_viewer") + "\\shown.txt";
  ResetRing(BS_RING_SIZE - 3000);
  Started viewer;
  StartProgram(&viewer, kViewer + out + " -lag " + std::to_string(GetParam()));
  Gate gate("DravBsGate_Viewer");
  constexpr int kPosters = 6, kLines = 1000;
  Started posters[kPosters];
  for (int i = 0; i < kPosters; ++i) {
    StartProgram(&posters[i], "drav_child.exe bspost 1000 V" + std::string(1, char('A' + i)) + " DravBsGate_Viewer" +
                                (GetParam() == 0 ? " yield" : ""));
  }
  ASSERT_TRUE(gate.AwaitReady(kPosters));
  gate.Open();
  for (Started& poster : posters) EXPECT_EQ(poster.Wait(), 0u);
  p->bShutdown = 1;   // it drains before it leaves
  SignalChannelEvent();
  EXPECT_EQ(viewer.Wait(30000), 0u);
  EXPECT_EQ(p->ulTail, p->ulHead);

  std::regex shown(R"(\[\d+\] #(\d+) ([tw]) (V[A-F]) line (\d{5}) ([a-z]*))");
  std::map<std::string, int> last;
  std::map<std::string, uint32_t> lastSeq;
  int nShown = 0;
  bool bEnd = false;
  for (const std::string& line : FileLines(out)) {
    if (line.rfind("***", 0) == 0) {
      EXPECT_TRUE(line.find("lines shown") == std::string::npos || line.find(", 0 bad records") != std::string::npos) << line;
      bEnd |= line.find("shut down on request") != std::string::npos;
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shown)) << line;
    std::string tag = m[3];
    int idx = std::stoi(m[4]);
    EXPECT_EQ(line.substr(line.find(tag)) + "\n", ChildBsLine(tag, idx));
    EXPECT_EQ(m[2] == "w", idx % 3 == 0);
    EXPECT_GT(idx, last.count(tag) ? last[tag] : -1) << line;
    last[tag] = idx;
    uint32_t seq = (uint32_t)std::stoul(m[1]);
    EXPECT_GT(seq, lastSeq[tag]);
    lastSeq[tag] = seq;
    ++nShown;
  }
  EXPECT_TRUE(bEnd);
  uint32_t dropped = p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors;
  EXPECT_EQ(p->ulDroppedErrors, 0u);
  std::printf("[ figures  ] viewer showed %d lines, %u dropped%s\n", nShown, dropped,
              p->bDisabled ? "; posting was switched off by the attempt bound" : "");
  if (p->bDisabled) {
    // A starved poster ran out of attempts (by design): the lines after that
    // were neither shown nor counted, but what was shown is whole and in order.
    EXPECT_LE(nShown + (int)dropped, kPosters * kLines);
    return;
  }
  EXPECT_EQ(nShown + (int)dropped, kPosters * kLines) << "shown " << nShown << " dropped " << dropped;
  EXPECT_GT(nShown, 0);
  EXPECT_TRUE(GetParam() == 0 || dropped > 0);   // the slow reader really made them drop
}

INSTANTIATE_TEST_SUITE_P(Lag, BugShowViewerTest, testing::Values(0, 2));

// Cases that wait out real bounds (the viewer's one-second patience with an
// unreadable record, the posting side's attempt bound, the event's close).
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
  p->ucRing[ulGarbage] = 200;   // claims a record longer than what was written
  p->ucRing[ulGarbage + 1] = 't';
  p->ulHead = ulGarbage + 60;
  std::string viewer = "VantBshw.exe MEM:Local\\VantBugShow -stay -o " + dir;
  EXPECT_EQ(TestRunProgram(viewer + "\\one.txt -t 4000", 20000), 3u);
  std::string text = TestReadFile(dir + "\\one.txt");
  for (const char* s : {" t first good\r\n", " t second good\r\n", "fails its check byte", "corrupt record at"}) {
    EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
  }
  EXPECT_EQ(text.find("bad check\r\n"), std::string::npos) << text;
  EXPECT_EQ(p->ulTail, p->ulHead);

  // Positions outside the ring: put back, and posting works again.
  p->ulHead = 5000000;
  p->ulTail = 77;
  EXPECT_EQ(TestRunProgram(viewer + "\\two.txt -t 1000", 20000), 3u);
  EXPECT_NE(TestReadFile(dir + "\\two.txt").find("ring positions corrupt (head 5000000, tail 77)"), std::string::npos);
  EXPECT_EQ(p->ulTail, p->ulHead);
  BsPostLine(TRACE_CAT_INFO, "after repair\n");
  EXPECT_EQ(ReadRing(p).size(), 1u);

  // A region of another layout is refused, and so is a command line without one.
  p->ulRegionSize = 77;
  EXPECT_EQ(TestRunProgram(kViewer + dir + "\\three.txt", 20000), 2u);
  p->ulRegionSize = BS_REGION_SIZE;
  EXPECT_EQ(TestRunProgram("VantBshw.exe NOTMEM", 20000), 1u);
}

// A full ring whose tail record never got its length byte (a writer that died
// between reserving and publishing), or has no record type: posters wait on it
// in 30 ms steps; the attempt bound then switches posting off instead of spinning.
TEST_F(SlowBugShowTest, UnreadableTailRecordSwitchesPostingOff)
{
  for (uint8_t ucLength : {0, 40}) {
    ResetRing(0);
    p->ulTail = 1000;
    p->ulHead = 990;
    p->ucRing[1000] = ucLength;
    p->ucRing[1001] = ucLength ? '?' : 't';
    DWORD dwStart = GetTickCount();
    BsPostLine(TRACE_CAT_INFO, "waits, then gives up\n");
    std::printf("[ figures  ] length %u: gave up after %lu ms\n", ucLength, (unsigned long)(GetTickCount() - dwStart));
    EXPECT_EQ(p->bDisabled, 1u) << ucLength;
    EXPECT_EQ(p->ulHead, 990u);
    EXPECT_EQ(p->ulTail, 1000u);
    BsPostLine(TRACE_CAT_INFO, "returns at once\n");
    EXPECT_EQ(p->ulHead, 990u);
  }
}

// A poster that never leaves the event signal does not hold up closing the event at unload.
TEST_F(SlowBugShowTest, ClosingTheEventIsBoundedWhenAPosterNeverLeaves)
{
  StuckPoster stuck;
  BsSetTestHook(&StuckInSignal, &stuck);
  std::thread poster([] { BsPostLine(TRACE_CAT_INFO, "stuck in the signal\n"); });
  ASSERT_EQ(WaitForSingleObject(stuck.hInside, 10000), WAIT_OBJECT_0);
  BsSetTestHook(nullptr, nullptr);
  HANDLE hClosed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD dwStart = GetTickCount();
  std::thread closer([&] {
    TraceStop();
    SetEvent(hClosed);
  });
  EXPECT_EQ(WaitForSingleObject(hClosed, 10000), WAIT_OBJECT_0);
  std::printf("[ figures  ] closed after %lu ms\n", (unsigned long)(GetTickCount() - dwStart));
  EXPECT_EQ(g_hBsEvent, nullptr);
  SetEvent(stuck.hRelease);
  poster.join();
  closer.join();
  CloseHandle(hClosed);
}
