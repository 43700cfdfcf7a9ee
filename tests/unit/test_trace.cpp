// Trace writer: line layout, level mask and switches from the registry, slots,
// hex dumps, and the shared log file under concurrent writers.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/Trace.h"
#include "diag/TraceFormat.h"
#include "diag/TraceInternal.h"
#include "tests/unit/TestSupport.h"

static const char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV";

namespace {

// Restores the trace configuration of the test process after each case.
class TraceTest : public testing::Test {
protected:
  void TearDown() override
  {
    TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel");
    TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags");
    TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile");
    TraceResetLogFile();
    TraceStart("DRAVMOU", TRACE_CAT_MODULE);
  }
};

std::string ThreadTag()
{
  char s[32];
  snprintf(s, sizeof s, "<%04lu>", GetCurrentThreadId());
  return s;
}

std::vector<std::string> SplitLines(const std::string& s)
{
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < s.size()) {
    size_t end = s.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(s.substr(start));
      break;
    }
    lines.push_back(s.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

void FunctionThatTraces()
{
  TRACE_INFO("entry");
}

void FunctionThatNamesItself()
{
  TRACE_INFO("FunctionThatNamesItself - Entry.\n");
}

int g_assertLine = 0;
void FunctionThatAsserts()
{
  g_assertLine = __LINE__ + 1;
  DRAV_ASSERT(1 == 2);
}

}  // namespace

TEST_F(TraceTest, LineCarriesModuleThreadAndFunction)
{
  TraceCapture capture;
  FunctionThatTraces();
  FunctionThatNamesItself();
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "DRAVMOU " + ThreadTag() + " FunctionThatTraces - entry\n");
  // A format that starts with its own name is not given it twice, and keeps its one line feed.
  EXPECT_EQ(lines[1], "DRAVMOU " + ThreadTag() + " FunctionThatNamesItself - Entry.\n");
}

TEST_F(TraceTest, ErrorWarningAndAssertionLines)
{
  TraceCapture capture;
  TraceSetFunction("MouMainInit");
  TraceError("bad %d", 7);
  TraceSetFunction("MouMainInit");
  TraceWarning("careful");
  FunctionThatAsserts();
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "DRAVMOU " + ThreadTag() + " <error> MouMainInit - bad 7\n");
  EXPECT_EQ(lines[1], "DRAVMOU " + ThreadTag() + " <warning> MouMainInit - careful\n");
  // The assertion names its function twice: once from the line start, once as its first field.
  EXPECT_EQ(lines[2], "DRAVMOU " + ThreadTag() + " <error> FunctionThatAsserts - FunctionThatAsserts - test_trace.cpp line " +
                        std::to_string(g_assertLine) + ": assert 1 == 2\n");
}

TEST_F(TraceTest, LongLinesAreCutButKeepTheirEnd)
{
  TraceCapture capture;
  std::string big(2000, 'x');
  TraceSetFunction("Long");
  TraceInfo("%s", big.c_str());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), TRACE_LINE_SIZE - 2);   // room left for CR and terminator
  EXPECT_EQ(lines[0].back(), '\n');
  char out[TRACE_FILE_LINE_SIZE];
  size_t n = TraceFormatFileLine(out, sizeof out, 1, 2, 3, 4, 99, lines[0].c_str());
  EXPECT_EQ(std::string(out + n - 2), "\r\n");
  EXPECT_EQ(std::string(out, 17), "01:02:03.004 [99]");
}

TEST_F(TraceTest, DefaultLevelHidesListFifoLockAndModelLines)
{
  TraceCapture capture;
  for (DWORD cat : { TRACE_CAT_LIST, TRACE_CAT_FIFO, TRACE_CAT_LOCK, TRACE_CAT_INI }) {
    TRACE_CATEGORY(cat, "category %lx", cat);
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "system line");
  EXPECT_EQ(capture.Count("category"), 0u);
  EXPECT_TRUE(capture.Contains("system line"));

  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", 0xFFFFFFFF);
  TraceInit("DRAVMOU");
  EXPECT_EQ(g_dwDebugLevel, 0xFFFFFFFFu);
  for (DWORD cat : { TRACE_CAT_LIST, TRACE_CAT_FIFO, TRACE_CAT_LOCK, TRACE_CAT_INI }) {
    TRACE_CATEGORY(cat, "category %lx", cat);
  }
  EXPECT_EQ(capture.Count("category"), 4u);
}

TEST_F(TraceTest, RegistryValuesOfOtherSizes)
{
  // Larger than its buffer: the default stays.
  const BYTE eight[8] = { 1, 2, 3, 4, 5, 6, 7, 8 };
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", eight, sizeof eight);
  TraceInit("DRAVMOU");
  EXPECT_EQ(g_dwDebugLevel, TRACE_DEFAULT_LEVEL);
  // Shorter: a whole number, zero-extended, never mixed with the default's bytes.
  const BYTE two[2] = { 0x34, 0x12 };
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugLevel", two, sizeof two);
  TestRegSetBinary(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", two, 1);
  TraceInit("DRAVMOU");
  EXPECT_EQ(g_dwDebugLevel, 0x1234u);
  EXPECT_EQ(g_dwDebugFlags, 0x34u);
  // A log path longer than 260 bytes leaves "trace.txt".
  std::string longPath(300, 'p');
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", longPath.c_str());
  TraceInit("DRAVMOU");
  EXPECT_STREQ(g_szDebugLogFile, "trace.txt");
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", "C:\\logs\\drav.txt");
  TraceInit("DRAVMOU");
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
  std::string head = "DRAVMOU " + ThreadTag() + " Dumper - ";
  EXPECT_EQ(lines[0], head + "pkt data size  45 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n");
  EXPECT_EQ(lines[1], head + "pkt data (cont)       b4 b5 b6 b7 b8 b9 ba bb bc bd be bf c0 c1 c2 c3 c4 c5 c6 c7\n");
  EXPECT_EQ(lines[2], head + "pkt data (cont)       c8 c9 ca cb cc\n");
  EXPECT_EQ(lines[3], head + "one data size  20 is  a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af b0 b1 b2 b3\n");
  EXPECT_EQ(lines[4], head + "none data size 0\n");
}

TEST_F(TraceTest, DeviceTraceNameOfNull)
{
  EXPECT_STREQ(DeviceTraceName(nullptr), "pDevice is NULL");
}

TEST_F(TraceTest, EleventhThreadEvictsTheLeastRecentlyUsedSlot)
{
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
  std::vector<DWORD> ids;
  // Eleven threads in turn; each keeps running until all have traced.
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 11; ++i) {
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
  // Fresh slots tie at stamp 0: the first thread took slot 0, the tenth slot 9,
  // and the eleventh took the least recently used one, slot 0.
  EXPECT_EQ((DWORD)g_TraceSlots[0].ulThreadId, ids[10]);
  EXPECT_STREQ(g_TraceSlots[0].sFunction, "Eleventh");
  for (int i = 1; i < 10; ++i) {
    EXPECT_EQ((DWORD)g_TraceSlots[i].ulThreadId, ids[i]);
  }
  EXPECT_EQ(TraceFindThreadSlot(ids[0], FALSE), nullptr);
  // The first thread comes back: it starts afresh, without a function name.
  TraceThreadSlot* pAgain = TraceFindThreadSlot(ids[0], TRUE);
  ASSERT_NE(pAgain, nullptr);
  EXPECT_EQ(pAgain->sFunction, nullptr);
  SetEvent(hGo);
  for (auto& t : threads) t.join();
  CloseHandle(hGo);
  memset(g_TraceSlots, 0, sizeof g_TraceSlots);
}

TEST_F(TraceTest, TwoThreadsShareTheLogFileLineByLine)
{
  std::string dir = TestScratchDir("trace_threads");
  std::string path = dir + "\\threads.txt";
  TraceResetLogFile();
  strcpy(g_szDebugLogFile, path.c_str());
  g_dwDebugFlags = TRACE_FLAG_LOGFILE;
  constexpr int kLines = 500;
  auto writer = [](char tag) {
    for (int i = 0; i < kLines; ++i) {
      TraceSetFunction("Writer");
      TraceInfo("%c %04d %s", tag, i, "abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz");
    }
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  a.join();
  b.join();
  TraceResetLogFile();
  auto lines = SplitLines(TestReadFile(path));
  std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d \[\d+\] DRAVMOU <\d{4,}> Writer - ([AB]) (\d{4}) abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz)");
  int counts[2] = {};
  int next[2] = {};
  for (const std::string& l : lines) {
    if (l.empty() || l.rfind("LogFile started", 0) == 0) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    int w = m[1] == "A" ? 0 : 1;
    EXPECT_EQ(std::stoi(m[2]), next[w]++);
    counts[w]++;
  }
  EXPECT_EQ(counts[0], kLines);
  EXPECT_EQ(counts[1], kLines);
}

TEST_F(TraceTest, TwoProcessesNeverInterleaveWithinALine)
{
  std::string dir = TestScratchDir("trace_procs");
  std::string path = dir + "\\procs.txt";
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", TRACE_FLAG_LOGFILE | TRACE_FLAG_APPEND);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  constexpr int kLines = 1500;
  std::thread p1([&] { EXPECT_EQ(TestRunProgram("drav_child.exe log 1500 P1", 120000), 0u); });
  std::thread p2([&] { EXPECT_EQ(TestRunProgram("drav_child.exe log 1500 P2", 120000), 0u); });
  p1.join();
  p2.join();
  auto lines = SplitLines(TestReadFile(path));
  std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] CHILD <\d{4,}> ChildWriter - (P[12]) line (\d{5}) x{72})");
  std::set<std::string> pids;
  int counts[2] = {}, next[2] = {};
  for (const std::string& l : lines) {
    if (l.find("> BsInitializeClient - ") != std::string::npos) {
      continue;   // the children's set-up lines of the debug viewer channel
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << "torn or foreign line: " << l;
    int w = m[2] == "P1" ? 0 : 1;
    EXPECT_EQ(std::stoi(m[3]), next[w]++);
    counts[w]++;
    pids.insert(m[1]);
  }
  EXPECT_EQ(counts[0], kLines);
  EXPECT_EQ(counts[1], kLines);
  EXPECT_EQ(pids.size(), 2u);
}

TEST_F(TraceTest, FirstProcessKeepsTheOldFileAndWritesTheHeaderLaterOnesAppend)
{
  std::string dir = TestScratchDir("trace_first");
  std::string path = dir + "\\trace.txt";
  {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    WriteFile(h, "OLD CONTENT\r\n", 13, &n, nullptr);
    CloseHandle(h);
  }
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", 0xA);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  // The first process holds the log mutex while the second one starts.
  std::thread first([&] { EXPECT_EQ(TestRunProgram("drav_child.exe log 3 FIRST 4000", 60000), 0u); });
  Sleep(2000);
  EXPECT_EQ(TestRunProgram("drav_child.exe log 3 SECOND"), 0u);
  first.join();

  std::string text = TestReadFile(path);
  EXPECT_EQ(text.find("OLD CONTENT"), std::string::npos);
  std::regex header(R"(\r\nLogFile started on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d - g_dwDebugFlags:0xA - g_dwDebugLevel:FFFDECFF\r\n\r\n)");
  EXPECT_TRUE(std::regex_search(text, header)) << text;
  EXPECT_EQ(text.find("LogFile started"), text.rfind("LogFile started"));   // one header only
  EXPECT_NE(text.find("FIRST line 00002"), std::string::npos);
  EXPECT_NE(text.find("SECOND line 00002"), std::string::npos);
  EXPECT_LT(text.find("FIRST line 00000"), text.find("SECOND line 00000"));

  // The old file went to its time-stamped name.
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA((dir + "\\trace.txt-*.txt").c_str(), &fd);
  ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
  FindClose(hFind);
  EXPECT_TRUE(std::regex_match(std::string(fd.cFileName), std::regex(R"(trace\.txt-\d\d-\d\d-\d{4}-\d\d-\d\d-\d\d\.txt)")))
    << fd.cFileName;
  EXPECT_EQ(TestReadFile(dir + "\\" + fd.cFileName), "OLD CONTENT\r\n");
}

TEST_F(TraceTest, AppendFlagKeepsTheFileWithoutHeader)
{
  std::string dir = TestScratchDir("trace_append");
  std::string path = dir + "\\trace.txt";
  {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    WriteFile(h, "KEPT\r\n", 6, &n, nullptr);
    CloseHandle(h);
  }
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", 0x6);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 APPENDED"), 0u);
  std::string text = TestReadFile(path);
  EXPECT_EQ(text.rfind("KEPT\r\n", 0), 0u);
  EXPECT_EQ(text.find("LogFile started"), std::string::npos);
  EXPECT_NE(text.find("APPENDED line 00001"), std::string::npos);
}

TEST_F(TraceTest, NoLogFileWithoutItsFlag)
{
  std::string dir = TestScratchDir("trace_off");
  std::string path = dir + "\\trace.txt";
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", 0x1);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  EXPECT_EQ(TestRunProgram("drav_child.exe log 2 NOFILE"), 0u);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(TraceTest, OutputFlagsDecideTheSwitches)
{
  // Read once per process, on its first passing line: checked in fresh processes.
  const char kBsKey[] = "SOFTWARE\\Vantorix";
  TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 3u);   // info and warnings on
  TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", 0x001);
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 0u);   // both off after the first line
  TestRegSetDword(HKEY_CURRENT_USER, kBsKey, "BsDrav", 0x200);
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 1u);   // warnings only
  TestRegSetString(HKEY_CURRENT_USER, kBsKey, "BsDrav", "x");  // not a REG_DWORD: default stays
  EXPECT_EQ(TestRunProgram("drav_child.exe switches"), 3u);
  TestRegDelete(HKEY_CURRENT_USER, kBsKey, "BsDrav");
}

TEST_F(TraceTest, OutputFlagOperations)
{
  DWORD before = g_dwBsFlags;
  DWORD old = TraceSetOutputFlags(0x00F, 0x00F);
  EXPECT_EQ(old, before);
  EXPECT_EQ(g_dwBsFlags, (before & ~0x00Fu) | 0x00Fu);
  TraceClearOutputFlags();
  EXPECT_EQ(g_dwBsFlags, 0u);
  g_dwBsFlags = before;
}
