// Model-file text: key lookup, sections and keys, register maps, key
// sequences, the unsupported section, capability values and the merge of a
// file's text (no files, no cipher).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "models/IniMgr.h"
#include "models/IniPlatform.h"
#include "tests/unit/TestSupport.h"

namespace {

// Turns on the model-file lines and both switches for one test.
class IniTest : public testing::Test {
protected:
  IniTest()
  {
    g_dwDebugLevel |= TRACE_CAT_INI | TRACE_CAT_ERROR | TRACE_CAT_WARNING | TRACE_CAT_INFO;
    g_bTraceInfo = TRUE;
    g_bTraceWarnings = TRUE;
  }
  ~IniTest() override
  {
    g_dwDebugLevel = m_dwLevel;
    g_bTraceInfo = m_bInfo;
    g_bTraceWarnings = m_bWarn;
    IniSetAllocationFailure(0);
  }

  const DWORD m_dwLevel = g_dwDebugLevel;
  const BOOL m_bInfo = g_bTraceInfo;
  const BOOL m_bWarn = g_bTraceWarnings;
  TraceCapture capture;
};

// A mutable copy of a text for the in-place parsers.
struct Text {
  explicit Text(const std::string& s) : buf(s.begin(), s.end()) { buf.push_back('\0'); }
  char* get() { return buf.data(); }
  std::vector<char> buf;
};

// Loads one section into a fresh record; the record is freed by the test.
struct Section {
  tModelInfo model = {};
  BOOL bResult = FALSE;
  explicit Section(const std::string& s)
  {
    Text t(s);
    bResult = IniLoadSection(&model, t.get());
  }
  ~Section() { IniFreeModelInfo(&model); }
};

std::vector<ULONG> Steps(const tKeySequence& seq)
{
  return std::vector<ULONG>(seq.aulSteps, seq.aulSteps + seq.ulLength / 4);
}

}  // namespace

// ---- Key lookup -------------------------------------------------------------------

TEST_F(IniTest, KeyValueLookup)
{
  Text t("NAME \t=  Mouse One  \r\nCAP=X\n");
  char sValue[32];
  char* p = IniGetKeyValue("NAME", sValue, sizeof sValue, t.get());
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(sValue, "Mouse One  ");
  EXPECT_EQ(*p, '\r');
  EXPECT_EQ(IniGetKeyValue("MISSING", sValue, sizeof sValue, t.get()), nullptr);

  // The first acceptable occurrence: "VID" inside "DEVID" is found first; a
  // name without '=' is passed over; a value too long for the buffer too.
  Text t1("VIDEO\nDEVID = 7\nVID = 0x1234\n");
  ASSERT_NE(IniGetKeyValue("VID", sValue, sizeof sValue, t1.get()), nullptr);
  EXPECT_STREQ(sValue, "7");

  Text t2("KEY = 0123456789\nKEY = 01\n");
  char sSmall[5];
  ASSERT_NE(IniGetKeyValue("KEY", sSmall, sizeof sSmall, t2.get()), nullptr);
  EXPECT_STREQ(sSmall, "01");
  EXPECT_EQ(IniGetKeyValue("", sSmall, sizeof sSmall, t2.get()), nullptr);
}

// ---- Section headers ---------------------------------------------------------------

TEST_F(IniTest, SectionHeaders)
{
  struct Case {
    const char* sHeader;
    BOOL bResult;
    ULONG ulId, ulSubId;
    const char* sLine;   // nullptr: no line at all
  };
  const Case cases[] = {
      {"[0x0000C01E]", TRUE, 0xC01E, 0, "IniLoadSection - [0000C01E].\n"},
      {"[0xC01E-2]", TRUE, 0xC01E, 2, "IniLoadSection - [0000C01E-2].\n"},
      {"[0XC01E]", FALSE, 0, 0, "IniLoadSection - Exit - Wrong Section Header.\n"},
      {"[0xC01E", FALSE, 0, 0, "IniLoadSection - Exit - Missing ']' in Section Header.\n"},
      {"[0xZZ]", FALSE, 0, 0, "IniLoadSection - Exit - 'ZZ' Not Hexa value.\n"},
      {"[0x12-]", FALSE, 0, 0, nullptr},   // dash but only one number
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sHeader);
    capture.Clear();
    Section s(std::string(c.sHeader) + "\nNAME=A\r\n");
    EXPECT_EQ(s.bResult, c.bResult);
    if (c.bResult) {
      EXPECT_EQ(s.model.ulSectionId, c.ulId);
      EXPECT_EQ(s.model.ulSectionSubId, c.ulSubId);
    } else {
      EXPECT_EQ(s.model.sModelName, nullptr);
    }
    if (c.sLine) {
      EXPECT_TRUE(capture.Contains(c.sLine));
    }
  }
}

// ---- Section keys --------------------------------------------------------------------

// Without VID the vendor is our own; without BCDDEVICE any revision matches.
TEST_F(IniTest, PidVidAndRevisionKeys)
{
  const struct {
    const char* sKeys;
    BOOL bResult;
    USHORT usPid, usVid, usBcd, usMask;
    const char* sLine;
  } cases[] = {
      {"NAME = Plain Mouse", TRUE, 0, 0, 0, 0, nullptr},
      {"PID = 0xC01E", TRUE, 0xC01E, 0x3F1D, 0, 0, "IniLoadSection -   PID=0xC01E.\n"},
      // without 0x: invalid, nothing else counted, but the vendor is set
      {"PID = C01E", FALSE, 0, 0x3F1D, 0, 0, "IniLoadSection -   INVALID PID 'C01E'.\n"},
      // "pid" is not the key: case matters for names
      {"pid = 0x1\nPID = 0xc02a\nVID = 0x046d\nBCDDEVICE = 0x1200, 0xFF00", TRUE, 0xC02A, 0x046D, 0x1200, 0xFF00,
       "IniLoadSection -   BCDDEVICE=0x1200, MASK=0xFF00.\n"},
      // a VID without 0x is ignored; a revision without mask matches exactly
      {"PID = 0x1\nBCDDEVICE = 0x0102\nVID = 1234", TRUE, 1, 0x3F1D, 0x0102, 0xFFFF, nullptr},
      {"PID = 0x1\nVID = 0xZZ", TRUE, 1, 0x3F1D, 0, 0, "IniLoadSection -   INVALID VID '0XZZ'.\n"},
      // without PID, VID and BCDDEVICE are not read at all
      {"VID = 0x1234\nBCDDEVICE = 0x1200\nNAME=x", TRUE, 0, 0, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sKeys);
    capture.Clear();
    Section s(std::string("[0x01000001]\n") + c.sKeys + "\n\n");
    EXPECT_EQ(s.bResult, c.bResult);
    EXPECT_EQ(s.model.usPid, c.usPid);
    EXPECT_EQ(s.model.usVid, c.usVid);
    EXPECT_EQ(s.model.usBcdDevice, c.usBcd);
    EXPECT_EQ(s.model.usBcdMask, c.usMask);
    if (c.sLine) {
      EXPECT_TRUE(capture.Contains(c.sLine));
    }
    EXPECT_TRUE(c.bResult || capture.Contains(": assert FALSE"));
  }
}

TEST_F(IniTest, DecimalAndHexKeys)
{
  Section s("[0x1]\nMWID = 0x10\nDEVID = 12\nSUBID = 260\nQID = 0x1234\nLNPCOL = 0xdeadBEEF\n\n");
  EXPECT_TRUE(s.bResult);
  EXPECT_EQ(s.model.ulMwid, 0u);   // decimal reading stops at the x
  EXPECT_EQ(s.model.ulDevId, 12u);
  EXPECT_EQ(s.model.ulSubId, 260u);
  EXPECT_EQ(s.model.usQid, 0x1234);
  EXPECT_EQ(s.model.ulLnpCol, 0xDEADBEEFu);
  EXPECT_TRUE(capture.Contains("IniLoadSection -   MWID=0.\n"));
  EXPECT_TRUE(capture.Contains("IniLoadSection -   QID=0x1234.\n"));

  Section bad("[0x1]\nMWID = x\nLNPCOL = 12\nQID = 12\n\n");
  EXPECT_FALSE(bad.bResult);
  EXPECT_TRUE(capture.Contains("IniLoadSection -   INVALID MWID 'x'.\n"));
  EXPECT_TRUE(capture.Contains("IniLoadSection -   Invalid numeric value format '12'.\n"));
  EXPECT_TRUE(capture.Contains("IniLoadSection -   INVALID QID '12'.\n"));

  Section lnpOnly("[0x1]\nLNPCOL = 0x5\n\n");   // LNPCOL alone does not make a model
  EXPECT_FALSE(lnpOnly.bResult);
  EXPECT_EQ(lnpOnly.model.ulLnpCol, 5u);
}

TEST_F(IniTest, StringKeys)
{
  Section s("[0x1]\nCAP = WHEEL\nDEPTH = MOU#0x21\nMINTERM = MOU KBD\nREMAP = R\nCACHE = C1\n\n");
  EXPECT_TRUE(s.bResult);
  EXPECT_STREQ(s.model.sCap, "WHEEL");
  EXPECT_STREQ(s.model.sDepth, "MOU#0x21");
  EXPECT_STREQ(s.model.sMinTerm, "MOU KBD");
  EXPECT_STREQ(s.model.sRemap, "R");
  EXPECT_STREQ(s.model.sCache, "C1");
  EXPECT_EQ(s.model.sModelName, nullptr);

  std::string s255(255, 'n'), s256(256, 'n');
  Section ok("[0x1]\nNAME = " + s255 + "\n\n");
  ASSERT_NE(ok.model.sModelName, nullptr);
  EXPECT_EQ(strlen(ok.model.sModelName), 255u);
  Section tooLong("[0x1]\nNAME = " + s256 + "\n\n");
  EXPECT_FALSE(tooLong.bResult);
  EXPECT_EQ(tooLong.model.sModelName, nullptr);
}

TEST_F(IniTest, StringAllocationFailureLeavesFieldNull)
{
  IniSetAllocationFailure(1);
  Section s("[0x1]\nCAP = WHEEL\nNAME = N\n\n");
  EXPECT_TRUE(s.bResult);
  EXPECT_EQ(s.model.sCap, nullptr);
  EXPECT_STREQ(s.model.sModelName, "N");
}

TEST_F(IniTest, FreeModelInfoClearsEverything)
{
  tModelInfo model = {};
  Text t("[0x1]\nNAME=a\nCAP=b\nREG=1\nKEY=0x3A,0x04\nKEY=0x3B\n\n");
  ASSERT_TRUE(IniLoadSection(&model, t.get()));
  ASSERT_NE(model.pKeyList, nullptr);
  IniFreeModelInfo(&model);
  EXPECT_EQ(model.sModelName, nullptr);
  EXPECT_EQ(model.sCap, nullptr);
  EXPECT_EQ(model.sReg, nullptr);
  EXPECT_EQ(model.pKeyList, nullptr);
  IniFreeModelInfo(nullptr);
  EXPECT_TRUE(capture.Contains("pModel is NULL"));
}

// ---- Register maps ----------------------------------------------------------------------

TEST_F(IniTest, RegListsBecomeMaps)
{
  const std::string sZeros = "-00000000-00000000-00000000-00000000-00000000-00000000-00000000";
  const std::string sMap = "0x000000EA-00000000-00000000-00000000-00000000-00000000-00000000-0000000F";
  const struct {
    std::string sList, sMap;
  } cases[] = {
      {"1, 3", "0x0000000B" + sZeros},   // the blank after the comma is an empty number: bit 0
      {"1,3,5-7", "0x000000EA" + sZeros},
      {sMap, sMap},
      {"0x20,32-33,250-300,300,7-5,255",
       "0x00000000-00000003-00000000-00000000-00000000-00000000-00000000-FC000000"},
  };
  for (const auto& c : cases) {
    Section s("[0x1]\nREG = " + c.sList + "\n\n");
    EXPECT_TRUE(s.bResult);
    ASSERT_NE(s.model.sReg, nullptr);
    EXPECT_EQ(std::string(s.model.sReg), c.sMap);
  }
  EXPECT_TRUE(capture.Contains("RegStringToMap - list is 1, 3\n"));
  EXPECT_TRUE(capture.Contains("RegStringToMap - map is 0x0000000B-"));
  char sSmall[16] = "1,2";
  RegStringToMap(sSmall, sizeof sSmall);
  EXPECT_STREQ(sSmall, "1,2");
}

// ---- Key sequences --------------------------------------------------------------------------

TEST_F(IniTest, KeySequences)
{
  const struct {
    const char* sText;
    BOOL bResult;
    std::vector<ULONG> steps;
    const char* sLine;   // nullptr: none checked
  } cases[] = {
      {"0x0000003A,0x000000E1+0x04,EVT#0x00000010+0x05", TRUE,
       {0x03010001, 0x000700E1, 0x00070004, 0x03020082, 0x00000010, 0x00070005}, nullptr},
      {"0x3A,EVT#0x1+JMP#0x2+0x00070004+0x04+0x000C00E9  ", TRUE,
       {0x06030883, 0x1, 0x2, 0x00070004, 0x00070004, 0x000C00E9}, nullptr},
      {"0x0000003A", TRUE, {}, nullptr},
      {"0x3A,", TRUE, {0x01010003}, nullptr},   // one empty step, first and last
      {"0x3A,\"ab\"", TRUE, {0x02010001, 0x00070004, 0x01010000, 0x02010000, 0x00070005, 0x01010002}, nullptr},
      {"0x3A,\"aB1\x7F\"", TRUE,
       {0x02010001, 0x00070004, 0x01010000, 0x02010000, 0x0007001E, 0x01010000, 0x02010000, 0x0007002A, 0x01010002},
       "<error> ParseKeySequence - Shifted ascii characters are not supported in string format key sequences"},
      {"0x3A,\"ab", FALSE, {}, "<error> ParseKeySequence - unterminated string"},
      {"0x3A,0x04+EVT#0x10", FALSE, {},
       "key sequence has flags following the usage codes - they should precede them instead"},
      {"3A,0x04", FALSE, {}, "bad key usage code"},
      {"0x3A,EVT#10", FALSE, {}, "bad EVT usage code"},
      {"0x3A,0x04 x", FALSE, {}, "bad KEY value format: x"},
      {"0x3A,0xG", FALSE, {}, nullptr},
      {"0x0000003A1", FALSE, {}, nullptr},   // eight hex digits at most: the ninth is left over
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sText);
    capture.Clear();
    tKeySequence seq;
    ASSERT_EQ(ParseKeySequence(&seq, c.sText), c.bResult);
    if (c.bResult) {
      EXPECT_EQ(seq.ulKeyCode, 0x3Au);
      EXPECT_EQ(seq.ulLength, 4 * c.steps.size());
      EXPECT_EQ(Steps(seq), c.steps);
    }
    if (c.sLine) {
      EXPECT_TRUE(capture.Contains(c.sLine));
    }
  }
}

TEST_F(IniTest, KeySequenceLimitOf800Bytes)
{
  std::string s = "0x3A,0x04";
  for (int i = 1; i < 199; ++i) s += "+0x04";   // header + 199 entries = 800 bytes
  tKeySequence seq;
  ASSERT_TRUE(ParseKeySequence(&seq, s.c_str()));
  EXPECT_EQ(seq.ulLength, 800u);
  EXPECT_FALSE(ParseKeySequence(&seq, (s + "+0x04").c_str()));
  EXPECT_TRUE(capture.Contains("sequence too long"));
  EXPECT_FALSE(ParseKeySequence(&seq, (s + ",0x04").c_str()));   // no room for another header
}

TEST_F(IniTest, KeyListsInFileOrderAndSizedToContent)
{
  // A 255-character value is taken, one of 256 is refused.
  std::string s255 = "0x0000003A";
  for (int i = 0; i < 49; ++i) s255 += ",0x04";
  ASSERT_EQ(s255.size(), 255u);
  Text t("KEY = 0x3A,0x04\nKEY = " + s255 + " \nKEY = " + s255 + "\nKEY = 0x3B\n");
  tKeySequence* pList = nullptr;
  ASSERT_TRUE(IniLoadKeyList("KEY", &pList, t.get()));
  EXPECT_EQ(capture.Count("INI string too long"), 1u);
  ASSERT_NE(pList, nullptr);
  EXPECT_EQ(pList->ulKeyCode, 0x3Au);
  EXPECT_EQ(pList->ulLength, 8u);
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, pList), KEY_SEQUENCE_HEADER_SIZE + 8);
  ASSERT_NE(pList->pNext, nullptr);
  EXPECT_EQ(pList->pNext->ulLength, 49u * 8);
  ASSERT_NE(pList->pNext->pNext, nullptr);
  EXPECT_EQ(pList->pNext->pNext->ulKeyCode, 0x3Bu);
  EXPECT_EQ(pList->pNext->pNext->pNext, nullptr);
  tModelInfo model = {};
  model.pKeyList = pList;
  IniFreeModelInfo(&model);

  EXPECT_FALSE(IniLoadKeyList("KEY", nullptr, t.get()));
  EXPECT_TRUE(capture.Contains("assert psDest"));
}

TEST_F(IniTest, KeyListAllocationFailureDropsOneSequence)
{
  Text t("KEY = 0x3A,0x04\nKEY = 0x3B\n");
  tKeySequence* pList = nullptr;
  IniSetAllocationFailure(1);
  ASSERT_TRUE(IniLoadKeyList("KEY", &pList, t.get()));
  EXPECT_TRUE(capture.Contains("MEMALLOC failed"));
  ASSERT_NE(pList, nullptr);
  EXPECT_EQ(pList->ulKeyCode, 0x3Bu);
  EXPECT_EQ(pList->pNext, nullptr);
  tModelInfo model = {};
  model.pKeyList = pList;
  IniFreeModelInfo(&model);
}

// ---- Unsupported section ------------------------------------------------------------------------

namespace {
struct Unsupported {
  ULONG* pList = nullptr;
  ULONG ulCount = 0;
  BOOL bResult = FALSE;
  BOOL Load(const std::string& s)
  {
    Text t(s);
    bResult = IniLoadUnsupportedSection(&pList, &ulCount, t.get());
    return bResult;
  }
  std::vector<ULONG> Entries() const { return pList ? std::vector<ULONG>(pList, pList + ulCount) : std::vector<ULONG>(); }
  ~Unsupported() { IniHeapFree(pList); }
};
}  // namespace

TEST_F(IniTest, UnsupportedExampleIsSorted)
{
  Unsupported u;
  ASSERT_TRUE(u.Load("[Unsupported]\r\nPID=0xC001,0xC002\r\nMWID=0x1234\r\n"));
  std::vector<ULONG> expected = {0x01001234, 0x0300C001, 0x0300C002};
  EXPECT_EQ(u.Entries(), expected);
  EXPECT_TRUE(capture.Contains("\nParseUnsupportedListKey - Found Unsupported PID: 0xc001 Index : 0x0.\n"));
  EXPECT_TRUE(capture.Contains("\nParseUnsupportedListKey - Added Unsupported MWID: 0x1234 Unknown: 0x1001234.\n"));

  // A second unsupported section of the same load is refused.
  Text t("[UNSUPPORTED]\nPID=0x1\n");
  EXPECT_FALSE(IniLoadUnsupportedSection(&u.pList, &u.ulCount, t.get()));
  EXPECT_TRUE(capture.Contains("IniLoadUnsupportedSection - Exit - Duplicate Unsupported Section.\n"));
  EXPECT_EQ(u.ulCount, 3u);
}

TEST_F(IniTest, UnsupportedLinesAndTheirEnds)
{
  const struct {
    const char* sText;
    std::vector<ULONG> expected;
  } cases[] = {
      // decimal values, digits after the type name, any letter case; the blank before '=' ends the section
      {"[unsupported]\nQID=4660\npid2 = 5\n", {0x05001234}},
      {"[Unsupported]\nMWID=0x1\nPID = 0xC001\nQID=0x5\n", {0x01000001}},
      // a character that is no number ends its line only; the last line has no LF
      {"[Unsupported]\nPID=0xC001,G5,0xC002\nFWID=0x\nSUBID=12AB\nMWID=7", {0x01000007, 0x0300C001, 0x0400000C}},
      // a type name without '=' on its line
      {"[Unsupported]\nPID 0xC001\nMWID=1\n", {}},
      {"[Unsupported]\nPID", {}},
      {"[Unsupported]", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sText);
    Unsupported u;
    ASSERT_TRUE(u.Load(c.sText));
    EXPECT_EQ(u.Entries(), c.expected);
    EXPECT_EQ(u.ulCount, c.expected.size());
  }
}

TEST_F(IniTest, UnsupportedPointersAndHeader)
{
  Text t("[Unsupported]\nPID=0x1\n");
  ULONG* pList = nullptr;
  ULONG ulCount = 0;
  EXPECT_FALSE(IniLoadUnsupportedSection(&pList, nullptr, t.get()));
  EXPECT_TRUE(capture.Contains(
      "IniLoadUnsupportedSection - Exit - Must provide non-null pointer to ulUnsupportedCount.\n"));
  EXPECT_TRUE(IniLoadUnsupportedSection(nullptr, &ulCount, t.get()));
  EXPECT_EQ(ulCount, 0u);
  Text t2("[0x01000001]\nPID=0x1\n");
  EXPECT_FALSE(IniLoadUnsupportedSection(&pList, &ulCount, t2.get()));
  Text t3("[Unsupp");
  EXPECT_FALSE(IniLoadUnsupportedSection(&pList, &ulCount, t3.get()));
  EXPECT_EQ(pList, nullptr);
}

TEST_F(IniTest, UnsupportedAllocationFailureHandsOutNothing)
{
  Unsupported u;
  IniSetAllocationFailure(1);
  EXPECT_FALSE(u.Load("[Unsupported]\nPID=0xC002,0xC001\n"));
  EXPECT_TRUE(capture.Contains("IniLoadUnsupportedSection - Exit - Could not allocate memory.\n"));
  EXPECT_EQ(u.pList, nullptr);
  EXPECT_EQ(u.ulCount, 0u);
  // A later section can still be loaded.
  ASSERT_TRUE(u.Load("[Unsupported]\nPID=0xC002,0xC001\n"));
  std::vector<ULONG> expected = {0x0300C001, 0x0300C002};
  EXPECT_EQ(u.Entries(), expected);
}

TEST_F(IniTest, UnsupportedFillingPassStaysInRange)
{
  Text t("PID=0x1,0x2\n");
  ULONG aulList[1] = {};
  ULONG* pList = aulList;
  ULONG ulCount = 1;
  ULONG ulIndex = 0;
  BOOL bEnd = FALSE;
  ParseUnsupportedListKey(&bEnd, t.get(), &ulCount, &ulIndex, &pList);
  EXPECT_EQ(aulList[0], 0x03000001u);
  EXPECT_EQ(ulIndex, 1u);
  EXPECT_TRUE(capture.Contains("ParseUnsupportedListKey - UnsupportedIndex is out of range.\n"));
  ULONG* pNull = nullptr;
  Text t2("PID=0x1\n");
  ParseUnsupportedListKey(&bEnd, t2.get(), &ulCount, &ulIndex, &pNull);
  EXPECT_TRUE(capture.Contains("ParseUnsupportedListKey - Must Allocate some space for Unsupported list .\n"));
}

// ---- Capability values -----------------------------------------------------------------------------

TEST_F(IniTest, ParseIntValue)
{
  EXPECT_EQ(IniParseIntValue("XMOU#5", "MOU"), 5u);
  EXPECT_EQ(IniParseIntValue("MOU#0x12 KBD#0x21", "MOU"), 0x12u);
  EXPECT_EQ(IniParseIntValue("MOU#0x12 KBD#0x21", "KBD"), 0x21u);
  EXPECT_EQ(IniParseIntValue("MOU KBD", "MOU"), 1u);
  EXPECT_EQ(IniParseIntValue("MOU KBD", "KBD"), 1u);
  EXPECT_EQ(IniParseIntValue("MOUSE MOU\\X", "MOU"), 1u);
  EXPECT_EQ(IniParseIntValue("MOUSE", "MOU"), 0u);
  EXPECT_EQ(IniParseIntValue("MOU#0x00002103", "MOU"), 0x2103u);
  EXPECT_EQ(IniParseIntValue("MOU#0X12", "MOU"), 0u);   // hexadecimal only after a lower-case "0x"
  EXPECT_EQ(IniParseIntValue("MOU#12", "MOU"), 12u);
  EXPECT_TRUE(capture.Contains("ParseIntValue - Integer Cap[ MOU ] = 8451 0x2103.\n"));
  EXPECT_TRUE(capture.Contains("ParseIntValue - Flag [ KBD ] = TRUE.\n"));
  EXPECT_EQ(IniParseIntValue(nullptr, "MOU"), 0u);
  EXPECT_TRUE(capture.Contains("Null capability string."));
  EXPECT_EQ(IniParseIntValue("MOU", nullptr), 0u);
  EXPECT_TRUE(capture.Contains("Device capability name is NULL."));
}

// ---- Comments and the merge of one text -----------------------------------------------------------

namespace {
struct Work {
  IniWorkArea area = {};
  ULONG* pUnsupported = nullptr;
  ULONG ulUnsupported = 0;
  Work() { area.pRecords = static_cast<tModelInfo*>(IniHeapAlloc(INI_WORK_AREA_SIZE)); }
  ~Work()
  {
    for (ULONG i = 0; i < area.ulCount; ++i) IniFreeModelInfo(&area.pRecords[i]);
    IniHeapFree(area.pRecords);
    IniHeapFree(pUnsupported);
  }
  ULONG Merge(const std::string& s, BOOL bWarn = TRUE)
  {
    Text t(s);
    IniStripComments(t.get());
    return IniMergeText(&area, &pUnsupported, &ulUnsupported, t.get(), bWarn);
  }
};
}  // namespace

TEST_F(IniTest, CommentsTakeTheirLineBreaksAlong)
{
  Text t(";DRAV\r\n\r\n[0x1]\nNAME=a;b\r\nCAP=x\n; last\n");
  size_t n = IniStripComments(t.get());
  EXPECT_STREQ(t.get(), "[0x1]\nNAME=aCAP=x\n");
  EXPECT_EQ(n, strlen(t.get()));
}

TEST_F(IniTest, MergeCutsSectionsAndLosesTheCharacterBeforeTheLastOne)
{
  Work w;
  EXPECT_EQ(w.Merge("junk before\n[0x1]\nNAME=first\n[0x2]\nNAME=abc\r\n"), 2u);
  ASSERT_EQ(w.area.ulCount, 2u);
  EXPECT_STREQ(w.area.pRecords[0].sModelName, "first");
  EXPECT_STREQ(w.area.pRecords[1].sModelName, "abc");   // CR LF at the end: nothing lost

  EXPECT_EQ(w.Merge("[0x3]\nNAME=abc\n"), 1u);
  EXPECT_STREQ(w.area.pRecords[2].sModelName, "ab");    // bare LF: the last character goes

  EXPECT_EQ(w.Merge("[0x4]\nNAME=a;comment\nCAP=x\r\n"), 1u);
  EXPECT_STREQ(w.area.pRecords[3].sModelName, "aCAP=x");
  EXPECT_STREQ(w.area.pRecords[3].sCap, "x");
  EXPECT_EQ(w.Merge(""), 0u);
  EXPECT_EQ(w.Merge("["), 0u);
  EXPECT_EQ(w.Merge("[0x5]"), 0u);
}

TEST_F(IniTest, MergeKeepsTheFirstDefinition)
{
  Work w;
  EXPECT_EQ(w.Merge("[0xC01E]\nNAME=one\n\n[0x0000C01E]\nNAME=two\n\n"), 1u);
  EXPECT_STREQ(w.area.pRecords[0].sModelName, "one");
  EXPECT_EQ(capture.Count("Model Overwrite (0000C01E-0).\n"), 1u);
  capture.Clear();
  EXPECT_EQ(w.Merge("[0xC01E-0]\nNAME=three\n\n", FALSE), 0u);
  EXPECT_FALSE(capture.Contains("Model Overwrite"));
  EXPECT_EQ(w.area.ulCount, 1u);
}

TEST_F(IniTest, MergeTakesOneUnsupportedSection)
{
  Work w;
  EXPECT_EQ(w.Merge("[Unsupported]\nPID=0xC001\n[0x1]\nNAME=n\n[Unsupported]\nPID=0xC002\n\n"), 1u);
  ASSERT_EQ(w.ulUnsupported, 1u);
  EXPECT_EQ(w.pUnsupported[0], 0x0300C001u);
  EXPECT_TRUE(capture.Contains("IniLoadUnsupportedSection - Exit - Duplicate Unsupported Section.\n"));
  EXPECT_TRUE(capture.Contains("IniLoadSection - Exit - Wrong Section Header.\n"));
}

TEST_F(IniTest, MergeRefusesRecordsBeyondTheWorkArea)
{
  Work w;
  std::string s;
  for (ULONG i = 0; i < INI_MAX_MODELS; ++i) {
    char sHeader[48];
    snprintf(sHeader, sizeof sHeader, "[0x%X]\nMWID=%lu\n", (unsigned)(0x01000000 + i), i);
    s += sHeader;
  }
  EXPECT_EQ(w.Merge(s + "[0x02000000]\nNAME=extra\n\n"), INI_MAX_MODELS);
  EXPECT_EQ(w.area.ulCount, INI_MAX_MODELS);
  EXPECT_TRUE(capture.Contains("Model table full (1024 models): model (02000000-0) dropped.\n"));
}
