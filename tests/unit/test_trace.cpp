// Trace writer: line layout, level mask and switches from the registry, slots,
// hex dumps, the last error and the host's region, and the shared log file.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
    for (const char* sName : {"DebugLevel", "DebugFlags", "DebugLogFile"}) {
      TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, sName);
    }
    TraceResetLogFile();
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    g_dwBsFlags = m_dwSavedFlags;
  }
  DWORD m_dwSavedFlags = 0;
  // Log file settings for the processes started now, and for this one if bHere.
  std::string UseLogFile(const char* sDir, DWORD dwFlags, bool bHere)
  {
    std::string path = TestScratchDir(sDir) + "\\trace.txt";
    TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", dwFlags);
    TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
    if (bHere) {
      TraceInit("DRAVMOU");
    }
    return path;
  }
};

std::string Head(const char* sLevel = "")
{
  char s[64];
  snprintf(s, sizeof s, "DRAVMOU <%04lu> %s", GetCurrentThreadId(), sLevel);
  return s;
}

void WriteFileText(const std::string& sPath, const std::string& sText)
{
  FILE* f = fopen(sPath.c_str(), "wb");
  fwrite(sText.data(), 1, sText.size(), f);
  fclose(f);
}

void FunctionThatTraces() { TRACE_INFO("entry"); }
void FunctionThatNamesItself() { TRACE_INFO("FunctionThatNamesItself - Entry.\n"); }
int g_assertLine = 0;
void FunctionThatAsserts()
{
  g_assertLine = __LINE__ + 1;
  DRAV_ASSERT(1 == 2);
}

}  // namespace

TEST_F(TraceTest, LinesCarryModuleThreadFunctionAndLevel)
{
  TraceCapture capture;
  FunctionThatTraces();
  FunctionThatNamesItself();
  TraceSetFunction("MouMainInit");
  TraceError("bad %d", 7);
  TraceWarning("careful");
  FunctionThatAsserts();
  TraceSetFunction("Long");
  TraceInfo("%s", std::string(2000, 'x').c_str());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], Head() + "FunctionThatTraces - entry\n");
  // A format that starts with its own name is not given it twice, and keeps its one line feed.
  EXPECT_EQ(lines[1], Head() + "FunctionThatNamesItself - Entry.\n");
  EXPECT_EQ(lines[2], Head("<error> ") + "MouMainInit - bad 7\n");
  EXPECT_EQ(lines[3], Head("<warning> ") + "MouMainInit - careful\n");
  // The assertion names its function twice: once from the line start, once as its first field.
  EXPECT_EQ(lines[4], Head("<error> ") + "FunctionThatAsserts - FunctionThatAsserts - test_trace.cpp line " +
                        std::to_string(g_assertLine) + ": assert 1 == 2\n");
  // Cut to leave room for the log file's CR and the terminator, line feed kept.
  EXPECT_EQ(lines[5].size(), TRACE_LINE_SIZE - 2);
  EXPECT_EQ(lines[5].back(), '\n');
  char out[TRACE_FILE_LINE_SIZE];
  size_t n = TraceFormatFileLine(out, sizeof out, 1, 2, 3, 4, 99, lines[5].c_str());
  EXPECT_EQ(std::string(out + n - 2), "\r\n");
  EXPECT_EQ(std::string(out, 17), "01:02:03.004 [99]");
  EXPECT_STREQ(DeviceTraceName(nullptr), "pDevice is NULL");
}

TEST_F(TraceTest, LevelMaskAndRegistryValues)
{
  TraceCapture capture;
  const DWORD hidden[] = {TRACE_CAT_LIST, TRACE_CAT_FIFO, TRACE_CAT_LOCK, TRACE_CAT_INI};
  for (DWORD cat : hidden) {
    TRACE_CATEGORY(cat, "category %lx", cat);
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "system line");
  EXPECT_EQ(capture.Count("category"), 0u);
  EXPECT_TRUE(capture.Contains("system line"));
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", 0xFFFFFFFF);
  TraceInit("DRAVMOU");
  for (DWORD cat : hidden) {
    TRACE_CATEGORY(cat, "category %lx", cat);
  }
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

TEST_F(TraceTest, HexDumpLines)
{
  TraceCapture capture;
  BYTE data[45];
  for (int i = 0; i < 45; ++i) data[i] = (BYTE)(i + 0xA0);
  TraceSetFunction("Dumper");
  TraceDump("pkt", data, 45);
  TraceDump("one", data, 20);
  TraceDump("none", data, 0);
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 5u);
  std::string head = Head() + "Dumper - ";
  EXPECT_EQ(lines[0], head + "pkt data size  45 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n");
  EXPECT_EQ(lines[1], head + "pkt data (cont)       b4 b5 b6 b7 b8 b9 ba bb bc bd be bf c0 c1 c2 c3 c4 c5 c6 c7\n");
  EXPECT_EQ(lines[2], head + "pkt data (cont)       c8 c9 ca cb cc\n");
  EXPECT_EQ(lines[3], head + "one data size  20 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n");
  EXPECT_EQ(lines[4], head + "none data size 0\n");
}

TEST_F(TraceTest, EleventhThreadEvictsTheLeastRecentlyUsedSlot)
{
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
  std::vector<DWORD> ids;
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 11; ++i) {   // in turn; each keeps running until all have traced
    HANDLE hDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD id = 0;
    threads.emplace_back([&, hDone, i] {
      id = GetCurrentThreadId();
      TraceSetFunction(i == 10 ? "Eleventh" : "Early");
      SetEvent(hDone);
      WaitForSingleObject(hGo, INFINITE);
    });
    WaitForSingleObject(hDone, INFINITE);
    CloseHandle(hDone);
    ids.push_back(id);
  }
  // Fresh slots tie at stamp 0: thread i took slot i, the eleventh slot 0 again.
  EXPECT_EQ((DWORD)g_TraceSlots[0].ulThreadId, ids[10]);
  EXPECT_STREQ(g_TraceSlots[0].sFunction, "Eleventh");
  for (int i = 1; i < 10; ++i) {
    EXPECT_EQ((DWORD)g_TraceSlots[i].ulThreadId, ids[i]);
  }
  EXPECT_EQ(TraceFindThreadSlot(ids[0], FALSE), nullptr);
  TraceThreadSlot* pAgain = TraceFindThreadSlot(ids[0], TRUE);   // back: afresh, without a name
  ASSERT_NE(pAgain, nullptr);
  EXPECT_EQ(pAgain->sFunction, nullptr);
  SetEvent(hGo);
  for (auto& t : threads) t.join();
  CloseHandle(hGo);
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
}

// A trace line between a failing call and the line that prints its code.
TEST_F(TraceTest, TraceOperationsKeepTheLastError)
{
  UseLogFile("trace_lasterror", TRACE_FLAG_LOGFILE, true);   // the first line opens the file: ERROR_ALREADY_EXISTS
  WriteFileText(g_szDebugLogFile, "");
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
    ULONG_PTR api[HOST_WORD_COUNT] = {};
    api[HOST_MAIN_SHARE] = reinterpret_cast<ULONG_PTR>(&share);
    api[HOST_GBL] = reinterpret_cast<ULONG_PTR>(&gbl);
    api[HOST_MAIN] = reinterpret_cast<ULONG_PTR>(&main);
    BOOL bSaved[UMD_MAX_INSTANCES];
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) {
      bSaved[i] = g_UmdInstances[i].bInUse;
      g_UmdInstances[i].bInUse |= bFail;   // no instance record free: the framework does not start
    }
    share.dwDebugLevel = 0x1234;
    EXPECT_EQ(MouMainInit(api, 0, 0), bFail ? 0u : 1u);
    EXPECT_EQ(TraceCurrentLevel(), bFail ? g_dwDebugLevel : 0x1234u);
    for (ULONG i = 0; i < UMD_MAX_INSTANCES; ++i) {
      g_UmdInstances[i].bInUse = bSaved[i];
    }
    if (!bFail) {
      MouMainExit(0, 0);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
    EXPECT_EQ(share.dwDebugLevel, 0x1234u) << bFail;
    EXPECT_EQ(share.dwModuleCategory, 0u) << bFail;
    EXPECT_EQ(TraceCurrentLevel(), g_dwDebugLevel) << bFail;
  }
}

// Two threads of this process and two other processes, all at once: every
// line whole, in order per writer.
TEST_F(TraceTest, ThreadsAndProcessesShareTheLogFileLineByLine)
{
  std::string path = UseLogFile("trace_share", TRACE_FLAG_LOGFILE, true);
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
  EXPECT_EQ(children[0].Wait(), 0u);
  EXPECT_EQ(children[1].Wait(), 0u);
  std::regex shape(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (?:CHILD|DRAVMOU) <\d{4,}> ChildWriter - ([PT][12]) line (\d{5}) x{72})");
  std::map<std::string, int> next;
  std::set<std::string> pids;
  for (const std::string& l : FileLines(path)) {
    if (l.find(" ChildWriter - ") == std::string::npos) {
      continue;   // header, the channel's own lines; a lost line shows in the counts
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << "torn or foreign line: " << l;
    EXPECT_EQ(std::stoi(m[3]), next[m[2]]++) << l;
    pids.insert(m[1]);
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"P1", 500}, {"P2", 500}, {"T1", 500}, {"T2", 500}}));
  EXPECT_EQ(pids.size(), 3u);
}

TEST_F(TraceTest, FirstProcessKeepsTheOldFileAndWritesTheHeaderLaterOnesAppend)
{
  std::string path = UseLogFile("trace_first", 0xA, false);
  std::string dir = path.substr(0, path.rfind('\\'));
  WriteFileText(path, "OLD CONTENT\r\n");
  // The first process keeps the log mutex alive while the second one writes.
  Gate hold("DravTraceGate_Hold");
  Started first;
  StartProgram(&first, "drav_child.exe log 3 FIRST - DravTraceGate_Hold");
  ASSERT_TRUE(hold.AwaitReady(1));
  EXPECT_EQ(TestRunProgram("drav_child.exe log 3 SECOND - -"), 0u);
  hold.Open();
  EXPECT_EQ(first.Wait(), 0u);

  std::string text = TestReadFile(path);
  std::regex header(R"(^\r\nLogFile started on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d - g_dwDebugFlags:0xA - g_dwDebugLevel:FFFDECFF\r\n\r\n)");
  EXPECT_TRUE(std::regex_search(text, header)) << text;
  EXPECT_EQ(text.find("LogFile started"), text.rfind("LogFile started"));   // one header only
  EXPECT_NE(text.find("FIRST line 00002"), std::string::npos);
  EXPECT_LT(text.find("FIRST line 00002"), text.find("SECOND line 00000"));
  EXPECT_NE(text.find("SECOND line 00002"), std::string::npos);
  WIN32_FIND_DATAA fd;   // the old file went to its time-stamped name
  HANDLE hFind = FindFirstFileA((dir + "\\trace.txt-*.txt").c_str(), &fd);
  ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
  FindClose(hFind);
  EXPECT_TRUE(std::regex_match(std::string(fd.cFileName), std::regex(R"(trace\.txt-\d\d-\d\d-\d{4}-\d\d-\d\d-\d\d\.txt)")));
  EXPECT_EQ(TestReadFile(dir + "\\" + fd.cFileName), "OLD CONTENT\r\n");
}

TEST_F(TraceTest, AppendFlagKeepsTheFileAndNoFileWithoutItsFlag)
{
  std::string path = UseLogFile("trace_append", 0x6, false);
  WriteFileText(path, "KEPT\r\n");
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 APPENDED - -"), 0u);
  std::string text = TestReadFile(path);
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
    FILE* f = fopen(path.c_str(), "rb");
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

TEST_F(TraceTest, OutputFlagsDecideTheSwitches)
{
  // Read once per process, on its first passing line: checked in fresh processes.
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
}
