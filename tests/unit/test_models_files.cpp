// Model files on disk: plain and enciphered files, the rewrite in enciphered
// form, merging several files and folders, and the host's model database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "host/RefHost.h"
#include "host/RefHostModels.h"
#include "models/Blowfish.h"
#include "models/IniMgr.h"
#include "models/IniPlatform.h"
#include "tests/unit/TestSupport.h"

namespace {

class ModelFileTest : public testing::Test {
protected:
  ~ModelFileTest() override
  {
    IniSetAllocationFailure(0);
    IniSetWriteFault(INI_WRITE_OK);
    g_bTraceInfo = m_bInfo;
    g_bTraceWarnings = m_bWarn;
  }
  const BOOL m_bInfo = std::exchange(g_bTraceInfo, TRUE);
  const BOOL m_bWarn = std::exchange(g_bTraceWarnings, TRUE);
  TraceLevel level{TRACE_CAT_INI | TRACE_CAT_ERROR | TRACE_CAT_WARNING | TRACE_CAT_INFO};
  TraceCapture capture;
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
  ULONG Load(const std::string& sFile, ULONG ulFlags = 0, BOOL bWarn = TRUE)
  {
    return IniLoadFile(&pTable, &ulCount, &pUnsupported, &ulUnsupported, sFile.c_str(), ulFlags, bWarn);
  }
  ULONG LoadFolder(const std::string& sFolder)
  {
    return IniLoadFilesFromPath(&pTable, &ulCount, &pUnsupported, &ulUnsupported, sFolder.c_str(), 0, TRUE);
  }
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
  // A full table of placeholder records, as a caller may hand one over.
  void Fill(ULONG ulRecords, bool bNamed)
  {
    pTable = static_cast<tModelInfo*>(IniHeapAlloc(INI_WORK_AREA_SIZE));
    ulCount = ulRecords;
    for (ULONG i = 0; i < ulRecords && bNamed; ++i) {
      pTable[i].ulSectionId = 0x01000000 + i;
      pTable[i].sModelName = static_cast<char*>(IniHeapAlloc(4));
    }
  }
};

void WriteBytes(const std::string& sPath, const std::string& sData)
{
  HANDLE h = CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD dw = 0;
  ASSERT_TRUE(WriteFile(h, sData.data(), (DWORD)sData.size(), &dw, nullptr));
  CloseHandle(h);
}

std::string Sealed(const std::string& sPlain)
{
  size_t ulSize = 0;
  uint8_t* p = IniEnvelopeSeal(sPlain.data(), sPlain.size(), &ulSize);
  std::string s(reinterpret_cast<char*>(p), ulSize);
  IniHeapFree(p);
  return s;
}

uint32_t Le32(const std::string& s, size_t at)
{
  uint32_t ul;
  memcpy(&ul, s.data() + at, 4);
  return ul;
}

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

// Loaded as it is; with the flag rewritten enciphered, and then not again.
// The envelope as a reader of the format sees it: the text's length, then CBC
// from the fixed chain block, big-endian halves, check words = E(last ciphertext block).
TEST_F(ModelFileTest, PlainFileLoadsAndIsRewrittenEnciphered)
{
  std::string sFile = TestScratchDir("IniRewrite") + "\\models.ini";
  WriteBytes(sFile, kPlain);
  std::string sImages[3];
  for (int i = 0; i < 3; ++i) {
    Db db;
    EXPECT_EQ(db.Load(sFile, i ? INI_FLAG_ENCRYPT_PLAIN : 0), 2u);
    EXPECT_EQ(db.All(), kPlainModels);
    sImages[i] = TestReadFile(sFile);
  }
  EXPECT_EQ(sImages[0], kPlain);
  EXPECT_EQ(sImages[2], sImages[1]);
  EXPECT_TRUE(capture.Contains("Entry - '" + sFile + "'."));
  // The loader's own line: no other function's name in front of it.
  EXPECT_TRUE(capture.Contains("> IniLoadFilesFromPath - Read " + std::to_string(kPlain.size()) + " bytes from file.\n"));
  EXPECT_FALSE(capture.Contains("assert chain.L == L && chain.R == R"));

  const std::string& sImage = sImages[1];
  ASSERT_EQ(sImage.size(), RoundUp((ULONG)kPlain.size(), 8) + 12);
  EXPECT_EQ(Le32(sImage, 0), kPlain.size());
  BlowfishCipher cipher;
  cipher.Initialize(reinterpret_cast<const uint8_t*>("Quillend-5C27A0F3-8E14-4b6d-A2C9-0D73E6F41B95"), 45);
  size_t m = sImage.size() - 12;
  std::vector<uint8_t> deciphered(m);
  CipherBlock chain = {INI_CHAIN_INIT_L, INI_CHAIN_INIT_R};
  cipher.DecryptCBC(reinterpret_cast<const uint8_t*>(sImage.data()) + 4, deciphered.data(), m, &chain);
  EXPECT_EQ(std::string(deciphered.begin(), deciphered.begin() + kPlain.size()), kPlain);
  CipherBlock check = cipher.EncryptBlock(chain);
  EXPECT_EQ(Le32(sImage, 4 + m), check.L);
  EXPECT_EQ(Le32(sImage, 8 + m), check.R);
}

// No memory for the image, a write that fails or comes short (a full disk):
// the plain file stays whole and no temporary file is left behind.
TEST_F(ModelFileTest, FailedRewriteLeavesTheOriginal)
{
  std::string sFile = TestScratchDir("IniRewriteFails") + "\\models.ini";
  const struct {
    ULONG ulFailNth;   // work area, file buffer, then the enciphered image
    IniWriteFault eFault;
    const char* sReason;
  } cases[] = {{3, INI_WRITE_OK, "not written: no memory."},
               {0, INI_WRITE_FAIL, "not written (write failed, 112); the file stays as it was."},
               {0, INI_WRITE_SHORT, "not written (write failed, 112); the file stays as it was."}};
  for (const auto& c : cases) {
    WriteBytes(sFile, kPlain);
    capture.Clear();
    IniSetAllocationFailure(c.ulFailNth);
    IniSetWriteFault(c.eFault);
    Db db;
    EXPECT_EQ(db.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);
    IniSetWriteFault(INI_WRITE_OK);
    EXPECT_EQ(TestReadFile(sFile), kPlain);
    EXPECT_EQ(GetFileAttributesA((sFile + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(capture.Contains("<error> IniLoadFile - Enciphered form of '" + sFile + "' " + c.sReason)) << c.sReason;
  }
}

// A check-word mismatch is said and the text still taken; plain bytes that
// run on past the length inside the last block are cut off.
TEST_F(ModelFileTest, EncipheredTextCheckedAndCutAtItsLength)
{
  std::string sFile = TestScratchDir("IniCheck") + "\\models.ini";
  std::string sImage = Sealed(";DRAV\n[0x01000006]\nNAME=Six\r\n");
  sImage[sImage.size() - 1] ^= 0x5A;
  WriteBytes(sFile, sImage);
  Db db;
  EXPECT_EQ(db.Load(sFile), 1u);
  EXPECT_EQ(db.All(), "[01000006-0] NAME=Six\n");
  EXPECT_TRUE(capture.Contains("<error> IniLoadFile - IniLoadFile - IniEnvelope.cpp line "));
  EXPECT_TRUE(capture.Contains(": assert chain.L == L && chain.R == R\n"));

  std::string sCut = Sealed("[0x1]\r\nNAME=abcdefXY");
  sCut[0] = (char)(sCut[0] - 2);   // same length in blocks, two bytes fewer
  char* pText = nullptr;
  size_t n = 0;
  BOOL bCheck = FALSE;
  ASSERT_TRUE(IniEnvelopeOpen(reinterpret_cast<const uint8_t*>(sCut.data()), sCut.size(), &pText, &n, &bCheck));
  EXPECT_TRUE(bCheck);
  EXPECT_EQ(n, 18u);
  EXPECT_EQ(std::string(pText), "[0x1]\r\nNAME=abcdef");
  IniHeapFree(pText);
}

// Empty, short, cut, overlong, undecipherable or missing files add nothing and
// leave what earlier files brought whole.
TEST_F(ModelFileTest, BadFilesAddNothing)
{
  std::string sDir = TestScratchDir("IniCorrupt");
  Db db;
  WriteBytes(sDir + "\\good.ini", kPlain);
  ASSERT_EQ(db.Load(sDir + "\\good.ini"), 2u);
  std::string sJunk(1012, '\0');
  for (size_t i = 0; i < sJunk.size(); ++i) sJunk[i] = (char)(i * 37 + 11);
  sJunk.replace(0, 4, std::string("\xE8\x03\0\0", 4));   // 1000: fits the file size, deciphers to noise
  const std::string sImage = Sealed(";DRAV\n[0x01000005]\nNAME=Five\r\n");
  const std::pair<const char*, std::string> files[] = {
      {"empty.ini", ""}, {"three.ini", "abc"}, {"zero.ini", Sealed("")}, {"junk.ini", sJunk}, {"plainend.ini", ";DRAV"},
      {"short.ini", sImage.substr(0, sImage.size() - 1)}, {"long.ini", sImage + "X"}};
  for (const auto& file : files) {
    WriteBytes(sDir + "\\" + file.first, file.second);
    EXPECT_EQ(db.Load(sDir + "\\" + file.first), 0u) << file.first;
  }
  EXPECT_EQ(db.Load(sDir + "\\missing.ini"), 0u);
  EXPECT_EQ(db.All(), kPlainModels);
}

TEST_F(ModelFileTest, BadArguments)
{
  Db db;
  EXPECT_EQ(IniLoadFile(&db.pTable, &db.ulCount, nullptr, nullptr, nullptr, 0, FALSE), 0u);
  EXPECT_EQ(IniLoadFile(nullptr, &db.ulCount, nullptr, nullptr, "x.ini", 0, FALSE), 0u);
  EXPECT_TRUE(capture.Contains("NULL Pointer."));
  EXPECT_EQ(IniLoadFile(&db.pTable, &db.ulCount, nullptr, nullptr, "", 0, FALSE), 0u);
  EXPECT_TRUE(capture.Contains("EMPTY String."));
  EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, nullptr, nullptr, nullptr, 0, FALSE), 0u);
  EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, nullptr, nullptr, std::string(300, 'a').c_str(), 0, FALSE), 0u);
  EXPECT_EQ(db.pTable, nullptr);
  // Without list pointers the unsupported section is passed over.
  std::string sFile = TestScratchDir("IniNoList") + "\\models.ini";
  WriteBytes(sFile, kPlain);
  EXPECT_EQ(IniLoadFile(&db.pTable, &db.ulCount, nullptr, nullptr, sFile.c_str(), 0, FALSE), 2u);
  EXPECT_EQ(IniLoadFile(&db.pTable, &db.ulCount, nullptr, nullptr, sFile.c_str(), 0, FALSE), 0u);
  EXPECT_EQ(db.ulCount, 2u);
}

TEST_F(ModelFileTest, FirstFileWinsAndSecondUnsupportedIsSkipped)
{
  std::string sDir = TestScratchDir("IniTwoFiles");
  WriteBytes(sDir + "\\a.ini", kPlain);
  WriteBytes(sDir + "\\b.ini",
             ";DRAV\r\n[0x01000001]\r\nNAME = Other\r\n[0x01000009]\r\nNAME = Nine\r\n[Unsupported]\r\nPID=0xC003\r\n");
  Db db;
  EXPECT_EQ(db.Load(sDir + "\\a.ini"), 2u);
  EXPECT_EQ(db.Load(sDir + "\\b.ini"), 1u);
  std::string sAll = kPlainModels;
  EXPECT_EQ(db.All(), sAll.insert(sAll.rfind('\n') + 1, "[01000009-0] NAME=Nine\n"));
  EXPECT_EQ(capture.Count("<warning> IniLoadFile - Model Overwrite (01000001-0).\n"), 1u);
  EXPECT_TRUE(capture.Contains("IniLoadFilesFromPath - Found 2 device from previous file(s).\n"));
  EXPECT_TRUE(capture.Contains("IniLoadUnsupportedSection - Exit - Duplicate Unsupported Section.\n"));
  capture.Clear();
  EXPECT_EQ(db.Load(sDir + "\\b.ini", 0, FALSE), 0u);
  EXPECT_FALSE(capture.Contains("Model Overwrite"));
}

// A table handed over full is not carried over (said); one without records
// is carried over with its assertion; a full one stays when the file brings nothing.
TEST_F(ModelFileTest, TablesHandedOver)
{
  std::string sDir = TestScratchDir("IniTables");
  WriteBytes(sDir + "\\new.ini", ";DRAV\r\n[0x02000001]\r\nNAME = New\r\n");
  WriteBytes(sDir + "\\none.ini", ";DRAV\r\n");
  const struct {
    ULONG ulRecords;
    const char *sFile, *sSaid;
  } cases[] = {{INI_MAX_MODELS, "new.ini", ": assert *pulModelTableCount == 0\n"},
               {0, "new.ini", ": assert ulCount > 0\n"}, {INI_MAX_MODELS, "none.ini", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sFile + std::to_string(c.ulRecords));
    capture.Clear();
    Db db;
    db.Fill(c.ulRecords, c.sSaid != nullptr);
    tModelInfo* pOld = db.pTable;
    EXPECT_EQ(db.Load(sDir + "\\" + c.sFile), c.sSaid ? 1u : 0u);
    if (c.sSaid != nullptr) {
      EXPECT_TRUE(capture.Contains(c.sSaid));
      EXPECT_EQ(db.All(), "[02000001-0] NAME=New\n");
    } else {
      EXPECT_EQ(db.pTable, pOld);
      EXPECT_EQ(db.ulCount, INI_MAX_MODELS);
    }
  }
}

TEST_F(ModelFileTest, FailedPublishKeepsThePreviousTable)
{
  std::string sDir = TestScratchDir("IniPublish");
  WriteBytes(sDir + "\\a.ini", kPlain);
  WriteBytes(sDir + "\\b.ini", ";DRAV\r\n[0x01000009]\r\nNAME = Nine\r\n");
  Db db;
  ASSERT_EQ(db.Load(sDir + "\\a.ini"), 2u);
  tModelInfo* pOld = db.pTable;
  IniSetAllocationFailure(2);   // work area, then the new table (the file cannot be opened)
  EXPECT_EQ(db.Load(sDir + "\\missing.ini"), 0u);
  EXPECT_TRUE(capture.Contains("assert FALSE"));
  // Failing the table after a file added a model drops that model only.
  IniSetAllocationFailure(4);   // work area, file buffer, the name copy, then the table
  EXPECT_EQ(db.Load(sDir + "\\b.ini"), 0u);
  EXPECT_TRUE(capture.Contains("Model table of 3 records not published; the previous table stays."));
  EXPECT_EQ(db.pTable, pOld);
  EXPECT_EQ(db.All(), kPlainModels);
}

TEST_F(ModelFileTest, FolderLoadTakesIniFilesOnly)
{
  std::string sDir = TestScratchDir("IniFolder");
  WriteBytes(sDir + "\\a.INI", kPlain);
  WriteBytes(sDir + "\\b.ini", Sealed(";DRAV\r\n[0x01000009]\r\nNAME = Nine\r\n"));
  WriteBytes(sDir + "\\c.txt", ";DRAV\r\n[0x01000010]\r\nNAME = Ten\r\n");
  CreateDirectoryA((sDir + "\\d.ini").c_str(), nullptr);
  for (const std::string& sFolder : {sDir, sDir + "\\"}) {
    Db db;
    EXPECT_EQ(db.LoadFolder(sFolder), 3u);
    EXPECT_NE(db.All().find("[01000009-0] NAME=Nine\n"), std::string::npos);
    EXPECT_EQ(db.All().find("[01000010-0]"), std::string::npos);
  }
  Db none;
  EXPECT_EQ(none.LoadFolder(sDir + "\\nowhere"), 0u);
  EXPECT_EQ(none.pTable, nullptr);
  RemoveDirectoryA((sDir + "\\d.ini").c_str());
}

namespace {
std::string DemoModelsFolder()
{
  std::string s = __FILE__;   // <tree>/tests/unit/<this file>
  std::replace(s.begin(), s.end(), '/', '\\');
  s = s.substr(0, s.rfind("\\tests\\unit\\"));
  return (!s.empty() && s[0] == '\\' ? "Z:" + s : s) + "\\host\\models";
}

struct UsbKey {
  USHORT usVid, usPid, usRev;
};
BOOL CompareVidPidRev(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey)
{
  const auto* k = static_cast<const UsbKey*>(pKey);
  if (ulKeySize != sizeof(UsbKey) || k->usVid != pModel->usVid || k->usPid != pModel->usPid) return FALSE;
  return pModel->usBcdDevice == 0 || (k->usRev & pModel->usBcdMask) == (pModel->usBcdDevice & pModel->usBcdMask);
}
}  // namespace

// The host's model database: the demo folder's models, found by the host and
// by the plug-in through word 19 of the host record, printed, and freed.
TEST_F(ModelFileTest, HostLoadsTheDemoModelsAndFindsThem)
{
  RefHostModelsFree();
  ASSERT_EQ(RefHostModelsLoad(DemoModelsFolder().c_str(), 0, TRUE), 4u) << DemoModelsFolder();
  EXPECT_EQ(RefHostModelsCount(), 4u);
  EXPECT_EQ(RefHostModelsUnsupportedCount(), 3u);
  EXPECT_TRUE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_PID, 0xC002));
  EXPECT_TRUE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_MWID, 0x1234));   // the file ends with an empty line
  EXPECT_FALSE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_PID, 0xC01E));
  const struct {
    UsbKey key;
    const char* sModel;   // how its description starts
  } cases[] = {{{0x3F1D, 0xC02A, 0x1234}, "[01000002-0] NAME=Demo Laser Mouse (revision 12xx)"},
               {{0x3F1D, 0xC02A, 0x1300}, "none"},
               {{0x3F1D, 0xC01E, 0}, "[01000001-0] NAME=Demo Optical Mouse REG=0x000000EA-00000000-00000000-00000000-"
                                     "00000000-00000000-00000000-00000000"}};
  for (const auto& c : cases) {
    const tModelInfo* p = RefHostFindModel(0, CompareVidPidRev, sizeof c.key, &c.key);
    EXPECT_EQ((p ? TestDescribeModel(p) : "none").substr(0, strlen(c.sModel)), c.sModel);
  }
  EXPECT_EQ(RefHostFindModel(0, nullptr, sizeof cases[0].key, &cases[0].key), nullptr);
  const tModelInfo* p = RefHostFindModel(0, CompareVidPidRev, sizeof cases[0].key, &cases[0].key);
  ASSERT_NE(p, nullptr);
  ASSERT_NE(p->pKeyList, nullptr);
  EXPECT_EQ(p->pKeyList->ulKeyCode, 0x3Au);
  RefHost* pHost = RefHostGet();
  ASSERT_TRUE(RefHostInit(pHost));
  EXPECT_EQ(HostFindModel(pHost->Api, CompareVidPidRev, sizeof cases[0].key, &cases[0].key), p);
  RefHostShutdown(pHost);

  std::string sOut = TestScratchDir("IniHostPrint") + "\\models.txt";
  FILE* f = fopen(sOut.c_str(), "w");
  ASSERT_NE(f, nullptr);
  RefHostModelsPrint(f);
  fclose(f);
  std::string sText = TestReadFile(sOut);
  for (const char* s : {"Models: 4", "[01000001-0] VID 3F1D PID C01E", "'Demo Receiver'", "0x0300C001"}) {
    EXPECT_NE(sText.find(s), std::string::npos) << s;
  }
  RefHostModelsFree();
  EXPECT_EQ(RefHostModelsCount(), 0u);
  EXPECT_EQ(RefHostFindModel(0, CompareVidPidRev, sizeof cases[0].key, &cases[0].key), nullptr);
}
