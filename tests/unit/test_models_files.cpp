// Model files on disk: plain and enciphered files, the rewrite in enciphered
// form, merging several files and folders, and the host's model database.
#include <gtest/gtest.h>

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
  void SetUp() override
  {
    m_dwLevel = g_dwDebugLevel;
    m_bInfo = g_bTraceInfo;
    m_bWarn = g_bTraceWarnings;
    g_dwDebugLevel |= TRACE_CAT_INI | TRACE_CAT_ERROR | TRACE_CAT_WARNING | TRACE_CAT_INFO;
    g_bTraceInfo = TRUE;
    g_bTraceWarnings = TRUE;
  }
  void TearDown() override
  {
    IniSetAllocationFailure(0);
    IniSetWriteFault(INI_WRITE_OK);
    g_dwDebugLevel = m_dwLevel;
    g_bTraceInfo = m_bInfo;
    g_bTraceWarnings = m_bWarn;
  }
  TraceCapture capture;

private:
  DWORD m_dwLevel = 0;
  BOOL m_bInfo = FALSE;
  BOOL m_bWarn = FALSE;
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
  ULONG LoadFolder(const std::string& sFolder, ULONG ulFlags = 0)
  {
    return IniLoadFilesFromPath(&pTable, &ulCount, &pUnsupported, &ulUnsupported, sFolder.c_str(), ulFlags, TRUE);
  }
  const tModelInfo* Find(ULONG ulId) const
  {
    for (ULONG i = 0; i < ulCount; ++i) {
      if (pTable[i].ulSectionId == ulId) return &pTable[i];
    }
    return nullptr;
  }
  std::string Name(ULONG ulId) const
  {
    const tModelInfo* p = Find(ulId);
    return p == nullptr ? "<none>" : (p->sModelName ? p->sModelName : "<null>");
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

std::string ReadBytes(const std::string& sPath)
{
  std::string s;
  HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return s;
  char buf[4096];
  DWORD dw = 0;
  while (ReadFile(h, buf, sizeof buf, &dw, nullptr) && dw > 0) s.append(buf, dw);
  CloseHandle(h);
  return s;
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
  return (uint32_t)(uint8_t)s[at] | ((uint32_t)(uint8_t)s[at + 1] << 8) | ((uint32_t)(uint8_t)s[at + 2] << 16) |
         ((uint32_t)(uint8_t)s[at + 3] << 24);
}

const std::string kPlain =
    ";DRAV test models\r\n"
    "[0x01000001]\r\nNAME = One\r\nPID = 0xC01E\r\nKEY = 0x3A,0x04\r\nREG = 1,3,5-7\r\n"
    "[0x01000002-3]\r\nNAME = Two ; a comment\r\nVID = 0x046D\r\nPID = 0xC02A\r\nBCDDEVICE = 0x1200, 0xFF00\r\n"
    "[Unsupported]\r\nPID=0xC001,0xC002\r\nMWID=0x1234\r\n";

void ExpectSameModels(const Db& a, const Db& b)
{
  ASSERT_EQ(a.ulCount, b.ulCount);
  for (ULONG i = 0; i < a.ulCount; ++i) {
    const tModelInfo& x = a.pTable[i];
    const tModelInfo& y = b.pTable[i];
    EXPECT_EQ(x.ulSectionId, y.ulSectionId);
    EXPECT_EQ(x.ulSectionSubId, y.ulSectionSubId);
    EXPECT_STREQ(x.sModelName, y.sModelName);
    EXPECT_STREQ(x.sReg, y.sReg);
    EXPECT_EQ(x.usVid, y.usVid);
    EXPECT_EQ(x.usPid, y.usPid);
    EXPECT_EQ(x.usBcdDevice, y.usBcdDevice);
    EXPECT_EQ(x.usBcdMask, y.usBcdMask);
    EXPECT_EQ(x.pKeyList == nullptr, y.pKeyList == nullptr);
  }
  ASSERT_EQ(a.ulUnsupported, b.ulUnsupported);
  for (ULONG i = 0; i < a.ulUnsupported; ++i) EXPECT_EQ(a.pUnsupported[i], b.pUnsupported[i]);
}

}  // namespace

TEST_F(ModelFileTest, PlainFileLoads)
{
  std::string sFile = TestScratchDir("IniPlain") + "\\models.ini";
  WriteBytes(sFile, kPlain);
  Db db;
  EXPECT_EQ(db.Load(sFile), 2u);
  ASSERT_EQ(db.ulCount, 2u);
  EXPECT_EQ(db.Name(0x01000001), "One");
  EXPECT_EQ(db.Name(0x01000002), "Two VID = 0x046D");
  const tModelInfo* pTwo = db.Find(0x01000002);
  ASSERT_NE(pTwo, nullptr);
  EXPECT_EQ(pTwo->ulSectionSubId, 3u);
  EXPECT_EQ(pTwo->usVid, 0x046D);
  EXPECT_EQ(pTwo->usBcdMask, 0xFF00);
  ASSERT_EQ(db.ulUnsupported, 3u);
  EXPECT_EQ(db.pUnsupported[0], 0x01001234u);
  EXPECT_TRUE(capture.Contains("Entry - '" + sFile + "'."));
  // The loader's own line: no other function's name in front of it.
  EXPECT_TRUE(capture.Contains("> IniLoadFilesFromPath - Read " + std::to_string(kPlain.size()) + " bytes from file.\n"));
  EXPECT_TRUE(capture.Contains("Exit 2."));
  EXPECT_EQ(ReadBytes(sFile), kPlain);   // not rewritten without the flag
}

TEST_F(ModelFileTest, PlainFileRewrittenEncipheredLoadsTheSame)
{
  std::string sFile = TestScratchDir("IniRewrite") + "\\models.ini";
  WriteBytes(sFile, kPlain);
  Db plain;
  EXPECT_EQ(plain.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);

  std::string sImage = ReadBytes(sFile);
  ASSERT_EQ(sImage.size(), RoundUp((ULONG)kPlain.size(), 8) + 12);
  EXPECT_EQ(Le32(sImage, 0), kPlain.size());
  EXPECT_NE(sImage.compare(4, 5, ";DRAV"), 0);

  // The envelope as a reader of the format sees it: CBC from the fixed
  // chain block, big-endian halves, check words = E(last ciphertext block).
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

  Db again;
  EXPECT_EQ(again.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);
  ExpectSameModels(plain, again);
  EXPECT_EQ(ReadBytes(sFile), sImage);   // an enciphered file is not rewritten
  EXPECT_FALSE(capture.Contains("assert chain.L == L && chain.R == R"));
}

TEST_F(ModelFileTest, RewriteWithoutMemoryLeavesTheFile)
{
  std::string sFile = TestScratchDir("IniRewriteNoMem") + "\\models.ini";
  WriteBytes(sFile, kPlain);
  Db db;
  IniSetAllocationFailure(3);   // work area, file buffer, then the enciphered image
  EXPECT_EQ(db.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);
  EXPECT_EQ(ReadBytes(sFile), kPlain);
  EXPECT_TRUE(capture.Contains("not written: no memory"));
}

// A write that fails or comes short (a full disk) leaves the plain file whole
// and no temporary file behind.
TEST_F(ModelFileTest, FailedRewriteLeavesTheOriginal)
{
  std::string sFile = TestScratchDir("IniRewriteFails") + "\\models.ini";
  for (IniWriteFault eFault : { INI_WRITE_FAIL, INI_WRITE_SHORT }) {
    WriteBytes(sFile, kPlain);
    capture.Clear();
    IniSetWriteFault(eFault);
    Db db;
    EXPECT_EQ(db.Load(sFile, INI_FLAG_ENCRYPT_PLAIN), 2u);
    IniSetWriteFault(INI_WRITE_OK);
    EXPECT_EQ(ReadBytes(sFile), kPlain);
    EXPECT_EQ(GetFileAttributesA((sFile + ".new").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(capture.Contains("<error> IniLoadFile - Enciphered form of '" + sFile +
                                 "' not written (write failed, 112); the file stays as it was."));
  }
}

TEST_F(ModelFileTest, EncipheredLengthMustFitExactly)
{
  std::string sDir = TestScratchDir("IniLength");
  std::string sImage = Sealed(";DRAV\n[0x01000005]\nNAME=Five\r\n");
  WriteBytes(sDir + "\\good.ini", sImage);
  WriteBytes(sDir + "\\short.ini", sImage.substr(0, sImage.size() - 1));
  WriteBytes(sDir + "\\long.ini", sImage + "X");
  Db db;
  EXPECT_EQ(db.Load(sDir + "\\good.ini"), 1u);
  EXPECT_EQ(db.Load(sDir + "\\short.ini"), 0u);
  EXPECT_EQ(db.Load(sDir + "\\long.ini"), 0u);
  ASSERT_EQ(db.ulCount, 1u);
  EXPECT_EQ(db.Name(0x01000005), "Five");   // carried-over record still whole
}

TEST_F(ModelFileTest, CheckWordMismatchStillLoads)
{
  std::string sFile = TestScratchDir("IniCheck") + "\\models.ini";
  std::string sImage = Sealed(";DRAV\n[0x01000006]\nNAME=Six\r\n");
  sImage[sImage.size() - 1] ^= 0x5A;
  WriteBytes(sFile, sImage);
  Db db;
  EXPECT_EQ(db.Load(sFile), 1u);
  EXPECT_EQ(db.Name(0x01000006), "Six");
  EXPECT_TRUE(capture.Contains("<error> IniLoadFile - IniLoadFile - IniEnvelope.cpp line "));
  EXPECT_TRUE(capture.Contains(": assert chain.L == L && chain.R == R\n"));
}

TEST_F(ModelFileTest, EncipheredTextIsCutAtItsLength)
{
  // Plain bytes run on past n inside the last block: the text ends at n.
  std::string sImage = Sealed("[0x1]\r\nNAME=abcdefXY");
  std::string sCut = sImage;
  sCut[0] = (char)(sImage[0] - 2);   // same m, two bytes fewer
  char* pText = nullptr;
  size_t n = 0;
  BOOL bCheck = FALSE;
  ASSERT_TRUE(IniEnvelopeOpen(reinterpret_cast<const uint8_t*>(sCut.data()), sCut.size(), &pText, &n, &bCheck));
  EXPECT_TRUE(bCheck);
  EXPECT_EQ(n, 18u);
  EXPECT_EQ(strlen(pText), 18u);
  EXPECT_EQ(std::string(pText), "[0x1]\r\nNAME=abcdef");
  IniHeapFree(pText);
}

TEST_F(ModelFileTest, EmptyShortAndCorruptFilesAddNothing)
{
  std::string sDir = TestScratchDir("IniCorrupt");
  Db db;
  WriteBytes(sDir + "\\good.ini", kPlain);
  ASSERT_EQ(db.Load(sDir + "\\good.ini"), 2u);
  const char* sNameBefore = db.Find(0x01000001)->sModelName;

  WriteBytes(sDir + "\\empty.ini", "");
  WriteBytes(sDir + "\\three.ini", "abc");
  WriteBytes(sDir + "\\zero.ini", Sealed(""));   // a valid envelope of no text
  std::string sJunk(1012, '\0');
  for (size_t i = 0; i < sJunk.size(); ++i) sJunk[i] = (char)(i * 37 + 11);
  sJunk[0] = (char)0xE8;   // 1000: fits the file size, deciphers to noise
  sJunk[1] = 0x03;
  sJunk[2] = sJunk[3] = 0;
  WriteBytes(sDir + "\\junk.ini", sJunk);
  WriteBytes(sDir + "\\plainend.ini", ";DRAV");
  for (const char* s : {"empty.ini", "three.ini", "zero.ini", "junk.ini", "plainend.ini", "missing.ini"}) {
    EXPECT_EQ(db.Load(sDir + "\\" + s), 0u) << s;
  }
  ASSERT_EQ(db.ulCount, 2u);
  EXPECT_EQ(db.Find(0x01000001)->sModelName, sNameBefore);
  EXPECT_STREQ(sNameBefore, "One");
  EXPECT_EQ(db.ulUnsupported, 3u);
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
  EXPECT_EQ(IniLoadFilesFromPath(&db.pTable, &db.ulCount, nullptr, nullptr, std::string(300, 'a').c_str(), 0, FALSE),
            0u);
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
             ";DRAV\r\n[0x01000001]\r\nNAME = Other\r\n[0x01000009]\r\nNAME = Nine\r\n"
             "[Unsupported]\r\nPID=0xC003\r\n");
  Db db;
  EXPECT_EQ(db.Load(sDir + "\\a.ini"), 2u);
  EXPECT_EQ(db.Load(sDir + "\\b.ini"), 1u);
  ASSERT_EQ(db.ulCount, 3u);
  EXPECT_EQ(db.Name(0x01000001), "One");
  EXPECT_EQ(db.Name(0x01000009), "Nine");
  EXPECT_EQ(capture.Count("<warning> IniLoadFile - Model Overwrite (01000001-0).\n"), 1u);
  EXPECT_TRUE(capture.Contains("IniLoadFilesFromPath - Found 2 device from previous file(s).\n"));
  EXPECT_TRUE(capture.Contains("IniLoadUnsupportedSection - Exit - Duplicate Unsupported Section.\n"));
  EXPECT_EQ(db.ulUnsupported, 3u);

  capture.Clear();
  EXPECT_EQ(db.Load(sDir + "\\b.ini", 0, FALSE), 0u);
  EXPECT_FALSE(capture.Contains("Model Overwrite"));
}

TEST_F(ModelFileTest, FullTableIsNotCarriedOver)
{
  std::string sFile = TestScratchDir("IniFull") + "\\models.ini";
  WriteBytes(sFile, ";DRAV\r\n[0x02000001]\r\nNAME = New\r\n");
  Db db;
  db.ulCount = INI_MAX_MODELS;
  db.pTable = static_cast<tModelInfo*>(IniHeapAlloc(INI_WORK_AREA_SIZE));
  ASSERT_NE(db.pTable, nullptr);
  for (ULONG i = 0; i < INI_MAX_MODELS; ++i) {
    db.pTable[i].ulSectionId = 0x01000000 + i;
    db.pTable[i].sModelName = static_cast<char*>(IniHeapAlloc(4));
  }
  EXPECT_EQ(db.Load(sFile), 1u);
  EXPECT_TRUE(capture.Contains("assert *pulModelTableCount == 0"));
  ASSERT_EQ(db.ulCount, 1u);
  EXPECT_EQ(db.Name(0x02000001), "New");
}

// A table pointer without records is carried over with its assertion.
TEST_F(ModelFileTest, EmptyTableIsCarriedOverWithItsAssertion)
{
  std::string sFile = TestScratchDir("IniEmptyTable") + "\\models.ini";
  WriteBytes(sFile, ";DRAV\r\n[0x02000001]\r\nNAME = New\r\n");
  Db db;
  db.pTable = static_cast<tModelInfo*>(IniHeapAlloc(sizeof(tModelInfo)));
  ASSERT_NE(db.pTable, nullptr);
  EXPECT_EQ(db.Load(sFile), 1u);
  EXPECT_TRUE(capture.Contains("<error> IniLoadFile - IniLoadFile - IniMgr.cpp line "));
  EXPECT_TRUE(capture.Contains(": assert ulCount > 0\n"));
  ASSERT_EQ(db.ulCount, 1u);
  EXPECT_EQ(db.Name(0x02000001), "New");
}

TEST_F(ModelFileTest, FullTableStaysWhenTheFileBringsNothing)
{
  std::string sFile = TestScratchDir("IniFullEmpty") + "\\models.ini";
  WriteBytes(sFile, ";DRAV\r\n");
  Db db;
  db.ulCount = INI_MAX_MODELS;
  db.pTable = static_cast<tModelInfo*>(IniHeapAlloc(INI_WORK_AREA_SIZE));
  ASSERT_NE(db.pTable, nullptr);
  tModelInfo* pOld = db.pTable;
  EXPECT_EQ(db.Load(sFile), 0u);
  EXPECT_EQ(db.pTable, pOld);
  EXPECT_EQ(db.ulCount, INI_MAX_MODELS);
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
  EXPECT_EQ(db.pTable, pOld);
  EXPECT_EQ(db.ulCount, 2u);
  EXPECT_TRUE(capture.Contains("assert FALSE"));

  // Failing the table after a file added a model drops that model only.
  IniSetAllocationFailure(4);   // work area, file buffer, the name copy, then the table
  capture.Clear();
  EXPECT_EQ(db.Load(sDir + "\\b.ini"), 0u);
  EXPECT_TRUE(capture.Contains("Model table of 3 records not published; the previous table stays."));
  EXPECT_EQ(db.pTable, pOld);
  EXPECT_EQ(db.ulCount, 2u);
  EXPECT_EQ(db.Find(0x01000009), nullptr);
  EXPECT_EQ(db.Name(0x01000001), "One");
  EXPECT_EQ(db.Name(0x01000002), "Two VID = 0x046D");
}

TEST_F(ModelFileTest, FolderLoadTakesIniFilesOnly)
{
  std::string sDir = TestScratchDir("IniFolder");
  WriteBytes(sDir + "\\a.INI", kPlain);
  WriteBytes(sDir + "\\b.ini", Sealed(";DRAV\r\n[0x01000009]\r\nNAME = Nine\r\n"));
  WriteBytes(sDir + "\\c.txt", ";DRAV\r\n[0x01000010]\r\nNAME = Ten\r\n");
  CreateDirectoryA((sDir + "\\d.ini").c_str(), nullptr);
  Db db;
  EXPECT_EQ(db.LoadFolder(sDir), 3u);
  EXPECT_EQ(db.ulCount, 3u);
  EXPECT_EQ(db.Name(0x01000009), "Nine");
  EXPECT_EQ(db.Find(0x01000010), nullptr);
  Db slash;
  EXPECT_EQ(slash.LoadFolder(sDir + "\\"), 3u);
  Db none;
  EXPECT_EQ(none.LoadFolder(sDir + "\\nowhere"), 0u);
  EXPECT_EQ(none.pTable, nullptr);
  RemoveDirectoryA((sDir + "\\d.ini").c_str());
}

TEST_F(ModelFileTest, LongLinesAndValues)
{
  std::string sFile = TestScratchDir("IniLongLines") + "\\models.ini";
  std::string s255(255, 'n'), s256(256, 'm');
  WriteBytes(sFile, ";DRAV\r\n[0x01000001]\r\nNAME = " + s255 + "\r\nCAP = " + s256 + "\r\n\r\n");
  Db db;
  EXPECT_EQ(db.Load(sFile), 1u);
  ASSERT_EQ(db.ulCount, 1u);
  EXPECT_EQ(std::string(db.pTable[0].sModelName), s255);
  EXPECT_EQ(db.pTable[0].sCap, nullptr);
}

// ---- The host's model database ---------------------------------------------------------

namespace {
std::string DemoModelsFolder()
{
  std::string s = __FILE__;   // <tree>/tests/unit/<this file>
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  s = s.substr(0, s.rfind("\\tests\\unit\\"));
  if (!s.empty() && s[0] == '\\') s = "Z:" + s;
  return s + "\\host\\models";
}

struct UsbKey {
  USHORT usVid;
  USHORT usPid;
  USHORT usRev;
};
BOOL CompareVidPidRev(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey)
{
  const auto* k = static_cast<const UsbKey*>(pKey);
  if (ulKeySize != sizeof(UsbKey) || k->usVid != pModel->usVid || k->usPid != pModel->usPid) return FALSE;
  return pModel->usBcdDevice == 0 || (k->usRev & pModel->usBcdMask) == (pModel->usBcdDevice & pModel->usBcdMask);
}
}  // namespace

TEST_F(ModelFileTest, HostLoadsTheDemoModelsAndFindsThem)
{
  RefHostModelsFree();
  ASSERT_EQ(RefHostModelsLoad(DemoModelsFolder().c_str(), 0, TRUE), 4u) << DemoModelsFolder();
  EXPECT_EQ(RefHostModelsCount(), 4u);
  EXPECT_EQ(RefHostModelsUnsupportedCount(), 3u);
  EXPECT_TRUE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_PID, 0xC002));
  EXPECT_TRUE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_MWID, 0x1234));   // the file ends with an empty line
  EXPECT_FALSE(RefHostModelsIsUnsupported(UNSUPPORTED_TYPE_PID, 0xC01E));

  UsbKey key = {0x3F1D, 0xC02A, 0x1234};
  const tModelInfo* p = RefHostFindModel(0, CompareVidPidRev, sizeof key, &key);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ulSectionId, 0x01000002u);
  ASSERT_NE(p->pKeyList, nullptr);
  EXPECT_EQ(p->pKeyList->ulKeyCode, 0x3Au);
  key.usRev = 0x1300;
  EXPECT_EQ(RefHostFindModel(0, CompareVidPidRev, sizeof key, &key), nullptr);
  key = {0x3F1D, 0xC01E, 0};
  p = RefHostFindModel(0, CompareVidPidRev, sizeof key, &key);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->sModelName, "Demo Optical Mouse");
  EXPECT_EQ(IniParseIntValue(p->sDepth, "MOU"), 0u);
  EXPECT_STREQ(p->sReg, "0x000000EA-00000000-00000000-00000000-00000000-00000000-00000000-00000000");
  EXPECT_EQ(RefHostFindModel(0, nullptr, sizeof key, &key), nullptr);

  // The plug-in reaches the same search through word 19 of the record.
  RefHost* pHost = RefHostGet();
  ASSERT_TRUE(RefHostInit(pHost));
  key = {0x3F1D, 0xC02A, 0x12AB};
  p = HostFindModel(pHost->Api, CompareVidPidRev, sizeof key, &key);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->sModelName, "Demo Laser Mouse (revision 12xx)");
  RefHostShutdown(pHost);

  std::string sOut = TestScratchDir("IniHostPrint") + "\\models.txt";
  FILE* f = fopen(sOut.c_str(), "w");
  ASSERT_NE(f, nullptr);
  RefHostModelsPrint(f);
  fclose(f);
  std::string sText = ReadBytes(sOut);
  EXPECT_NE(sText.find("Models: 4"), std::string::npos);
  EXPECT_NE(sText.find("[01000001-0] VID 3F1D PID C01E"), std::string::npos);
  EXPECT_NE(sText.find("'Demo Receiver'"), std::string::npos);
  EXPECT_NE(sText.find("0x0300C001"), std::string::npos);

  RefHostModelsFree();
  EXPECT_EQ(RefHostModelsCount(), 0u);
  EXPECT_EQ(RefHostFindModel(0, CompareVidPidRev, sizeof key, &key), nullptr);
}
