// Trace writer: line layout, level mask and switches from the registry, slots,
// hex dumps, the last error and the host's region, and the shared log file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "diag/Trace.h"
#include "diag/TraceFormat.h"
#include "framework/UmdMgr.h"
#include "plugin/Mou.h"
#include "tests/unit/DiagTestSupport.h"

// The trace reads the host's records through layouts of its own.
static_assert(offsetof(tMainShare, dwDebugLevel) == offsetof(TraceHostWords, dwDebugLevel));
static_assert(offsetof(tMainShare, dwModuleCategory) == offsetof(TraceHostWords, dwModuleCategory));
static_assert(offsetof(tDevice, sDeviceName) == TRACE_DEVICE_NAME_OFFSET);

namespace {

class TraceTest : public testing::Test {
protected:
  void SetUp() override
  {
    OpenChannelQuietly();
    m_dwSavedFlags = std::exchange(g_dwBsFlags, 0);   // the channel's own lines stay out of the captures
  }
  void TearDown() override
  {
    for (const char* sName : {"DebugLevel", "DebugFlags", "DebugLogFile"}) TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, sName);
    TraceResetLogFile();
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    g_dwBsFlags = m_dwSavedFlags;
  }
  // Log file settings for the processes started now (and this one if bHere); the file starts as sOld if given.
  std::string UseLogFile(const char* sDir, DWORD dwFlags, bool bHere, const char* sOld = nullptr)
  {
    std::string path = TestScratchDir(sDir) + "\\trace.txt";
    TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", dwFlags);
    TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
    if (bHere) TraceInit("DRAVMOU");
    if (sOld != nullptr) std::ofstream(path, std::ios::binary) << sOld;
    return path;
  }
  DWORD m_dwSavedFlags = 0;
};

void FunctionThatTraces() { TRACE_INFO("entry"); }
void FunctionThatNamesItself() { TRACE_INFO("FunctionThatNamesItself - Entry.\n"); }
const int kAssertLine = __LINE__ + 1;
void FunctionThatAsserts() { DRAV_ASSERT(1 == 2); }

}  // namespace

TEST_F(TraceTest, LinesCarryModuleThreadFunctionAndLevel)
{
  TraceCapture capture;
  FunctionThatTraces();
  FunctionThatNamesItself();   // not given its name twice, and keeps its one line feed
  FunctionThatAsserts();   // names its function twice: from the line start and as its first field
  TraceSetFunction("Dumper");
  BYTE data[45];
  for (int i = 0; i < 45; ++i) data[i] = (BYTE)(0xA0 + i);
  TraceDump("pkt", data, 45);
  TraceDump("one", data, 20);
  TraceDump("none", data, 0);
  TraceInfo("%s", std::string(2000, 'x').c_str());   // cut to leave room for the log file's CR and the terminator
  const std::string dump = TraceHead("Dumper");
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
      TraceHead("FunctionThatTraces") + "entry\n", TraceHead("FunctionThatNamesItself") + "Entry.\n",
      TraceHead("FunctionThatAsserts", "<error> ") + "FunctionThatAsserts - test_trace.cpp line " +
          std::to_string(kAssertLine) + ": assert 1 == 2\n",
      dump + "pkt data size  45 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n",
      dump + "pkt data (cont)       b4 b5 b6 b7 b8 b9 ba bb bc bd be bf c0 c1 c2 c3 c4 c5 c6 c7\n",
      dump + "pkt data (cont)       c8 c9 ca cb cc\n",
      dump + "one data size  20 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n",
      dump + "none data size 0\n", dump + std::string(TRACE_LINE_SIZE - 3 - dump.size(), 'x') + "\n"}));
  EXPECT_STREQ(DeviceTraceName(nullptr), "pDevice is NULL");
}

// Level, flags and file name from the registry; the viewer switches (read once per process) in fresh ones.
TEST_F(TraceTest, SettingsFromTheRegistry)
{
  // The child's switches (exit bit 1 info, bit 0 warnings); a value not a REG_DWORD: BugShowTest.ViewerStarted*.
  for (auto [dwValue, dwExit] : {std::pair(0x001ul, 0ul), {0x200ul, 1ul}}) {
    TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", dwValue);
    EXPECT_EQ(TestRunProgram("drav_child.exe error 1 -") & 3, dwExit) << dwValue;
  }
  TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
  // Shorter: a whole number, zero-extended (0x110: the list's and the system's lines). Larger than its buffer: the default stays.
  const BYTE bytes[8] = {0x10, 0x01, 0, 0, 5, 6, 7, 8};
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", bytes, 2);
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", bytes, 8);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", std::string(300, 'p').c_str());
  TraceInit("DRAVMOU");
  EXPECT_EQ(std::tuple(g_dwDebugLevel, g_dwDebugFlags, std::string(g_szDebugLogFile)),
            std::tuple(DWORD(0x110), DWORD(1), std::string("trace.txt")));
  TraceCapture capture;
  for (DWORD cat : {TRACE_CAT_LIST, TRACE_CAT_FIFO, TRACE_CAT_LOCK, TRACE_CAT_INI, TRACE_CAT_SYSTEM}) TRACE_CATEGORY(cat, "category %lx", cat);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{TraceHead("TestBody") + "category 100\n", TraceHead("TestBody") + "category 10\n"}));
}

// Ten slots (odd ids: no real thread's): an eleventh thread takes the least recently used, afresh.
TEST_F(TraceTest, EleventhThreadEvictsTheLeastRecentlyUsedSlot)
{
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
  for (DWORD i = 0; i < 10; ++i) TraceFindThreadSlot(2 * i + 1, TRUE)->sFunction = "Early";
  EXPECT_EQ(TraceFindThreadSlot(1, FALSE), &g_TraceSlots[0]);   // used again: the second slot is now the oldest
  EXPECT_EQ(TraceFindThreadSlot(21, TRUE)->sFunction, nullptr);
  for (DWORD i = 0; i < 10; ++i) EXPECT_EQ((DWORD)g_TraceSlots[i].ulThreadId, i == 1 ? 21 : 2 * i + 1);
}

// A trace line between a failing call and the line that prints its code.
TEST_F(TraceTest, TraceOperationsKeepTheLastError)
{
  UseLogFile("trace_lasterror", TRACE_FLAG_LOGFILE, true, "");   // the first line opens the file: ERROR_ALREADY_EXISTS
  g_dwBsFlags = 0x707;   // every sink but the viewer's start
  BsCloseEvent();   // the next line opens the channel's event again: ERROR_ALREADY_EXISTS
  auto operations = {+[] { TRACE_INFO("between"); }, +[] { TRACE_ERROR("between"); },
                     +[] { TraceDump("between", "ab", 2); }, +[] { TraceStart("DRAVMOU", TRACE_CAT_MODULE); },
                     +[] { TraceStop(); }};
  for (auto operation : operations) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    operation();
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  }
}

// The level goes into the host's region while bound, never after: it may be gone (a record on a finished stack).
TEST_F(TraceTest, NoHostRegionAfterUnbindingOrAFailedBind)
{
  for (bool bFail : {false, true}) {
    tMainShare share = {};
    tGbl gbl = {};
    tMain main = {};
    main.hInstance = GetModuleHandleA(nullptr);
    share.dwDebugLevel = 0x1234;
    ULONG_PTR api[HOST_WORD_COUNT] = {(ULONG_PTR)&share, (ULONG_PTR)&gbl, (ULONG_PTR)&main};   // share, gbl, main
    BOOL bSaved[UMD_MAX_INSTANCES];   // failing: none free, the framework does not start
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) bSaved[i] = std::exchange(g_UmdInstances[i].bInUse, g_UmdInstances[i].bInUse | bFail);
    EXPECT_EQ(MouMainInit(api, 0, 0), bFail ? 0u : 1u);
    EXPECT_EQ(TraceCurrentLevel(), bFail ? g_dwDebugLevel : 0x1234u);
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) g_UmdInstances[i].bInUse = bSaved[i];
    if (!bFail) MouMainExit(0, 0);
    for (MSG msg; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&msg);
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    EXPECT_EQ(std::tuple(share.dwDebugLevel, share.dwModuleCategory), std::tuple(DWORD(0x1234), DWORD(0))) << bFail;
  }
}

// Three other processes write at once to a log kept apart (0x8) that this one opened first: it moved the
// old one aside and wrote the one header; every line whole, in order per writer; any reader can read it
// while they have it open. Append (0x4): kept, no header.
TEST_F(TraceTest, ProcessesShareTheLogFileLineByLine)
{
  std::string path = UseLogFile("trace_share", 0xA, true, "OLD CONTENT\r\n");
  TraceInfo("opens the log first");   // and keeps its mutex: one that opens after all others left is first again
  Gate gate("DravTraceGate_Share");
  std::vector<std::future<DWORD>> children;
  for (int i = 0; i < 3; ++i) children.push_back(StartProgram("drav_child.exe log 500 P" + std::to_string(i + 1) + " DravTraceGate_Share"));
  ASSERT_TRUE(gate.AwaitReady(3));
  gate.Open();
  for (auto& child : children) EXPECT_EQ(child.get(), 0u);
  std::regex shape(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] CHILD <\d{4,}> ChildWriter - (P[123]) line (\d{5}) x{72})");
  std::map<std::string, int> next, pids;
  for (const std::string& l : FileLines(path)) {
    if (l.find(" ChildWriter - ") == std::string::npos) continue;   // header, the channel's own lines
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << "torn or foreign line: " << l;
    EXPECT_EQ(std::stoi(m[3]), next[m[2]]++) << l;
    pids[m[1]]++;
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"P1", 500}, {"P2", 500}, {"P3", 500}}));
  EXPECT_EQ(pids.size(), 3u);
  std::ifstream reader(path, std::ios::binary);   // shares no delete access: the writers' handles must not ask for it
  std::string text{std::istreambuf_iterator<char>(reader), {}};
  std::regex header(R"(^\r\nLogFile started on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d - g_dwDebugFlags:0xA - g_dwDebugLevel:FFFDECFF\r\n\r\n)");
  EXPECT_TRUE(std::regex_search(text, header)) << text.substr(0, 200);
  EXPECT_EQ(text.find("LogFile started"), text.rfind("LogFile started"));   // one header only
  std::map<std::string, std::string> files;   // the previous file kept beside it under a time-stamped name
  for (const auto& entry : std::filesystem::directory_iterator(path.substr(0, path.rfind('\\')))) {
    std::regex kept(R"(trace\.txt-\d\d-\d\d-\d{4}-\d\d-\d\d-\d\d\.txt)");
    files[std::regex_replace(entry.path().filename().string(), kept, "kept")] = TestReadFile(entry.path().string());
  }
  EXPECT_TRUE(files.size() == 2 && files["kept"] == "OLD CONTENT\r\n") << files.size();
  path = UseLogFile("trace_append", 0x6, false, "KEPT\r\n");
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 APPENDED -"), 0u);
  EXPECT_TRUE(std::regex_match(TestReadFile(path), std::regex(R"(KEPT\r\n(?!\r\nLogFile)[\s\S]*APPENDED line 00001[\s\S]*)")));
  path = UseLogFile("trace_off", 0x1, false);
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 NOFILE -"), 0u);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}
