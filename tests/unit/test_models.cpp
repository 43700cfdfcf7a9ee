// Model files: their text (sections, key sequences, the unsupported section,
// capability values, the merge) and files on disk, plain and enciphered.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "models/Blowfish.h"
#include "models/IniMgr.h"
#include "models/IniPlatform.h"
#include "tests/unit/TestSupport.h"

namespace {

// Model-file lines and warnings on for one test; its files in a scratch folder of its own.
class IniTest : public testing::Test {
protected:
  ~IniTest() override
  {
    g_bTraceWarnings = m_bWarn;
    IniSetAllocationFailure(0);
    IniSetWriteFault(INI_WRITE_OK);
  }
  const BOOL m_bWarn = std::exchange(g_bTraceWarnings, TRUE);
  TraceLevel level{TRACE_CAT_INI | TRACE_CAT_ERROR | TRACE_CAT_WARNING};
  TraceCapture capture;
  const std::string sDir = TestScratchDir(std::string("Ini") + testing::UnitTest::GetInstance()->current_test_info()->name());
  bool Said(const char* sLine) { return sLine == nullptr || capture.Contains(sLine); }   // nullptr: nothing to say
  std::string Write(const std::string& sName, const std::string& sData)
  {
    std::ofstream(sDir + "\\" + sName, std::ios::binary) << sData;
    return sDir + "\\" + sName;
  }
};

// A model table with its unsupported list, as a caller of the loader keeps it.
struct Db {
  tModelInfo* pTable = nullptr;
  ULONG ulCount = 0;
  ULONG* pUnsupported = nullptr;
  ULONG ulUnsupported = 0;
  ~Db()
  {
    IniFreeModelTable(pTable, ulCount);
    IniHeapFree(pUnsupported);
  }
  ULONG Load(const std::string& sFile, ULONG ulFlags = 0)
  {
    return IniLoadFile(&pTable, &ulCount, &pUnsupported, &ulUnsupported, sFile.c_str(), ulFlags, TRUE);
  }
  BOOL LoadUnsupported(std::string s) { return IniLoadUnsupportedSection(&pUnsupported, &ulUnsupported, s.data()); }
  // Every record and the unsupported list, one line each.
  std::string All() const
  {
    std::string s;
    for (ULONG i = 0; i < ulCount; ++i) s += TestDescribeModel(&pTable[i]) + "\n";
    for (ULONG i = 0; i < ulUnsupported; ++i) {
      char sEntry[16];
      snprintf(sEntry, sizeof sEntry, "%08lX ", (unsigned long)pUnsupported[i]);
      s += sEntry;
    }
    return s;
  }
};

std::string Sealed(const std::string& sPlain)
{
  size_t ulSize = 0;
  uint8_t* p = IniEnvelopeSeal(sPlain.data(), sPlain.size(), &ulSize);
  std::string s(reinterpret_cast<char*>(p), ulSize);
  IniHeapFree(p);
  return s;
}

// A plain model file, and its records and unsupported list as Db::All gives them.
const std::string kPlain =
    ";DRAV test models\r\n"
    "[0x01000001]\r\nNAME = One\r\nPID = 0xC01E\r\nKEY = 0x3A,0x04\r\nREG = 1,3,5-7\r\n"
    "[0x01000002-3]\r\nNAME = Two ; a comment\r\nVID = 0x046D\r\nPID = 0xC02A\r\nBCDDEVICE = 0x1200, 0xFF00\r\n"
    "[Unsupported]\r\nPID=0xC001,0xC002\r\nMWID=0x1234\r\n";
const std::string kPlainModels =
    "[01000001-0] NAME=One REG=0x000000EA-00000000-00000000-00000000-00000000-00000000-00000000-00000000 KEY=3A/8 "
    "VID=3F1D PID=C01E\n[01000002-3] NAME=Two VID = 0x046D VID=046D PID=C02A BCD=1200/FF00\n"
    "01001234 0300C001 0300C002 ";

}  // namespace

// A section's keys and header, the record they make (TestDescribeModel: the
// fields that are set) and what a refused value says. A key is found where its
// name is first followed by '=' (inside another name too) and its value fits;
// without VID the vendor is our own; without BCDDEVICE any revision matches;
// names are case-sensitive. (The usual sections: the model files below.)
TEST_F(IniTest, SectionsMakeRecords)
{
  const std::string s255(255, 'n'), s300(300, 'n');
  const std::string sZeros = "-00000000-00000000-00000000-00000000-00000000-00000000-00000000";
  const std::string sMap = "0x000000EA-00000000-00000000-00000000-00000000-00000000-00000000-0000000F";
  std::string sKey255 = "0x0000003A";
  for (int i = 0; i < 49; ++i) sKey255 += ",0x04";
  const struct {
    std::string sText;
    BOOL bResult;
    std::string sModel;
    const char* sSaid = nullptr;
    ULONG ulFailNth = 0;   // allocation that fails
  } cases[] = {
      {"[0x1]\nNAME \t=  Mouse One  \r\nCAPS\nCAP=X\n\n", TRUE, "[00000001-0] NAME=Mouse One   CAP=X"},
      {"[0x1]\nPID = 0x1\nDEVID = 7\nVID = 0x1234\n\n", TRUE, "[00000001-0] VID=3F1D PID=0001 DEVID=7"},
      {"[0x1]\nNAME = " + s300 + "\nNAME = N\n\n", TRUE, "[00000001-0] NAME=N"},
      {"[0XC01E]\nNAME=A\r\n", FALSE, "[00000000-0]"},
      {"[0xC01E\nNAME=A\r\n", FALSE, "[00000000-0]"},
      {"[0xZZ]\nNAME=A\r\n", FALSE, "[00000000-0]"},
      {"[0x12-]\nNAME=A\r\n", FALSE, "[00000000-0]"},   // dash but only one number
      // without 0x: invalid, nothing else counted, but the vendor is set
      {"[0x1]\nPID = C01E\n\n", FALSE, "[00000001-0] VID=3F1D", "IniLoadSection -   INVALID PID 'C01E'.\n"},
      {"[0x1]\npid = 0x1\nPID = 0xc02a\nVID = 0x046d\nBCDDEVICE = 0x1200, 0xFF00\n\n", TRUE,
       "[00000001-0] VID=046D PID=C02A BCD=1200/FF00"},
      // a VID without 0x is ignored; a revision without mask matches exactly
      {"[0x1]\nPID = 0x1\nBCDDEVICE = 0x0102\nVID = 1234\n\n", TRUE, "[00000001-0] VID=3F1D PID=0001 BCD=0102/FFFF"},
      {"[0x1]\nPID = 0x1\nVID = 0xZZ\n\n", TRUE, "[00000001-0] VID=3F1D PID=0001", "IniLoadSection -   INVALID VID '0XZZ'.\n"},
      // without PID, VID and BCDDEVICE are not read at all
      {"[0x1]\nVID = 0x1234\nBCDDEVICE = 0x1200\nNAME=x\n\n", TRUE, "[00000001-0] NAME=x"},
      // decimal reading stops at the x
      {"[0x1]\nMWID = 0x10\nDEVID = 12\nSUBID = 260\nQID = 0x1234\nLNPCOL = 0xdeadBEEF\n\n", TRUE,
       "[00000001-0] LNPCOL=DEADBEEF DEVID=12 SUBID=260 QID=1234"},
      {"[0x1]\nMWID = x\nQID = 12\n\n", FALSE, "[00000001-0]", "IniLoadSection -   INVALID MWID 'x'.\n"},
      {"[0x1]\nLNPCOL = 12\n\n", FALSE, "[00000001-0]", "IniLoadSection -   Invalid numeric value format '12'.\n"},
      {"[0x1]\nLNPCOL = 0x5\n\n", FALSE, "[00000001-0] LNPCOL=5"},   // LNPCOL alone does not make a model
      {"[0x1]\nCAP = WHEEL\nDEPTH = MOU#0x21\nMINTERM = MOU KBD\nREMAP = R\nCACHE = C1\n\n", TRUE,
       "[00000001-0] CAP=WHEEL DEPTH=MOU#0x21 MINTERM=MOU KBD REMAP=R CACHE=C1"},
      {"[0x1]\nNAME = " + s255 + "\n\n", TRUE, "[00000001-0] NAME=" + s255},
      {"[0x1]\nNAME = " + s255 + "n\n\n", FALSE, "[00000001-0]"},
      {"[0x1]\nCAP = WHEEL\nNAME = N\n\n", TRUE, "[00000001-0] NAME=N", nullptr, 1},   // the failed copy stays null
      // register lists become maps; the blank after the comma is an empty number: bit 0
      {"[0x1]\nREG = 1, 3\n\n", TRUE, "[00000001-0] REG=0x0000000B" + sZeros},
      {"[0x1]\nREG = " + sMap + "\n\n", TRUE, "[00000001-0] REG=" + sMap},
      {"[0x1]\nREG = 0x20,32-33,250-300,300,7-5,255\n\n", TRUE,
       "[00000001-0] REG=0x00000000-00000003-00000000-00000000-00000000-00000000-00000000-FC000000"},
      // key sequences in file order: 255 characters are taken, 256 refused; a failed allocation drops one
      {"[0x1]\nKEY = 0x3A,0x04\nKEY = " + sKey255 + " \nKEY = " + sKey255 + "\nKEY = 0x3B\n\n", TRUE,
       "[00000001-0] KEY=3A/8 KEY=3A/392 KEY=3B/0", "INI string too long"},
      {"[0x1]\nKEY = 0x3A,0x04\nKEY = 0x3B\n\n", TRUE, "[00000001-0] KEY=3B/0", "MEMALLOC failed", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sText.substr(0, 60));
    capture.Clear();
    IniSetAllocationFailure(c.ulFailNth);
    tModelInfo model = {};
    EXPECT_EQ(IniLoadSection(&model, std::string(c.sText).data()), c.bResult);
    EXPECT_EQ(TestDescribeModel(&model), c.sModel);
    EXPECT_TRUE(Said(c.sSaid)) << c.sSaid;
    IniFreeModelInfo(&model);
  }
  // Each sequence sized to its content; freeing clears every field it frees.
  tModelInfo model = {};
  IniLoadSection(&model, std::string("[0x1]\nNAME=a\nCAP=b\nREG=1\nKEY=0x3A,0x04\nKEY=0x3B\n\n").data());
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, model.pKeyList), KEY_SEQUENCE_HEADER_SIZE + 8);
  IniFreeModelInfo(&model);
  EXPECT_EQ(TestDescribeModel(&model), "[00000001-0]");
}

TEST_F(IniTest, KeySequences)
{
  std::string s800 = "0x3A,0x04";
  for (int i = 1; i < 199; ++i) s800 += "+0x04";   // header + 199 entries = 800 bytes
  const struct {
    std::string sText;
    BOOL bResult;
    std::vector<ULONG> steps;
    const char* sLine;
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
      {"0x3A,0x04+EVT#0x10", FALSE, {}, "key sequence has flags following the usage codes - they should precede them instead"},
      {"3A,0x04", FALSE, {}, "bad key usage code"},
      {"0x3A,EVT#10", FALSE, {}, "bad EVT usage code"},
      {"0x3A,0x04 x", FALSE, {}, "bad KEY value format: x"},
      {"0x3A,0xG", FALSE, {}, nullptr},
      {"0x0000003A1", FALSE, {}, nullptr},   // eight hex digits at most: the ninth is left over
      {s800, TRUE, std::vector<ULONG>(200), nullptr},
      {s800 + "+0x04", FALSE, {}, "sequence too long"},
      {s800 + ",0x04", FALSE, {}, nullptr},   // no room for another header
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sText.substr(0, 60));
    capture.Clear();
    tKeySequence seq;
    ASSERT_EQ(ParseKeySequence(&seq, c.sText.c_str()), c.bResult);
    if (c.bResult) {
      EXPECT_EQ(seq.ulKeyCode, 0x3Au);
      EXPECT_EQ(seq.ulLength, 4 * c.steps.size());
      EXPECT_TRUE(c.steps.size() == 200 || std::vector<ULONG>(seq.aulSteps, seq.aulSteps + c.steps.size()) == c.steps);
    }
    EXPECT_TRUE(Said(c.sLine)) << c.sLine;
  }
}

// Sorted; decimal values, digits after the type name and any letter case
// taken; a blank before '=' or a type name without '=' ends the section; a
// character that is no number ends its line only.
TEST_F(IniTest, UnsupportedSection)
{
  const struct {
    const char* sText;
    const char* sList;     // as Db::All gives it
    ULONG ulFailNth = 0;   // allocation that fails
  } cases[] = {
      {"[unsupported]\nQID=4660\npid2 = 5\n", "05001234 "},
      {"[Unsupported]\nMWID=0x1\nPID = 0xC001\nQID=0x5\n", "01000001 "},
      {"[Unsupported]\nPID=0xC001,G5,0xC002\nFWID=0x\nSUBID=12AB\nMWID=7", "01000007 0300C001 0400000C "},
      {"[Unsupported]\nPID 0xC001\nMWID=1\n", ""},
      {"[Unsupported]\nPID", ""},
      {"[Unsupported]", ""},
      {"[Unsupported]\nPID=0xC002,0xC001\n", "", 1},   // a failed allocation hands out nothing
      {"[Unsupported]\nPID=0xC002,0xC001\n", "0300C001 0300C002 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sText);
    Db db;
    IniSetAllocationFailure(c.ulFailNth);
    EXPECT_EQ(db.LoadUnsupported(c.sText), c.ulFailNth == 0);
    EXPECT_EQ(db.All(), c.sList);
    EXPECT_TRUE(c.ulFailNth == 0 || db.pUnsupported == nullptr);
  }

  // Refused without a count pointer or with a cut header; without a list
  // pointer nothing is counted. (A second section: the later-files case.)
  Db db;
  EXPECT_FALSE(IniLoadUnsupportedSection(&db.pUnsupported, nullptr, std::string("[Unsupported]\nPID=0x1\n").data()));
  EXPECT_FALSE(db.LoadUnsupported("[Unsupp"));
  EXPECT_TRUE(IniLoadUnsupportedSection(nullptr, &db.ulUnsupported, std::string("[Unsupported]\nPID=0x1\n").data()));
  EXPECT_TRUE(db.pUnsupported == nullptr && db.ulUnsupported == 0);
}

TEST_F(IniTest, ParseIntValue)
{
  const struct {
    const char *sCaps, *sName;
    ULONG ulValue;
  } cases[] = {{"XMOU#5", "MOU", 5},          {"MOU#0x12 KBD#0x21", "MOU", 0x12}, {"MOU#0x12 KBD#0x21", "KBD", 0x21},
               {"MOU KBD", "MOU", 1},         {"MOU KBD", "KBD", 1},              {"MOUSE MOU\\X", "MOU", 1},
               {"MOUSE", "MOU", 0},           {"MOU#0x00002103", "MOU", 0x2103},  {"MOU#12", "MOU", 12},
               {"MOU#0X12", "MOU", 0},   // hexadecimal only after a lower-case "0x"
               {nullptr, "MOU", 0},           {"MOU", nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(IniParseIntValue(c.sCaps, c.sName), c.ulValue) << (c.sCaps ? c.sCaps : "-");
  EXPECT_TRUE(capture.Contains("<error> IniParseIntValue - Device capability name is NULL."));
}

// Loaded as it is; with the flag rewritten enciphered, and then not again.
// The envelope as a reader of the format sees it: the text's length, then CBC
// from the fixed chain block over the zero-padded text, big-endian halves,
// check words = E(last ciphertext block); a mismatch of those is taken.
TEST_F(IniTest, PlainFileLoadsAndIsRewrittenEnciphered)
{
  const std::string sFile = Write("models.ini", kPlain);
  std::string sImages[3];
  for (int i = 0; i < 3; ++i) {
    Db db;
    EXPECT_EQ(db.Load(sFile, i ? INI_FLAG_ENCRYPT_PLAIN : 0), 2u);
    EXPECT_EQ(db.All(), kPlainModels);
    sImages[i] = TestReadFile(sFile);
  }
  EXPECT_EQ(sImages[0], kPlain);
  EXPECT_EQ(sImages[2], sImages[1]);
  // The loader's own line: no other function's name in front of it.
  EXPECT_TRUE(capture.Contains("> IniLoadFilesFromPath - Read " + std::to_string(kPlain.size()) + " bytes from file.\n"));
  EXPECT_FALSE(capture.Contains("assert chain.L == L && chain.R == R"));

  const std::string& sImage = sImages[1];
  const size_t m = RoundUp((ULONG)kPlain.size(), 8);
  ASSERT_EQ(sImage.size(), m + 12);
  uint32_t aulWords[3];   // the length, then the check words
  memcpy(&aulWords[0], &sImage[0], 4), memcpy(&aulWords[1], &sImage[4 + m], 8);
  BlowfishCipher cipher;
  cipher.Initialize(reinterpret_cast<const uint8_t*>("Quillend-5C27A0F3-8E14-4b6d-A2C9-0D73E6F41B95"), 45);
  std::string sText(m, 'x');
  CipherBlock chain = {INI_CHAIN_INIT_L, INI_CHAIN_INIT_R};
  cipher.DecryptCBC(reinterpret_cast<const uint8_t*>(&sImage[4]), reinterpret_cast<uint8_t*>(&sText[0]), m, &chain);
  EXPECT_EQ(sText, kPlain + std::string(m - kPlain.size(), '\0'));
  const CipherBlock check = cipher.EncryptBlock(chain);
  EXPECT_EQ(std::vector<uint32_t>(aulWords, aulWords + 3), (std::vector<uint32_t>{(uint32_t)kPlain.size(), check.L, check.R}));

  // A check-word mismatch is said and the text still taken.
  sImages[1].back() ^= 0x5A;
  Db db;
  EXPECT_EQ(db.Load(Write("bad.ini", sImages[1])), 2u);
  EXPECT_EQ(db.All(), kPlainModels);
  EXPECT_TRUE(capture.Contains("<error> IniLoadFile - IniLoadFile - IniEnvelope.cpp line "));
  EXPECT_TRUE(capture.Contains(": assert chain.L == L && chain.R == R\n"));
}

// No memory for the image (the third allocation: work area, file buffer,
// image), a write that fails or comes short (a full disk): the plain file
// stays whole and no temporary file is left behind.
TEST_F(IniTest, FailedRewriteLeavesTheOriginal)
{
  for (auto [ulFailNth, eFault] : {std::pair{3u, INI_WRITE_OK}, {0u, INI_WRITE_FAIL}, {0u, INI_WRITE_SHORT}}) {
    const std::string sFile = Write("models.ini", kPlain);
    capture.Clear();
    IniSetAllocationFailure(ulFailNth);
    IniSetWriteFault(eFault);
    Db db;
    EXPECT_EQ(db.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);
    IniSetWriteFault(INI_WRITE_OK);
    EXPECT_EQ(TestReadFile(sFile), kPlain);
    EXPECT_EQ(GetFileAttributesA((sFile + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(capture.Contains("<error> IniLoadFile - Enciphered form of '" + sFile + "' not written" +
                                 (ulFailNth ? ": no memory." : " (write failed, 112); the file stays as it was.")))
        << eFault;
  }
}

// Empty, short, cut, overlong, undecipherable or missing files and bad
// arguments add nothing and leave what earlier files brought whole.
TEST_F(IniTest, BadFilesAndArgumentsAddNothing)
{
  Db db;
  ASSERT_EQ(db.Load(Write("good.ini", kPlain)), 2u);
  std::string sJunk(1012, '\0');
  for (size_t i = 0; i < sJunk.size(); ++i) sJunk[i] = (char)(i * 37 + 11);
  sJunk.replace(0, 4, std::string("\xE8\x03\0\0", 4));   // 1000: fits the file size, deciphers to noise
  const std::string sImage = Sealed(";DRAV\n[0x01000005]\nNAME=Five\r\n");
  const std::pair<const char*, std::string> files[] = {
      {"empty.ini", ""}, {"three.ini", "abc"}, {"zero.ini", Sealed("")}, {"junk.ini", sJunk}, {"plainend.ini", ";DRAV"},
      {"short.ini", sImage.substr(0, sImage.size() - 1)}, {"long.ini", sImage + "X"}};
  for (const auto& file : files) EXPECT_EQ(db.Load(Write(file.first, file.second)), 0u) << file.first;
  EXPECT_EQ(db.Load(sDir + "\\missing.ini"), 0u);
  EXPECT_EQ(IniLoadFile(&db.pTable, &db.ulCount, nullptr, nullptr, nullptr, 0, FALSE), 0u);
  EXPECT_EQ(IniLoadFile(nullptr, &db.ulCount, nullptr, nullptr, "x.ini", 0, FALSE), 0u);
  EXPECT_EQ(db.Load(""), 0u);
  EXPECT_TRUE(Said("NULL Pointer.") && Said("EMPTY String."));
  EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, nullptr, nullptr, nullptr, 0, FALSE), 0u);
  EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, nullptr, nullptr, std::string(300, 'a').c_str(), 0, FALSE), 0u);
  EXPECT_EQ(db.All(), kPlainModels);
  // Without list pointers the unsupported section is passed over.
  Db plain;
  EXPECT_EQ(IniLoadFile(&plain.pTable, &plain.ulCount, nullptr, nullptr, Write("models.ini", kPlain).c_str(), 0, FALSE), 2u);
}

// A later file adds its new models only, warned of the others; a
// table that cannot be had keeps the previous one and drops what the file added.
TEST_F(IniTest, LaterFilesAddNewModelsOrKeepThePreviousTable)
{
  Db db;
  ASSERT_EQ(db.Load(Write("a.ini", kPlain)), 2u);
  const std::string sB =
      Write("b.ini", ";DRAV\r\n[0x01000001]\r\nNAME = Other\r\n[0x01000009]\r\nNAME = Nine\r\n[Unsupported]\r\nPID=0xC003\r\n");
  tModelInfo* pOld = db.pTable;
  IniSetAllocationFailure(5);   // work area, file buffer, two name copies, then the table
  EXPECT_EQ(db.Load(sB), 0u);
  EXPECT_TRUE(Said("assert FALSE") && Said("Model table of 3 records not published; the previous table stays."));
  EXPECT_EQ(db.pTable, pOld);
  EXPECT_EQ(db.All(), kPlainModels);

  capture.Clear();
  EXPECT_EQ(db.Load(sB), 1u);
  std::string sAll = kPlainModels;
  EXPECT_EQ(db.All(), sAll.insert(sAll.rfind('\n') + 1, "[01000009-0] NAME=Nine\n"));
  EXPECT_EQ(capture.Count("<warning> IniLoadFile - Model Overwrite (01000001-0).\n"), 1u);
}

TEST_F(IniTest, FolderLoadTakesIniFilesOnly)
{
  Write("a.INI", kPlain);
  Write("b.ini", Sealed(";DRAV\r\n[0x01000009]\r\nNAME = Nine\r\n"));
  Write("c.txt", ";DRAV\r\n[0x01000010]\r\nNAME = Ten\r\n");
  CreateDirectoryA((sDir + "\\d.ini").c_str(), nullptr);
  for (const std::string& sFolder : {sDir, sDir + "\\", sDir + "\\nowhere"}) {
    SCOPED_TRACE(sFolder);
    const bool bThere = sFolder.find("nowhere") == std::string::npos;
    Db db;
    EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, &db.pUnsupported, &db.ulUnsupported, sFolder.c_str(), 0, TRUE),
              bThere ? 3u : 0u);
    EXPECT_EQ(db.All().find("[01000009-0] NAME=Nine\n") != std::string::npos, bThere);   // and with 3 models, not Ten
    EXPECT_EQ(db.pTable != nullptr, bThere);
  }
  RemoveDirectoryA((sDir + "\\d.ini").c_str());
}

// Comments go with their line breaks; sections are cut at the next '['; the
// character before the text's last one is lost after a bare LF; the first
// definition of a section stays; a table takes INI_MAX_MODELS records at most:
// a full one is not carried over (said) to a file that brings a model.
TEST_F(IniTest, CommentsAndTheMergeOfSections)
{
  std::string t(";DRAV\r\n\r\n[0x1]\nNAME=a;b\r\nCAP=x\n; last\n");
  EXPECT_EQ(IniStripComments(t.data()), strlen("[0x1]\nNAME=aCAP=x\n"));
  EXPECT_STREQ(t.data(), "[0x1]\nNAME=aCAP=x\n");
  Db db;
  auto merge = [&](const std::string& s) { return db.Load(Write("merge.ini", ";DRAV\n" + s)); };
  EXPECT_EQ(merge("junk before\n[0x1]\nNAME=first\n[0x2]\nNAME=abc\r\n"), 2u);
  EXPECT_EQ(merge("[0x3]\nNAME=abc\n"), 1u);
  EXPECT_EQ(merge("[0x4]\nNAME=a;comment\nCAP=x\r\n"), 1u);
  for (const char* s : {"", "[", "[0x5]", "[0x1-0]\nNAME=again\n\n"}) EXPECT_EQ(merge(s), 0u) << s;
  EXPECT_EQ(db.All(), "[00000001-0] NAME=first\n[00000002-0] NAME=abc\n[00000003-0] NAME=ab\n[00000004-0] NAME=aCAP=x CAP=x\n");

  Db full;
  std::string s = ";DRAV\n";
  for (ULONG i = 0; i < INI_MAX_MODELS; ++i) s += "[0x" + std::to_string(0x01000000 + i) + "]\nMWID=1\n";
  EXPECT_EQ(full.Load(Write("full.ini", s + "[0x02000000]\nNAME=extra\n\n")), INI_MAX_MODELS);
  EXPECT_TRUE(capture.Contains("Model table full (1024 models): model (02000000-0) dropped.\n"));
  tModelInfo* pFull = full.pTable;
  EXPECT_EQ(full.Load(Write("none.ini", ";DRAV\r\n")), 0u);
  EXPECT_TRUE(full.pTable == pFull && full.ulCount == INI_MAX_MODELS);
  EXPECT_EQ(full.Load(Write("new.ini", ";DRAV\r\n[0x02000001]\r\nNAME = New\r\n")), 1u);
  EXPECT_EQ(full.All(), "[02000001-0] NAME=New\n");
  EXPECT_TRUE(Said(": assert *pulModelTableCount == 0\n"));
}
