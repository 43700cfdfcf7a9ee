// The enciphered envelope of model files: length word, CBC ciphertext and
// two check words. Pure: heap and trace through IniPlatform.h.
#include <cstring>

#include "models/Blowfish.h"
#include "models/IniMgr.h"
#include "models/IniPlatform.h"

const char INI_CIPHER_KEY[] = "Quillend-5C27A0F3-8E14-4b6d-A2C9-0D73E6F41B95";
static_assert(sizeof INI_CIPHER_KEY == INI_CIPHER_KEY_LENGTH + 1, "45-byte key");

static uint32_t ReadLe32(const uint8_t* p)
{
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void WriteLe32(uint8_t* p, uint32_t v)
{
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

static CipherBlock InitialChain()
{
  CipherBlock chain;
  chain.L = INI_CHAIN_INIT_L;
  chain.R = INI_CHAIN_INIT_R;
  return chain;
}

static void PrepareCipher(BlowfishCipher* pCipher)
{
  pCipher->Initialize(reinterpret_cast<const uint8_t*>(INI_CIPHER_KEY), INI_CIPHER_KEY_LENGTH);
}

BOOL IniEnvelopeOpen(const uint8_t* pImage, size_t ulSize, char** ppText, size_t* pulTextLength, BOOL* pbCheckOk)
{
  if (pImage == nullptr || ppText == nullptr || pulTextLength == nullptr) {
    INI_ERROR("NULL Pointer.");
    return FALSE;
  }
  *ppText = nullptr;
  *pulTextLength = 0;
  if (pbCheckOk != nullptr) *pbCheckOk = FALSE;
  if (ulSize < INI_ENVELOPE_OVERHEAD) {
    INI_TRACE("IniLoadFilesFromPath - Enciphered file too short (%u bytes).\n", (unsigned)ulSize);
    return FALSE;
  }
  uint64_t n = ReadLe32(pImage);
  uint64_t m = (n + 7) / 8 * 8;
  if ((uint64_t)ulSize != m + INI_ENVELOPE_OVERHEAD) {
    INI_TRACE("IniLoadFilesFromPath - Enciphered length %u does not fit the file size %u.\n", (unsigned)n,
              (unsigned)ulSize);
    return FALSE;
  }
  char* pText = static_cast<char*>(IniHeapAlloc((size_t)m + 1));
  if (pText == nullptr) {
    INI_ERROR("Failed to allocated %d bytes. Reason:%d.", (int)(m + 1), 0);
    return FALSE;
  }
  CipherBlock chain;
  try {
    BlowfishCipher cipher;
    PrepareCipher(&cipher);
    CipherBlock last = InitialChain();
    cipher.DecryptCBC(pImage + 4, reinterpret_cast<uint8_t*>(pText), (size_t)m, &last);
    chain = cipher.EncryptBlock(last);
  } catch (const BlowfishError& e) {
    INI_ERROR("%s", e.what());
    IniHeapFree(pText);
    return FALSE;
  }
  uint32_t L = ReadLe32(pImage + 4 + m);
  uint32_t R = ReadLe32(pImage + 8 + m);
  INI_ASSERT_TEXT_AS(INI_LOADER_NAME, chain.L == L && chain.R == R, "chain.L == L && chain.R == R");
  if (pbCheckOk != nullptr) *pbCheckOk = (chain.L == L && chain.R == R) ? TRUE : FALSE;
  // The text may hold no terminator of its own: cut it at n.
  pText[n] = '\0';
  *ppText = pText;
  *pulTextLength = (size_t)n;
  return TRUE;
}

uint8_t* IniEnvelopeSeal(const char* pText, size_t ulLength, size_t* pulImageSize)
{
  if (pulImageSize != nullptr) *pulImageSize = 0;
  if (pText == nullptr || ulLength > 0xFFFFFFF0u) {
    INI_ERROR("NULL Pointer.");
    return nullptr;
  }
  size_t m = (ulLength + 7) / 8 * 8;
  size_t ulImage = m + INI_ENVELOPE_OVERHEAD;
  // Zero fill doubles as the padding of the last block.
  auto* pImage = static_cast<uint8_t*>(IniHeapAlloc(ulImage));
  if (pImage == nullptr) {
    INI_ERROR("Failed to allocated %d bytes. Reason:%d.", (int)ulImage, 0);
    return nullptr;
  }
  WriteLe32(pImage, (uint32_t)ulLength);
  memcpy(pImage + 4, pText, ulLength);
  try {
    BlowfishCipher cipher;
    PrepareCipher(&cipher);
    CipherBlock chain = InitialChain();
    cipher.EncryptCBC(pImage + 4, pImage + 4, m, &chain);
    CipherBlock check = cipher.EncryptBlock(chain);
    WriteLe32(pImage + 4 + m, check.L);
    WriteLe32(pImage + 8 + m, check.R);
  } catch (const BlowfishError& e) {
    INI_ERROR("%s", e.what());
    IniHeapFree(pImage);
    return nullptr;
  }
  if (pulImageSize != nullptr) *pulImageSize = ulImage;
  return pImage;
}

