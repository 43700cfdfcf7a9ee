// Randomised robustness of the model-file parsers, natively under the
// sanitizers: texts built from the grammar's own pieces and random bytes, each
// in a buffer of exactly its size, so a read past the text, a write outside a
// value buffer or a block that is never freed fails the run.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

extern unsigned long g_ulNativeTraceLines;

namespace {
std::mt19937 g_rng(61206);

const char* const kPieces[] = {
  "[", "]", "[0x", "[0x0100", "[0xC01E-2]", "[Unsupported]\n", "[UNSUPPORTED]\n", "-", "=", " = ", " ", "\t",
  "\n", "\r\n", ";", "0x", "0X", "0x1", "0xFFFFFFFF", "0x123456789", "12", "4660", "-7", ",", "+", "\"",
  "\"ab c\"", "EVT#", "JMP#", "EVT#0x10", "NAME", "REG", "CAP", "DEPTH", "MINTERM", "REMAP", "CACHE", "KEY",
  "MWID", "LNPCOL", "PID", "VID", "BCDDEVICE", "DEVID", "SUBID", "QID", "FWID", "PID2", "MOU#", "MOU#0x12",
  "KBD", "\\", "1,3,5-7", "0x000000EA-00000000", "zz", "\x7f", "\x80", "\xff", "A", "x",
};

std::string RandomModelText(size_t ulPieces)
{
  std::string s;
  for (size_t i = 0; i < ulPieces; ++i) {
    // a piece of the grammar, or any byte but the terminator
    s += g_rng() % 8 ? std::string(kPieces[g_rng() % std::size(kPieces)]) : std::string(1, (char)(1 + g_rng() % 255));
  }
  return s;
}

const char* const kKeys[] = { "NAME", "REG", "CAP", "DEPTH", "MINTERM", "REMAP", "CACHE", "KEY", "MWID",
                              "LNPCOL", "PID", "VID", "BCDDEVICE", "DEVID", "SUBID", "QID", "FWID" };
const char* const kValues[] = { "0x1", "0xC01E", "12", "4660", "-7", "1,3,5-7", "0x000000EA-00000000",
                                "MOU#0x12 KBD", "0x3A,0x04+0x05,EVT#0x10+0x05", "0x3A,\"ab\"", "0x1200, 0xFF00",
                                "0xC001,0xC002", "Demo Mouse", "" };

// A file of mostly well-formed sections, then damaged here and there.
std::string RandomModelFile()
{
  std::string s;
  int nSections = 1 + g_rng() % 6;
  for (int i = 0; i < nSections; ++i) {
    if (g_rng() % 6 == 0) {
      s += "[Unsupported]\n";
      for (int k = g_rng() % 4; k > 0; --k) {
        s += kKeys[8 + g_rng() % 9];
        s += "=";
        s += kValues[g_rng() % 14];
        s += "\n";
      }
      continue;
    }
    char header[40];
    snprintf(header, sizeof header, g_rng() % 2 ? "[0x%08X]\r\n" : "[0x%X-%X]\n", (unsigned)(g_rng() % 64),
             (unsigned)(g_rng() % 4));
    s += header;
    for (int k = g_rng() % 8; k > 0; --k) {
      s += kKeys[g_rng() % 17];
      s += g_rng() % 2 ? " = " : "=";
      s += g_rng() % 4 ? kValues[g_rng() % 14] : RandomModelText(g_rng() % 6);
      s += g_rng() % 2 ? "\r\n" : "\n";
    }
  }
  for (int k = g_rng() % 4; k > 0 && !s.empty(); --k) {
    size_t at = g_rng() % s.size();
    g_rng() % 2 ? (void)s.erase(at, 1 + g_rng() % 3) : (void)s.insert(at, RandomModelText(1));
  }
  return s;
}

// A heap copy of exactly the text and its terminator.
char* ExactCopy(const std::string& s)
{
  char* p = static_cast<char*>(malloc(s.size() + 1));
  memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

void FreeModels(IniWorkArea* pWork)
{
  for (ULONG i = 0; i < pWork->ulCount; ++i) IniFreeModelInfo(&pWork->pRecords[i]);
  pWork->ulCount = 0;
}
}  // namespace

// Whole files' texts through comment removal and merging, sometimes with an
// allocation failing on the way.
TEST(NativeModels, RandomTextsMergeSafely)
{
  IniWorkArea work = { static_cast<tModelInfo*>(calloc(INI_MAX_MODELS, sizeof(tModelInfo))), 0 };
  ULONG ulAdded = 0;
  for (int i = 0; i < 20000; ++i) {
    char* pText = ExactCopy(g_rng() % 4 ? RandomModelFile() : RandomModelText(1 + g_rng() % 120));
    IniSetAllocationFailure(g_rng() % 4 == 0 ? 1 + g_rng() % 8 : 0);
    size_t ulLength = IniStripComments(pText);
    ASSERT_EQ(ulLength, strlen(pText));
    ULONG* pUnsupported = nullptr;
    ULONG ulUnsupported = 0;
    ulAdded += IniMergeText(&work, &pUnsupported, &ulUnsupported, pText, g_rng() % 2);
    ASSERT_LE(work.ulCount, INI_MAX_MODELS);
    ASSERT_TRUE(pUnsupported != nullptr || ulUnsupported == 0);
    for (ULONG k = 1; k < ulUnsupported; ++k) ASSERT_LE(pUnsupported[k - 1], pUnsupported[k]);
    for (ULONG k = 0; k < work.ulCount; ++k) {
      const tModelInfo& m = work.pRecords[k];
      for (const char* s : { m.sModelName, m.sReg, m.sCap, m.sDepth, m.sMinTerm, m.sRemap, m.sCache }) {
        ASSERT_TRUE(s == nullptr || strlen(s) < INI_VALUE_SIZE);
      }
      for (const tKeySequence* pKey = m.pKeyList; pKey != nullptr; pKey = pKey->pNext) {
        ASSERT_TRUE(pKey->ulLength <= KEY_SEQUENCE_MAX_STEP_BYTES && pKey->ulLength % 4 == 0);
      }
    }
    free(pUnsupported);
    free(pText);
    if (i % 50 == 49) FreeModels(&work);   // fresh section numbers count again
  }
  IniSetAllocationFailure(0);
  FreeModels(&work);
  free(work.pRecords);
  EXPECT_GT(ulAdded, 1000u);   // most files are nearly well-formed, so models are made
  EXPECT_GT(g_ulNativeTraceLines, 0u);
}

// Random values, and every length of a too-long step list, stop at the 800-byte bound.
TEST(NativeModels, RandomKeySequencesAndCapabilities)
{
  tKeySequence* pSeq = static_cast<tKeySequence*>(calloc(1, sizeof(tKeySequence)));
  int nParsed = 0;
  for (int i = 0; i < 20000; ++i) {
    const int nSteps = i % 50 == 0 ? 1 + i / 50 : 0;   // 1 to 400: about 150 fit with their step headers
    std::string value = nSteps ? "0x3A" : (g_rng() % 2 ? "0x3A" : "") + RandomModelText(g_rng() % 40);
    for (int k = 0; k < nSteps; ++k) value += (k % 3 == 0) ? ",0x04" : "+0x05";
    char* p = ExactCopy(value);
    BOOL bOk = ParseKeySequence(pSeq, p);
    nParsed += bOk;
    ASSERT_LE(pSeq->ulLength, KEY_SEQUENCE_MAX_STEP_BYTES);
    ASSERT_TRUE(nSteps == 0 || ((bOk || nSteps > 100) && (!bOk || nSteps <= 200))) << nSteps;
    ULONG ulHex = 0;
    const char* pEnd = ParseHexToken(&ulHex, p);
    ASSERT_TRUE(pEnd == nullptr || pEnd <= p + value.size());
    IniParseIntValue(p, kPieces[g_rng() % std::size(kPieces)]);
    free(p);
  }
  free(pSeq);
  EXPECT_GT(nParsed, 0);
}

// Enciphered images of every small size and random content: opened safely,
// and a sealed text always opens to itself.
TEST(NativeModels, EnvelopesOfAnyShapeOpenSafely)
{
  for (int i = 0; i < 3000; ++i) {
    size_t ulSize = g_rng() % 80;
    std::vector<uint8_t> image(ulSize);
    for (uint8_t& b : image) b = (uint8_t)g_rng();
    if (ulSize >= 4 && g_rng() % 2) {
      uint32_t n = (uint32_t)(g_rng() % 80);   // a length that may or may not fit
      memcpy(image.data(), &n, 4);
    }
    uint8_t* pImage = static_cast<uint8_t*>(malloc(ulSize ? ulSize : 1));
    if (ulSize != 0) memcpy(pImage, image.data(), ulSize);
    char* pText = nullptr;
    size_t ulLength = 0;
    BOOL bCheck = FALSE;
    if (IniEnvelopeOpen(pImage, ulSize, &pText, &ulLength, &bCheck)) {
      ASSERT_NE(pText, nullptr);
      ASSERT_EQ(RoundUp((ULONG)ulLength, 8) + INI_ENVELOPE_OVERHEAD, ulSize);
      ASSERT_EQ(pText[ulLength], '\0');
      IniHeapFree(pText);
    }
    free(pImage);

    std::string plain = RandomModelText(g_rng() % 30);
    size_t ulImage = 0;
    uint8_t* pSealed = IniEnvelopeSeal(plain.data(), plain.size(), &ulImage);
    ASSERT_NE(pSealed, nullptr);
    ASSERT_EQ(ulImage, RoundUp((ULONG)plain.size(), 8) + INI_ENVELOPE_OVERHEAD);
    ASSERT_TRUE(IniEnvelopeOpen(pSealed, ulImage, &pText, &ulLength, &bCheck));
    ASSERT_TRUE(bCheck);
    ASSERT_EQ(std::string(pText, ulLength), plain);
    IniHeapFree(pText);
    IniHeapFree(pSealed);
  }
}
