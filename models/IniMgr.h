// Model database: model files, their sections and keys, key sequences and the
// unsupported list. Everything but the file and folder access is pure text
// work (IniText.cpp, IniSection.cpp, IniMerge.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

#include "models/ModelInfo.h"

// ---- Loading model files ------------------------------------------------------
constexpr ULONG INI_FLAG_ENCRYPT_PLAIN = 0x400;   // rewrite a plain file enciphered
constexpr ULONG INI_MAX_MODELS = 1024;            // records of the work area
constexpr ULONG INI_WORK_AREA_SIZE = INI_MAX_MODELS * sizeof(tModelInfo);
static_assert(INI_WORK_AREA_SIZE == 0x1A000, "work area of 106496 bytes");

// Envelope of enciphered files.
extern const char INI_CIPHER_KEY[];                 // 45 characters, used without terminator
constexpr size_t INI_CIPHER_KEY_LENGTH = 45;
constexpr ULONG INI_CHAIN_INIT_L = 0x4D6F7573;      // fixed initial chain block
constexpr ULONG INI_CHAIN_INIT_R = 0x65494E49;
constexpr char INI_PLAIN_SIGNATURE[] = ";DRAV";
constexpr size_t INI_ENVELOPE_OVERHEAD = 12;        // length word + two check words

ULONG IniLoadFilesFromPath(tModelInfo** ppModelTable, ULONG* pulModelTableCount, ULONG** ppulUnsupported,
                           ULONG* pulUnsupportedCount, const char* sPath, ULONG ulFlags, BOOL bWarnOverwrite);
ULONG IniLoadFile(tModelInfo** ppModelTable, ULONG* pulModelTableCount, ULONG** ppulUnsupported,
                  ULONG* pulUnsupportedCount, const char* sFileName, ULONG ulFlags, BOOL bWarnOverwrite);
ULONG RoundUp(ULONG ulValue, ULONG ulMultiple);

// Frees every record of a table (strings and key lists) and the table itself.
void IniFreeModelTable(tModelInfo* pTable, ULONG ulCount);

// ---- Envelope (pure) ------------------------------------------------------------
// Opens an enciphered image of ulSize bytes: on success *ppText is a new heap
// block of m + 1 zeroed bytes holding the n plain bytes, terminated at n, and
// *pulTextLength = n. *pbCheckOk tells whether the check words matched.
BOOL IniEnvelopeOpen(const uint8_t* pImage, size_t ulSize, char** ppText, size_t* pulTextLength, BOOL* pbCheckOk);
// Builds the enciphered image of a plain text in one new heap block of
// RoundUp(n, 8) + 12 bytes; null when the block cannot be had.
uint8_t* IniEnvelopeSeal(const char* pText, size_t ulLength, size_t* pulImageSize);

// ---- Merging one file's text into the work area (pure) -------------------------
struct IniWorkArea {
  tModelInfo* pRecords;   // INI_MAX_MODELS records
  ULONG ulCount;
};
// Removes comments in place; returns the new length.
size_t IniStripComments(char* sText);
// Cuts a comment-free text into sections and merges them; returns the number
// of models added.
ULONG IniMergeText(IniWorkArea* pWork, ULONG** ppulUnsupported, ULONG* pulUnsupportedCount, char* sText,
                   BOOL bWarnOverwrite);

// ---- Sections and keys ----------------------------------------------------------
constexpr size_t INI_VALUE_SIZE = 260;        // value buffer of the section keys
constexpr size_t INI_STRING_VALUE_SIZE = 257; // value buffer of strings and KEY lines
constexpr size_t INI_MAX_STRING = 256;        // strings are shorter than this
constexpr size_t REG_MAP_TEXT_SIZE = 74;      // "0x%08X-...-%08X" and terminator

BOOL IniLoadSection(tModelInfo* pModel, char* sSection);
char* IniGetKeyValue(const char* sKey, char* sDest, size_t ulDestSize, char* sText);
BOOL IniLoadString(const char* sKey, char** psDest, char* sText);
BOOL IniLoadNumeric(char* sValue, size_t ulBufferSize, ULONG* pulDest);
// Rewrites a register list in map form; sText must have room for
// ulSize bytes (at least REG_MAP_TEXT_SIZE, else the text is left as it is).
void RegStringToMap(char* sText, size_t ulSize = INI_VALUE_SIZE);
void IniFreeModelInfo(tModelInfo* pModel);

// ---- Key sequences and unsupported list -------------------------------------------
constexpr ULONG UNSUPPORTED_TYPE_MWID = 1;
constexpr ULONG UNSUPPORTED_TYPE_FWID = 2;
constexpr ULONG UNSUPPORTED_TYPE_PID = 3;
constexpr ULONG UNSUPPORTED_TYPE_SUBID = 4;
constexpr ULONG UNSUPPORTED_TYPE_QID = 5;

BOOL IniLoadKeyList(const char* sKey, tKeySequence** psDest, char* sText);
BOOL ParseKeySequence(tKeySequence* pSequence, const char* sValue);
const char* ParseHexToken(ULONG* pulDest, const char* sText);
BOOL IniLoadUnsupportedSection(ULONG** ppulUnsupported, ULONG* pulUnsupportedCount, char* sSection);
// One line of the unsupported section. Counting pass: ppulList null, every
// value raises *pulCount. Filling pass: values go to (*ppulList)[*pulIndex++]
// while the index is below *pulCount.
char* ParseUnsupportedListKey(BOOL* pbEnd, char* sText, ULONG* pulCount, ULONG* pulIndex, ULONG** ppulList);
