// Trace writer: line layout, level mask and switches from the registry, slots,
// hex dumps, the last error and the host's region, and the shared log file.
#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

#include "diag/Trace.h"
#include "diag/TraceFormat.h"
#include "framework/UmdMgr.h"
#include "plugin/Mou.h"
#include "tests/unit/DiagTestSupport.h"

// The trace reads the host's records through layouts of its own.
static_assert(offsetof(tMainShare, dwDebugLevel) == offsetof(TraceHostWords, dwDebugLevel));
static_assert(offsetof(tMainShare, dwModuleCategory) == offsetof(TraceHostWords, dwModuleCategory));
static_assert(offsetof(tDevice, sDeviceName) == TRACE_DEVICE_NAME_OFFSET);

static const char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV";

namespace {

class TraceTest : public testing::Test {
protected:
  // The channel's own lines stay out of the cases' captures.
  void SetUp() override
  {
    OpenChannelQuietly();
    TraceResetLogFile();
    m_dwSavedFlags = g_dwBsFlags;
    g_dwBsFlags = 0;
  }
  void TearDown() override
  {
    for (const char* sName : {"DebugLevel", "DebugFlags", "DebugLogFile"}) TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, sName);
    TraceResetLogFile();
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    g_dwBsFlags = m_dwSavedFlags;
  }
  DWORD m_dwSavedFlags = 0;
  // Log file settings for the processes started now, and for this one if bHere;
  // the file starts with sOld unless that is null.
  std::string UseLogFile(const char* sDir, DWORD dwFlags, bool bHere, const char* sOld = nullptr)
  {
    std::string path = TestScratchDir(sDir) + "\\trace.txt";
    TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", dwFlags);
    TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
    if (bHere) TraceInit("DRAVMOU");
    if (sOld != nullptr) {
      FILE* f = fopen(path.c_str(), "wb");
      fputs(sOld, f);
      fclose(f);
    }
    return path;
  }
};

std::string Head(const char* sFunction, const char* sLevel = "")
{
  char s[64];
  snprintf(s, sizeof s, "DRAVMOU <%04lu> %s%s - ", GetCurrentThreadId(), sLevel, sFunction);
  return s;
}

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
  TraceSetFunction("MouMainInit");
  TraceError("bad %d", 7);
  TraceWarning("careful");
  FunctionThatAsserts();   // names its function twice: from the line start and as its first field
  TraceSetFunction("Dumper");
  BYTE data[45];
  std::iota(data, data + 45, 0xA0);
  TraceDump("pkt", data, 45);
  TraceDump("one", data, 20);
  TraceDump("none", data, 0);
  TraceInfo("%s", std::string(2000, 'x').c_str());
  auto lines = capture.Lines();
  const std::vector<std::string> expected = {
      Head("FunctionThatTraces") + "entry\n", Head("FunctionThatNamesItself") + "Entry.\n",
      Head("MouMainInit", "<error> ") + "bad 7\n", Head("MouMainInit", "<warning> ") + "careful\n",
      Head("FunctionThatAsserts", "<error> ") + "FunctionThatAsserts - test_trace.cpp line " +
          std::to_string(kAssertLine) + ": assert 1 == 2\n",
      Head("Dumper") + "pkt data size  45 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n",
      Head("Dumper") + "pkt data (cont)       b4 b5 b6 b7 b8 b9 ba bb bc bd be bf c0 c1 c2 c3 c4 c5 c6 c7\n",
      Head("Dumper") + "pkt data (cont)       c8 c9 ca cb cc\n",
      Head("Dumper") + "one data size  20 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n",
      Head("Dumper") + "none data size 0\n"};
  ASSERT_EQ(lines.size(), expected.size() + 1);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
  // Cut to leave room for the log file's CR and the terminator, line feed kept.
  EXPECT_EQ(lines.back().size(), TRACE_LINE_SIZE - 2);
  EXPECT_EQ(lines.back().back(), '\n');
  EXPECT_STREQ(DeviceTraceName(nullptr), "pDevice is NULL");
}

// Level, flags and file name from the registry; the viewer switches (read once
// per process, on its first passing line) checked in fresh processes.
TEST_F(TraceTest, SettingsFromTheRegistry)
{
  const char kBsKey[] = "SOFTWARE\\Vantorix";
  TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 3u);   // bit 1 info, bit 0 warnings
  TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", 0x001);
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 0u);
  TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", 0x200);
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 1u);
  TestRegSetString(HKEY_CURRENT_USER, kBsKey, "BsDrav", "x");   // not a REG_DWORD: default stays
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 3u);
  TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
  g_dwBsFlags = 0x710;
  EXPECT_EQ(TraceSetOutputFlags(0x00F, 0x00F), 0x710u);
  EXPECT_EQ(g_dwBsFlags, 0x71Fu);
  TraceClearOutputFlags();
  EXPECT_EQ(g_dwBsFlags, 0u);
  TraceCapture capture;
  auto traceHidden = [] {
    for (DWORD cat : {TRACE_CAT_LIST, TRACE_CAT_FIFO, TRACE_CAT_LOCK, TRACE_CAT_INI}) TRACE_CATEGORY(cat, "category %lx", cat);
  };
  traceHidden();
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "system line");
  EXPECT_EQ(capture.Count("category"), 0u);
  EXPECT_TRUE(capture.Contains("system line"));
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", 0xFFFFFFFF);
  TraceInit("DRAVMOU");
  traceHidden();
  EXPECT_EQ(capture.Count("category"), 4u);

  // Larger than its buffer: the default stays. Shorter: a whole number, zero-extended.
  const BYTE bytes[8] = {0x34, 0x12, 3, 4, 5, 6, 7, 8};
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", bytes, 8);
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", bytes, 1);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", std::string(300, 'p').c_str());
  TraceInit("DRAVMOU");
  EXPECT_EQ(g_dwDebugLevel, TRACE_DEFAULT_LEVEL);
  EXPECT_EQ(g_dwDebugFlags, 0x34u);
  EXPECT_STREQ(g_szDebugLogFile, "trace.txt");
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", bytes, 2);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", "C:\\logs\\drav.txt");
  TraceInit("DRAVMOU");
  EXPECT_EQ(g_dwDebugLevel, 0x1234u);
  EXPECT_STREQ(g_szDebugLogFile, "C:\\logs\\drav.txt");

}

TEST_F(TraceTest, EleventhThreadEvictsTheLeastRecentlyUsedSlot)
{
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
  std::vector<DWORD> ids(11);
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr), hDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 11; ++i) {   // in turn; each keeps running until all have traced
    threads.emplace_back([&, i] {
      ids[i] = GetCurrentThreadId();
      TraceSetFunction(i == 10 ? "Eleventh" : "Early");
      SetEvent(hDone);
      WaitForSingleObject(hGo, INFINITE);
    });
    WaitForSingleObject(hDone, INFINITE);
  }
  // Fresh slots tie at stamp 0: thread i took slot i, the eleventh slot 0 again.
  EXPECT_EQ((DWORD)g_TraceSlots[0].ulThreadId, ids[10]);
  EXPECT_STREQ(g_TraceSlots[0].sFunction, "Eleventh");
  for (int i = 1; i < 10; ++i) EXPECT_EQ((DWORD)g_TraceSlots[i].ulThreadId, ids[i]);
  EXPECT_EQ(TraceFindThreadSlot(ids[0], FALSE), nullptr);
  TraceThreadSlot* pAgain = TraceFindThreadSlot(ids[0], TRUE);   // back: afresh, without a name
  ASSERT_NE(pAgain, nullptr);
  EXPECT_EQ(pAgain->sFunction, nullptr);
  SetEvent(hGo);
  for (auto& t : threads) t.join();
  CloseHandle(hGo);
  CloseHandle(hDone);
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
}

// A trace line between a failing call and the line that prints its code.
TEST_F(TraceTest, TraceOperationsKeepTheLastError)
{
  UseLogFile("trace_lasterror", TRACE_FLAG_LOGFILE, true, "");   // the first line opens the file: ERROR_ALREADY_EXISTS
  g_dwBsFlags = 0x707;   // every sink but the viewer's start
  BsCloseEvent();   // the next line opens the channel's event again: ERROR_ALREADY_EXISTS
  TraceCapture capture;
  auto operations = {+[] { TRACE_INFO("between"); }, +[] { TRACE_WARNING("between"); },
                     +[] { TRACE_ERROR("between"); }, +[] { TRACE_CATEGORY(TRACE_CAT_SYSTEM, "between"); },
                     +[] { TraceDump("between", "ab", 2); }, +[] { TraceStart("DRAVMOU", TRACE_CAT_MODULE); },
                     +[] { TraceStop(); }};
  for (auto operation : operations) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    operation();
    TRACE_INFO("exit, UmdMainInit FAILED 0x%x", (unsigned)GetLastError());
  }
  EXPECT_EQ(capture.Count("exit, UmdMainInit FAILED 0x2\n"), operations.size());
  EXPECT_EQ(capture.Count("exit, UmdMainInit FAILED"), operations.size());
}

// The trace writes the level into the host's region while bound, and never
// after: the region may be gone (a host record on a finished stack).
TEST_F(TraceTest, NoHostRegionAfterUnbindingOrAFailedBind)
{
  for (bool bFail : {false, true}) {
    tMainShare share = {};
    tGbl gbl = {};
    tMain main = {};
    main.hInstance = GetModuleHandleA(nullptr);
    share.dwDebugLevel = 0x1234;
    ULONG_PTR api[HOST_WORD_COUNT] = {};
    api[HOST_MAIN_SHARE] = reinterpret_cast<ULONG_PTR>(&share);
    api[HOST_GBL] = reinterpret_cast<ULONG_PTR>(&gbl);
    api[HOST_MAIN] = reinterpret_cast<ULONG_PTR>(&main);
    BOOL bSaved[UMD_MAX_INSTANCES];
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) {   // none free: the framework does not start
      bSaved[i] = std::exchange(g_UmdInstances[i].bInUse, g_UmdInstances[i].bInUse | bFail);
    }
    EXPECT_EQ(MouMainInit(api, 0, 0), bFail ? 0u : 1u);
    EXPECT_EQ(TraceCurrentLevel(), bFail ? g_dwDebugLevel : 0x1234u);
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) g_UmdInstances[i].bInUse = bSaved[i];
    if (!bFail) MouMainExit(0, 0);
    for (MSG msg; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&msg);
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    EXPECT_EQ(share.dwDebugLevel, 0x1234u) << bFail;
    EXPECT_EQ(share.dwModuleCategory, 0u) << bFail;
    EXPECT_EQ(TraceCurrentLevel(), g_dwDebugLevel) << bFail;
  }
}

// Two threads of this process and two other processes write at once to a
// log kept apart (0x8): the first opener moves the old file to a time-stamped
// name and writes the one header, later ones append while it lives; every
// line whole, in order per writer. Append (0x4): kept, no header. No file flag: no file.
TEST_F(TraceTest, ThreadsAndProcessesShareTheLogFileLineByLine)
{
  std::string path = UseLogFile("trace_share", 0xA, true, "OLD CONTENT\r\n");
  std::string dir = path.substr(0, path.rfind('\\'));
  TraceInfo("opens the log first");   // and keeps its mutex: one that opens after all others left is first again
  Gate gate("DravTraceGate_Share");
  Started children[2];
  StartProgram(&children[0], "drav_child.exe log 500 P1 DravTraceGate_Share -");
  StartProgram(&children[1], "drav_child.exe log 500 P2 DravTraceGate_Share -");
  auto writer = [&](const char* sTag) {
    WaitForSingleObject(gate.hGo, 30000);
    for (int i = 0; i < 500; ++i) {
      TraceSetFunction("ChildWriter");
      TraceInfo("%s line %05d %s", sTag, i, std::string(72, 'x').c_str());
    }
  };
  std::thread t1(writer, "T1"), t2(writer, "T2");
  ASSERT_TRUE(gate.AwaitReady(2));
  gate.Open();
  t1.join();
  t2.join();
  for (Started& child : children) EXPECT_EQ(child.Wait(), 0u);
  std::regex shape(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (?:CHILD|DRAVMOU) <\d{4,}> ChildWriter - ([PT][12]) line (\d{5}) x{72})");
  std::map<std::string, int> next;
  std::set<std::string> pids;
  for (const std::string& l : FileLines(path)) {
    if (l.find(" ChildWriter - ") == std::string::npos) continue;   // header, the channel's own lines
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << "torn or foreign line: " << l;
    EXPECT_EQ(std::stoi(m[3]), next[m[2]]++) << l;
    pids.insert(m[1]);
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"P1", 500}, {"P2", 500}, {"T1", 500}, {"T2", 500}}));
  EXPECT_EQ(pids.size(), 3u);
  std::string text = TestReadFile(path);
  std::regex header(R"(^\r\nLogFile started on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d - g_dwDebugFlags:0xA - g_dwDebugLevel:FFFDECFF\r\n\r\n)");
  EXPECT_TRUE(std::regex_search(text, header)) << text.substr(0, 200);
  EXPECT_EQ(text.find("LogFile started"), text.rfind("LogFile started"));   // one header only
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA((dir + "\\trace.txt-*.txt").c_str(), &fd);
  ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
  FindClose(hFind);
  EXPECT_TRUE(std::regex_match(std::string(fd.cFileName), std::regex(R"(trace\.txt-\d\d-\d\d-\d{4}-\d\d-\d\d-\d\d\.txt)")));
  EXPECT_EQ(TestReadFile(dir + "\\" + fd.cFileName), "OLD CONTENT\r\n");

  path = UseLogFile("trace_append", 0x6, false, "KEPT\r\n");
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 APPENDED - -"), 0u);
  text = TestReadFile(path);
  EXPECT_EQ(text.rfind("KEPT\r\n", 0), 0u);
  EXPECT_EQ(text.find("LogFile started"), std::string::npos);
  EXPECT_NE(text.find("APPENDED line 00001"), std::string::npos);
  path = UseLogFile("trace_off", 0x1, false);
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 NOFILE - -"), 0u);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Any reader can read the log, while the plug-in that writes it is bound and
// after it is unloaded (the file stays open until the process ends).
TEST_F(TraceTest, LogFileReadableByAnyReaderWhileBoundAndAfterUnload)
{
  std::string path = UseLogFile("trace_reader", TRACE_FLAG_LOGFILE, false);
  Gate bound("DravTraceGate_Dll"), unloaded("DravTraceGate_Dll2");
  Started child;
  StartProgram(&child, "drav_child.exe dll DravTraceGate_Dll");
  for (Gate* pGate : {&bound, &unloaded}) {
    ASSERT_TRUE(pGate->AwaitReady(1));
    FILE* f = fopen(path.c_str(), "rb");   // shares neither delete nor anything beyond read and write
    EXPECT_NE(f, nullptr) << (pGate == &bound ? "bound" : "unloaded");
    if (f != nullptr) {
      char text[4096] = {};
      fread(text, 1, sizeof text - 1, f);
      fclose(f);
      EXPECT_NE(strstr(text, "DRAVMOU <"), nullptr);
    }
    pGate->Open();
  }
  EXPECT_EQ(child.Wait(), 0u);
}
