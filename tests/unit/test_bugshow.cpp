// Debug viewer channel: posting into the shared ring, dropping when full, the
// process slots, refusal of foreign or corrupt regions, starting the viewer once,
// and the viewer program itself.
//
// The region lives as long as any process maps it, so every case first takes it
// over through the mapped view: it stops a running viewer and sets the ring,
// counters and flags to a known state, and gives back the process slots after.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/BsRing.h"
#include "diag/BugShow.h"
#include "diag/Trace.h"
#include "diag/TraceInternal.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kVantorixKey[] = "SOFTWARE\\Vantorix";
const char kDravKey[] = "Software\\Vantorix\\DRAV";

// The text drav_child's bspost mode posts as line i.
std::string ChildBsLine(const std::string& sTag, int i)
{
  char sHead[64];
  snprintf(sHead, sizeof sHead, "%s line %05d ", sTag.c_str(), i);
  return std::string(sHead) + std::string((size_t)(i * 37 % 180), (char)('a' + i % 26)) + "\n";
}

uint32_t Load(const uint32_t& v)
{
  return *reinterpret_cast<const volatile uint32_t*>(&v);
}

// A registry value as it stood, put back afterwards.
class SavedValue {
public:
  SavedValue(HKEY hRoot, const char* sKey, const char* sName) : m_hRoot(hRoot), m_sKey(sKey), m_sName(sName)
  {
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, sKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
      BYTE data[1024];
      DWORD cb = sizeof data;
      if (RegQueryValueExA(hKey, sName, nullptr, &m_dwType, data, &cb) == ERROR_SUCCESS) {
        m_bPresent = true;
        m_data.assign(data, data + cb);
      }
      RegCloseKey(hKey);
    }
  }
  ~SavedValue()
  {
    if (!m_bPresent) {
      TestRegDelete(m_hRoot, m_sKey, m_sName);
      return;
    }
    HKEY hKey;
    if (RegCreateKeyExA(m_hRoot, m_sKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
      RegSetValueExA(hKey, m_sName, 0, m_dwType, m_data.data(), (DWORD)m_data.size());
      RegCloseKey(hKey);
    }
  }

private:
  HKEY m_hRoot;
  const char* m_sKey;
  const char* m_sName;
  bool m_bPresent = false;
  DWORD m_dwType = 0;
  std::vector<BYTE> m_data;
};

// A program of bin/ started without waiting for it.
struct Started {
  HANDLE hProcess = nullptr;
  DWORD Wait(DWORD dwTimeoutMs = 60000)
  {
    DWORD dwCode = 0xFFFFFFFE;
    if (hProcess == nullptr) {
      return 0xFFFFFFFF;
    }
    if (WaitForSingleObject(hProcess, dwTimeoutMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(hProcess, &dwCode);
    } else {
      TerminateProcess(hProcess, 0xFFFFFFFD);
      WaitForSingleObject(hProcess, 5000);
    }
    CloseHandle(hProcess);
    hProcess = nullptr;
    return dwCode;
  }
  ~Started() { Wait(1); }
};

Started StartProgram(const std::string& sCommandLine)
{
  std::string sCmd = TestBinDir() + "\\" + sCommandLine;
  std::vector<char> buf(sCmd.begin(), sCmd.end());
  buf.push_back('\0');
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  Started s;
  if (CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, TestBinDir().c_str(), &si, &pi)) {
    CloseHandle(pi.hThread);
    s.hProcess = pi.hProcess;
  }
  return s;
}

bool WaitUntil(const std::function<bool()>& done, DWORD dwTimeoutMs)
{
  DWORD dwStart = GetTickCount();
  while (!done()) {
    if (GetTickCount() - dwStart > dwTimeoutMs) {
      return false;
    }
    Sleep(20);
  }
  return true;
}

void SignalChannelEvent()
{
  HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Local\\VantBugShow_EVENT");
  if (h != nullptr) {
    SetEvent(h);
    CloseHandle(h);
  }
}

// One record read back from the ring, in ring order.
struct ReadBack {
  uint32_t ulPos;
  BsRecord rec;
};

// Reads the records from tail to head, stopping at the first that is not sound.
std::vector<ReadBack> ReadRing(BsSharedData* p, BsRecordStatus* pStatus = nullptr)
{
  std::vector<ReadBack> out;
  uint32_t ulPos = p->ulTail;
  BsRecordStatus status = BS_RECORD_OK;
  while (ulPos != p->ulHead) {
    ReadBack rb;
    rb.ulPos = ulPos;
    status = BsRingReadRecord(p->ucRing, ulPos, BsRingUsed(p->ulHead, ulPos), &rb.rec);
    if (status != BS_RECORD_OK) {
      break;
    }
    out.push_back(rb);
    ulPos = BsRingAdvance(ulPos, BsRingRecordSize(rb.rec.ulLength));
  }
  if (pStatus != nullptr) {
    *pStatus = status;
  }
  return out;
}

class BugShowTest : public testing::Test {
protected:
  void SetUp() override
  {
    // Open the channel as the trace writer does, without posting our own lines.
    TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
    pSlot->ulNesting++;
    BsInitializeClient();
    pSlot->ulNesting--;
    p = static_cast<BsSharedData*>(g_pBsData);
    ASSERT_NE(p, nullptr);
    // This process's own trace lines stay out of the ring while a case runs.
    m_dwSavedFlags = g_dwBsFlags;
    g_dwBsFlags = 0;
    memcpy(m_ulSavedPids, p->ulPid, sizeof m_ulSavedPids);
    StopViewer();
    ResetRing(0);
  }

  void TearDown() override
  {
    if (p == nullptr) {
      return;
    }
    StopViewer();
    ResetRing(0);
    memcpy(p->ulPid, m_ulSavedPids, sizeof m_ulSavedPids);
    p->ulRegionSize = BS_REGION_SIZE;
    g_dwBsFlags = m_dwSavedFlags;
  }

  // A viewer from an earlier case (or started by another suite's error line)
  // would take our records.
  void StopViewer()
  {
    if (p->bViewerRunning) {
      p->bShutdown = 1;
      SignalChannelEvent();
      WaitUntil([&] { return Load(p->bViewerRunning) == 0; }, 10000);
    }
    p->bViewerRunning = 0;
    p->bBsPresent = 0;
    p->bShutdown = 0;
  }

  void ResetRing(uint32_t ulPos)
  {
    memset(p->ucRing, 0, sizeof p->ucRing);
    p->ulHead = ulPos;
    p->ulTail = ulPos;
    p->ulDroppedInfo = 0;
    p->ulDroppedWarnings = 0;
    p->ulDroppedErrors = 0;
    p->bDisabled = 0;
  }

  BsSharedData* p = nullptr;
  DWORD m_dwSavedFlags = 0;
  uint32_t m_ulSavedPids[BS_PID_SLOTS] = {};
};

std::vector<std::string> FileLines(const std::string& sPath)
{
  std::vector<std::string> lines;
  std::istringstream in(TestReadFile(sPath));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST_F(BugShowTest, RegionLayoutAsCreated)
{
  EXPECT_EQ(p->ulRegionSize, 102504u);
  MEMORY_BASIC_INFORMATION mbi = {};
  ASSERT_NE(VirtualQuery(p, &mbi, sizeof mbi), 0u);
  EXPECT_GE(mbi.RegionSize, (SIZE_T)0x1A000);
  // This process registered itself once.
  int n = 0;
  for (uint32_t pid : m_ulSavedPids) {
    n += pid == GetCurrentProcessId();
  }
  EXPECT_EQ(n, 1);
  EXPECT_NE(g_hBsEvent, nullptr);
}

TEST_F(BugShowTest, LongLineIsPostedAs249CharactersAndTerminator)
{
  HANDLE hEvent = OpenEventA(SYNCHRONIZE, FALSE, "Local\\VantBugShow_EVENT");
  ASSERT_NE(hEvent, nullptr);
  WaitForSingleObject(hEvent, 0);   // auto-reset: take any earlier signal
  uint32_t ulSeq = p->ulSequence;
  std::string line(300, 'q');
  BsPostLine(TRACE_CAT_ERROR, line.c_str());
  EXPECT_EQ(p->ulHead, 269u);
  EXPECT_EQ(p->ulTail, 0u);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(hEvent);

  EXPECT_EQ(p->ucRing[0], 250u);
  EXPECT_EQ(p->ucRing[1], 'e');
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(recs[0].rec.sText), std::string(249, 'q'));
  EXPECT_EQ(recs[0].rec.ulPid, GetCurrentProcessId());
  EXPECT_EQ(recs[0].rec.ulSequence, ulSeq + 1);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  EXPECT_LE(recs[0].rec.ullStamp, (uint64_t)now.QuadPart);
  EXPECT_GT(recs[0].rec.ullStamp, 0u);

  BsPostLine(TRACE_CAT_WARNING, "a warning\n");
  BsPostLine(TRACE_CAT_INFO, "");
  recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[1].rec.cType, 'w');
  EXPECT_EQ(std::string(recs[1].rec.sText), "a warning\n");
  EXPECT_EQ(recs[1].rec.ulSequence, ulSeq + 2);
  EXPECT_EQ(recs[2].rec.cType, 't');
  EXPECT_EQ(recs[2].rec.ulLength, 1u);
  EXPECT_EQ(p->ulHead, 269u + 11 + 19 + 20);
}

TEST_F(BugShowTest, TraceWriterPostsLinesThatPassTheFlags)
{
  g_dwBsFlags = 0x400;   // other lines only, no viewer start
  TRACE_INFO("posted through the writer %d", 7);
  TRACE_ERROR("not posted: errors are off");
  g_dwBsFlags = 0;
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 1u);
  std::string text = recs[0].rec.sText;
  EXPECT_NE(text.find("TestBody - posted through the writer 7\n"), std::string::npos) << text;
  EXPECT_EQ(recs[0].rec.cType, 't');
}

// The ring filled from just before its end, so records straddle it; then
// filled past capacity, so the oldest go, counted by type.
TEST_F(BugShowTest, WrappedRingReadsBackIntactAndDropsByType)
{
  ResetRing(BS_RING_SIZE - 500);
  struct Posted {
    std::string text;
    char type;
  };
  std::vector<Posted> posted;
  auto post = [&](int i) {
    const DWORD cats[3] = {TRACE_CAT_INFO, TRACE_CAT_WARNING, TRACE_CAT_ERROR};
    Posted x{ChildBsLine("W", i), "twe"[i % 3]};
    BsPostLine(cats[i % 3], x.text.c_str());
    posted.push_back(x);
  };
  // Exactly as many as fit without dropping.
  uint32_t ulUsed = 0;
  int i = 0;
  for (;; ++i) {
    uint32_t size = BsRingRecordSize(BsRingTextLength(ChildBsLine("W", i).size()));
    if ((int32_t)(BS_RING_SIZE - BS_RING_SPARE - ulUsed) <= (int32_t)size) {
      break;
    }
    post(i);
    ulUsed += size;
  }
  EXPECT_EQ(p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors, 0u);
  EXPECT_EQ(BsRingUsed(p->ulHead, p->ulTail), ulUsed);
  EXPECT_LT(p->ulHead, p->ulTail);   // wrapped
  BsRecordStatus status;
  auto recs = ReadRing(p, &status);
  EXPECT_EQ(status, BS_RECORD_OK);
  ASSERT_EQ(recs.size(), posted.size());
  bool bStraddled = false;
  for (size_t k = 0; k < recs.size(); ++k) {
    EXPECT_EQ(std::string(recs[k].rec.sText), posted[k].text) << k;
    EXPECT_EQ(recs[k].rec.cType, posted[k].type);
    uint32_t size = BsRingRecordSize(recs[k].rec.ulLength);
    bStraddled |= recs[k].ulPos + size > BS_RING_SIZE;
    if (k > 0) {
      EXPECT_GT(recs[k].rec.ulSequence, recs[k - 1].rec.ulSequence);
    }
  }
  EXPECT_TRUE(bStraddled);

  // Twenty more: each drops just enough of the oldest records for itself.
  std::vector<uint32_t> sizes;
  for (const auto& r : recs) {
    sizes.push_back(BsRingRecordSize(r.rec.ulLength));
  }
  uint32_t expected[3] = {};
  size_t oldest = 0;
  uint32_t used = ulUsed;
  for (int j = 0; j < 20; ++j, ++i) {
    uint32_t need = BsRingRecordSize(BsRingTextLength(ChildBsLine("W", i).size()));
    while ((int32_t)(BS_RING_SIZE - BS_RING_SPARE - used) <= (int32_t)need) {
      char t = posted[oldest].type;
      expected[t == 'e' ? 2 : t == 'w' ? 1 : 0]++;
      used -= sizes[oldest];
      ++oldest;
    }
    post(i);
    sizes.push_back(need);
    used += need;
  }
  EXPECT_EQ(p->ulDroppedInfo, expected[0]);
  EXPECT_EQ(p->ulDroppedWarnings, expected[1]);
  EXPECT_EQ(p->ulDroppedErrors, expected[2]);
  EXPECT_GT(expected[0] + expected[1] + expected[2], 0u);
  recs = ReadRing(p, &status);
  EXPECT_EQ(status, BS_RECORD_OK);
  ASSERT_EQ(recs.size(), posted.size() - oldest);
  for (size_t k = 0; k < recs.size(); ++k) {
    EXPECT_EQ(std::string(recs[k].rec.sText), posted[oldest + k].text);
  }
  DWORD bDisabled = 9, ulWord = 9, ulDropped = 0;
  ASSERT_TRUE(BsGetStatistics(&bDisabled, &ulWord, &ulDropped));
  EXPECT_EQ(bDisabled, 0u);
  EXPECT_EQ(ulDropped, expected[1] + expected[2]);   // errors and warnings only
}

TEST_F(BugShowTest, TwoProcessesPostAtOnceEveryRecordIntactAndInOrder)
{
  ResetRing(BS_RING_SIZE - 2000);
  const char kGate[] = "DravBsTestGate_Post";
  HANDLE hGate = CreateEventA(nullptr, TRUE, FALSE, kGate);
  ASSERT_NE(hGate, nullptr);
  constexpr int kLines = 300;   // both together stay below the ring's size
  Started a = StartProgram("drav_child.exe bspost 300 PA DravBsTestGate_Post");
  Started b = StartProgram("drav_child.exe bspost 300 PB DravBsTestGate_Post");
  ASSERT_NE(a.hProcess, nullptr);
  ASSERT_NE(b.hProcess, nullptr);
  Sleep(1500);   // both have opened the channel and wait at the gate
  SetEvent(hGate);
  EXPECT_EQ(a.Wait(), 0u);
  EXPECT_EQ(b.Wait(), 0u);
  CloseHandle(hGate);

  EXPECT_EQ(p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors, 0u);
  BsRecordStatus status;
  auto recs = ReadRing(p, &status);
  EXPECT_EQ(status, BS_RECORD_OK);
  ASSERT_EQ(recs.size(), 2u * kLines);
  std::map<uint32_t, uint32_t> lastSeq;
  std::map<std::string, int> next;
  std::map<std::string, uint32_t> pidOf;
  std::regex shape(R"((P[AB]) line (\d{5}) [a-z]*\n)");
  for (const auto& r : recs) {
    std::string text = r.rec.sText;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    std::string tag = m[1];
    int idx = std::stoi(m[2]);
    EXPECT_EQ(idx, next[tag]++) << tag;
    EXPECT_EQ(text, ChildBsLine(tag, idx));
    EXPECT_EQ(r.rec.cType, idx % 3 == 0 ? 'w' : 't');
    if (pidOf.count(tag)) {
      EXPECT_EQ(pidOf[tag], r.rec.ulPid);
    }
    pidOf[tag] = r.rec.ulPid;
    EXPECT_GT(r.rec.ulSequence, lastSeq[r.rec.ulPid]);
    lastSeq[r.rec.ulPid] = r.rec.ulSequence;
  }
  EXPECT_EQ(next["PA"], kLines);
  EXPECT_EQ(next["PB"], kLines);
  EXPECT_NE(pidOf["PA"], pidOf["PB"]);
}

TEST_F(BugShowTest, EleventhProcessClobbersTheLastSlot)
{
  // Four taken: the child takes the fifth, quietly.
  memset(p->ulPid, 0, sizeof p->ulPid);
  for (uint32_t i = 0; i < 4; ++i) {
    p->ulPid[i] = 0x7FFF0001 + i;
  }
  EXPECT_EQ(TestRunProgram("drav_child.exe bsslot"), 5u);
  // All ten taken: warning, and the tenth slot is overwritten.
  for (uint32_t i = 0; i < BS_PID_SLOTS; ++i) {
    p->ulPid[i] = 0x7FFF0001 + i;
  }
  EXPECT_EQ(TestRunProgram("drav_child.exe bsslot"), 0x100u | 10u);
  for (uint32_t i = 0; i < BS_PID_SLOTS - 1; ++i) {
    EXPECT_EQ(p->ulPid[i], 0x7FFF0001 + i);
  }
  EXPECT_NE(p->ulPid[9], 0x7FFF000Au);
  EXPECT_NE(p->ulPid[9], 0u);
}

TEST_F(BugShowTest, ForeignRegionSizeIsNeverPostedTo)
{
  p->ulRegionSize = 0x12345;
  EXPECT_EQ(TestRunProgram("drav_child.exe bspost 5 FOREIGN"), 3u);   // the child does not take it
  BsPostLine(TRACE_CAT_ERROR, "not posted either\n");                  // nor does a process that had it
  EXPECT_EQ(p->ulHead, 0u);
  EXPECT_EQ(p->ucRing[0], 0u);
  p->ulRegionSize = BS_REGION_SIZE;
  EXPECT_EQ(TestRunProgram("drav_child.exe bspost 5 HOME"), 0u);
  EXPECT_EQ(ReadRing(p).size(), 5u);
}

TEST_F(BugShowTest, DisabledPostingReturnsAtOnce)
{
  p->bDisabled = 1;
  uint32_t ulSeq = p->ulSequence;
  BsPostLine(TRACE_CAT_ERROR, "switched off\n");
  EXPECT_EQ(p->ulHead, 0u);
  EXPECT_EQ(p->ulSequence, ulSeq);
  EXPECT_EQ(TestRunProgram("drav_child.exe bspost 3 OFF"), 0u);
  EXPECT_EQ(p->ulHead, 0u);
  p->bDisabled = 0;
  BsPostLine(TRACE_CAT_ERROR, "back on\n");
  EXPECT_EQ(ReadRing(p).size(), 1u);
}

// A corrupt region: the line is given up, nothing is written, the thread goes on,
// and posting resumes once the region is sound again.
TEST_F(BugShowTest, CorruptPositionsGiveUpTheLine)
{
  TraceCapture capture;
  std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
  auto unchanged = [&] {
    return memcmp(before.data(), p, BS_REGION_SIZE) == 0;
  };
  struct Case {
    uint32_t head, tail;
  };
  for (Case c : {Case{200000, 0}, Case{0, 102400}, Case{100, 101}, Case{0xFFFFFFF0, 0xFFFFFFF0}}) {
    p->ulHead = c.head;
    p->ulTail = c.tail;
    before.assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
    BsPostLine(TRACE_CAT_INFO, "lost in a corrupt ring\n");
    EXPECT_TRUE(unchanged()) << c.head << "/" << c.tail;
    EXPECT_EQ(p->bDisabled, 0u);
  }
  EXPECT_EQ(capture.Count("is corrupt (head 200000, tail 0): line not posted"), 1u);

  // A full ring whose tail record has a length byte no record can have, or a
  // type that is none: nothing to drop safely.
  for (uint8_t bad : {(uint8_t)251, (uint8_t)255}) {
    ResetRing(0);
    p->ulTail = 1000;
    p->ulHead = 990;
    p->ucRing[1000] = bad;
    p->ucRing[1001] = 't';
    before.assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
    BsPostLine(TRACE_CAT_INFO, "no room\n");
    EXPECT_TRUE(unchanged()) << (int)bad;
  }
  ResetRing(0);
  p->ulTail = 1000;
  p->ulHead = 990;
  p->ucRing[1000] = 40;
  p->ucRing[1001] = '?';
  before.assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + BS_REGION_SIZE);
  BsPostLine(TRACE_CAT_INFO, "no room\n");
  EXPECT_TRUE(unchanged());
  EXPECT_EQ(p->bDisabled, 0u);

  ResetRing(0);
  BsPostLine(TRACE_CAT_INFO, "sound again\n");
  auto recs = ReadRing(p);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(recs[0].rec.sText), "sound again\n");
}

TEST_F(BugShowTest, StatisticsAndShutdown)
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
  EXPECT_EQ(c, 7u);
  p->ulViewerWord = 0;

  TraceCapture capture;
  ASSERT_TRUE(BsShutdownServer());
  EXPECT_EQ(p->bShutdown, 1u);
  EXPECT_EQ(g_hBsEvent, nullptr);
  EXPECT_TRUE(capture.Contains("About to shut down the server."));
  // The next line sets the event up again.
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  pSlot->ulNesting++;
  BsInitializeClient();
  pSlot->ulNesting--;
  EXPECT_NE(g_hBsEvent, nullptr);
}

// Two processes write their first error line at the same moment: one claims
// the start and launches the viewer found through "Path".
TEST_F(BugShowTest, ViewerStartedOnceByTwoProcesses)
{
  SavedValue savedPath(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  SavedValue savedFlags(HKEY_CURRENT_USER, kVantorixKey, "BsDrav");
  TestRegDelete(HKEY_CURRENT_USER, kVantorixKey, "BsDrav");   // default 0x710: an error line starts it

  // A folder without the viewer: the start fails and the claim is given back.
  std::string empty = TestScratchDir("bugshow_noviewer");
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", empty.c_str());
  {
    HANDLE hGate = CreateEventA(nullptr, TRUE, TRUE, "DravBsTestGate_Fail");
    EXPECT_EQ(TestRunProgram("drav_child.exe bserror DravBsTestGate_Fail"), 1u);
    CloseHandle(hGate);
  }
  EXPECT_EQ(p->bBsPresent, 0u);
  EXPECT_EQ(p->bViewerRunning, 0u);

  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "Path", TestBinDir().c_str());
  HANDLE hGate = CreateEventA(nullptr, TRUE, FALSE, "DravBsTestGate_Start");
  ASSERT_NE(hGate, nullptr);
  Started a = StartProgram("drav_child.exe bserror DravBsTestGate_Start");
  Started b = StartProgram("drav_child.exe bserror DravBsTestGate_Start");
  Sleep(1500);
  SetEvent(hGate);
  DWORD ra = a.Wait(), rb = b.Wait();
  CloseHandle(hGate);
  EXPECT_LE(ra, 1u);
  EXPECT_LE(rb, 1u);
  EXPECT_EQ(ra + rb, 1u);   // exactly one launched
  EXPECT_EQ(p->bBsPresent, 1u);
  ASSERT_TRUE(WaitUntil([&] { return Load(p->bViewerRunning) == 1; }, 15000));
  DWORD dwViewer = p->ulViewerWord;
  HANDLE hViewer = OpenProcess(SYNCHRONIZE, FALSE, dwViewer);
  ASSERT_NE(hViewer, nullptr);
  // The viewer takes the children's error lines out of the ring.
  EXPECT_TRUE(WaitUntil([&] { return Load(p->ulTail) == Load(p->ulHead); }, 5000));
  p->bShutdown = 1;
  SignalChannelEvent();
  EXPECT_EQ(WaitForSingleObject(hViewer, 10000), WAIT_OBJECT_0);
  CloseHandle(hViewer);
  EXPECT_EQ(p->bViewerRunning, 0u);
  EXPECT_EQ(p->bBsPresent, 0u);   // a later error line may start it again
}

// Without "Path" the viewer is looked for beside the module that holds the code.
TEST_F(BugShowTest, ViewerFoundBesideTheModuleWithoutPath)
{
  SavedValue savedPath(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  SavedValue savedFlags(HKEY_CURRENT_USER, kVantorixKey, "BsDrav");
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "Path");
  TestRegDelete(HKEY_CURRENT_USER, kVantorixKey, "BsDrav");
  HANDLE hGate = CreateEventA(nullptr, TRUE, TRUE, "DravBsTestGate_Module");
  EXPECT_EQ(TestRunProgram("drav_child.exe bserror DravBsTestGate_Module"), 1u);
  CloseHandle(hGate);
  ASSERT_TRUE(WaitUntil([&] { return Load(p->bViewerRunning) == 1; }, 15000));
  HANDLE hViewer = OpenProcess(SYNCHRONIZE, FALSE, p->ulViewerWord);
  ASSERT_NE(hViewer, nullptr);
  p->bShutdown = 1;
  SignalChannelEvent();
  EXPECT_EQ(WaitForSingleObject(hViewer, 10000), WAIT_OBJECT_0);
  CloseHandle(hViewer);
}

// A line posted just before the shutdown request is still shown.
TEST_F(BugShowTest, ViewerShowsWhatWasPostedBeforeItsShutdown)
{
  std::string out = TestScratchDir("bugshow_shutdown") + "\\shown.txt";
  Started viewer = StartProgram("VantBshw.exe MEM:Local\\VantBugShow -o " + out + " -t 60000");
  ASSERT_NE(viewer.hProcess, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Load(p->bViewerRunning) == 1; }, 15000));
  Sleep(300);   // waiting for the event by now
  p->bShutdown = 1;
  BsPostLine(0, "last words before the shutdown\n");
  EXPECT_EQ(viewer.Wait(15000), 0u);
  int nShown = 0;
  for (const std::string& line : FileLines(out)) {
    nShown += line.find(" t last words before the shutdown") != std::string::npos;
  }
  EXPECT_EQ(nShown, 1);
  EXPECT_EQ(p->ulTail, p->ulHead);
}

// The viewer drains two posting processes: every line it shows is intact and
// in order per process, and what it did not show was counted as dropped. A
// slow viewer makes the posters drop while it reads.
class BugShowViewerTest : public BugShowTest, public testing::WithParamInterface<int> {};

TEST_P(BugShowViewerTest, ShowsEveryRecordOrCountsItDropped)
{
  std::string dir = TestScratchDir("bugshow_viewer");
  std::string out = dir + "\\shown.txt";
  ResetRing(BS_RING_SIZE - 3000);
  Started viewer = StartProgram("VantBshw.exe MEM:Local\\VantBugShow -o " + out + " -t 60000 -lag " +
                                std::to_string(GetParam()));
  ASSERT_NE(viewer.hProcess, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Load(p->bViewerRunning) == 1; }, 15000));

  HANDLE hGate = CreateEventA(nullptr, TRUE, FALSE, "DravBsTestGate_Viewer");
  constexpr int kLines = 2000;
  Started a = StartProgram("drav_child.exe bspost 2000 VA DravBsTestGate_Viewer");
  Started b = StartProgram("drav_child.exe bspost 2000 VB DravBsTestGate_Viewer");
  Sleep(1500);
  SetEvent(hGate);
  EXPECT_EQ(a.Wait(), 0u);
  EXPECT_EQ(b.Wait(), 0u);
  CloseHandle(hGate);
  EXPECT_TRUE(WaitUntil([&] { return Load(p->ulTail) == Load(p->ulHead); }, 15000));
  p->bShutdown = 1;
  SignalChannelEvent();
  EXPECT_EQ(viewer.Wait(15000), 0u);

  std::regex shown(R"(\[(\d+)\] #(\d+) ([tw]) (V[AB]) line (\d{5}) ([a-z]*))");
  std::map<std::string, int> last = {{"VA", -1}, {"VB", -1}};
  std::map<std::string, uint32_t> lastSeq;
  int nShown = 0;
  bool bEnd = false;
  for (const std::string& line : FileLines(out)) {
    if (line.rfind("***", 0) == 0) {
      if (line.find("lines shown") != std::string::npos) {
        EXPECT_NE(line.find(", 0 bad records"), std::string::npos) << line;
      }
      EXPECT_EQ(line.find("corrupt"), std::string::npos) << line;
      EXPECT_EQ(line.find("check byte"), std::string::npos) << line;
      bEnd |= line.find("shut down on request") != std::string::npos;
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shown)) << line;
    std::string tag = m[4];
    int idx = std::stoi(m[5]);
    std::string expected = ChildBsLine(tag, idx);
    expected.pop_back();   // the viewer shows it without the line feed
    EXPECT_EQ(std::string(m[4]) + " line " + std::string(m[5]) + " " + std::string(m[6]), expected);
    EXPECT_EQ(m[3] == "w", idx % 3 == 0);
    EXPECT_GT(idx, last[tag]) << line;
    last[tag] = idx;
    uint32_t seq = (uint32_t)std::stoul(m[2]);
    EXPECT_GT(seq, lastSeq[tag]);
    lastSeq[tag] = seq;
    ++nShown;
  }
  EXPECT_TRUE(bEnd);
  uint32_t dropped = p->ulDroppedInfo + p->ulDroppedWarnings + p->ulDroppedErrors;
  EXPECT_EQ(p->ulDroppedErrors, 0u);
  EXPECT_EQ(nShown + (int)dropped, 2 * kLines) << "shown " << nShown << " dropped " << dropped;
  EXPECT_GT(nShown, 0);
  std::printf("[ figures  ] viewer showed %d lines, %u dropped\n", nShown, dropped);
  if (GetParam() > 0) {
    EXPECT_GT(dropped, 0u);   // the slow reader really made them drop
  }
}

INSTANTIATE_TEST_SUITE_P(Lag, BugShowViewerTest, testing::Values(0, 2));

// Cases that wait out real bounds (the viewer's one-second patience with an
// unreadable record, the posting side's attempt bound).
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
  for (uint32_t i = 0; i < 400; ++i) {
    p->ucRing[ulGarbage + i] = (uint8_t)(i * 97 + 13);
  }
  p->ucRing[ulGarbage] = 200;   // claims a record longer than what was written
  p->ucRing[ulGarbage + 1] = 't';
  p->ulHead = ulGarbage + 60;
  std::string out1 = dir + "\\one.txt";
  EXPECT_EQ(TestRunProgram("VantBshw.exe MEM:Local\\VantBugShow -stay -t 4000 -o " + out1, 20000), 3u);
  std::string text = TestReadFile(out1);
  EXPECT_NE(text.find(" t first good\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" t second good\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("bad check\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("fails its check byte"), std::string::npos) << text;
  EXPECT_NE(text.find("corrupt record at"), std::string::npos) << text;
  EXPECT_EQ(p->ulTail, p->ulHead);

  // Positions outside the ring: put back, and posting works again.
  p->ulHead = 5000000;
  p->ulTail = 77;
  std::string out2 = dir + "\\two.txt";
  EXPECT_EQ(TestRunProgram("VantBshw.exe MEM:Local\\VantBugShow -stay -t 1000 -o " + out2, 20000), 3u);
  EXPECT_NE(TestReadFile(out2).find("ring positions corrupt (head 5000000, tail 77)"), std::string::npos);
  EXPECT_LT(p->ulHead, BS_RING_SIZE);
  EXPECT_EQ(p->ulTail, p->ulHead);
  BsPostLine(TRACE_CAT_INFO, "after repair\n");
  EXPECT_EQ(ReadRing(p).size(), 1u);

  // A region of another layout is refused.
  p->ulRegionSize = 77;
  EXPECT_EQ(TestRunProgram("VantBshw.exe MEM:Local\\VantBugShow -t 1000 -o " + dir + "\\three.txt", 20000), 2u);
  p->ulRegionSize = BS_REGION_SIZE;
  EXPECT_EQ(TestRunProgram("VantBshw.exe NOTMEM", 20000), 1u);
}

// A writer that died between reserving and publishing: posters wait on it in
// 30 ms steps; the attempt bound then switches posting off instead of spinning.
TEST_F(SlowBugShowTest, UnpublishedRecordAtTheTailSwitchesPostingOff)
{
  ResetRing(0);
  p->ulTail = 1000;
  p->ulHead = 990;   // full, and the record at the tail never got its length byte
  p->ucRing[1001] = 't';
  DWORD dwStart = GetTickCount();
  BsPostLine(TRACE_CAT_INFO, "waits, then gives up\n");
  DWORD dwTook = GetTickCount() - dwStart;
  EXPECT_EQ(p->bDisabled, 1u);
  EXPECT_EQ(p->ulHead, 990u);
  EXPECT_EQ(p->ulTail, 1000u);
  BsPostLine(TRACE_CAT_INFO, "returns at once\n");
  EXPECT_EQ(p->ulHead, 990u);
  std::printf("[ figures  ] gave up after %lu ms of waiting on the writer\n", (unsigned long)dwTook);
}
