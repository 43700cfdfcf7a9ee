// Pure text parsers of the model files: key lookup, numbers, register maps,
// key sequences, unsupported-list lines and capability values.
#include <cstdio>
#include <cstring>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }
static bool IsDecimal(char c) { return c >= '0' && c <= '9'; }
static int HexDigit(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
static char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

ULONG RoundUp(ULONG ulValue, ULONG ulMultiple)
{
  if (ulMultiple == 0) {
    return ulValue;
  }
  return ((ulValue + ulMultiple - 1) / ulMultiple) * ulMultiple;
}

char* IniGetKeyValue(const char* sKey, char* sDest, size_t ulDestSize, char* sText)
{
  if (sKey == nullptr || sDest == nullptr || sText == nullptr || sKey[0] == '\0' || ulDestSize == 0) {
    return nullptr;
  }
  size_t ulKeyLength = strlen(sKey);
  char* p = sText;
  while ((p = strstr(p, sKey)) != nullptr) {
    char* q = p + ulKeyLength;
    while (IsBlank(*q)) q++;
    if (*q == '=') {
      q++;
      while (IsBlank(*q)) q++;
      char* sValue = q;
      while (*q != '\0' && *q != '\n' && *q != '\r') q++;
      size_t ulLength = (size_t)(q - sValue);
      if (ulLength < ulDestSize) {
        memcpy(sDest, sValue, ulLength);
        sDest[ulLength] = '\0';
        return q;
      }
    }
    p += ulKeyLength;
  }
  return nullptr;
}

// ---- Register maps --------------------------------------------------------------

static bool IsMapCharacter(char c) { return HexDigit(c) >= 0 || c == 'x'; }

void RegStringToMap(char* sText, size_t ulSize)
{
  if (sText == nullptr) {
    return;
  }
  bool bMapForm = true;
  for (int i = 0; i < 10; ++i) {
    if (!IsMapCharacter(sText[i])) {   // the terminator stops this too
      bMapForm = false;
      break;
    }
  }
  if (bMapForm) {
    return;
  }
  if (ulSize < REG_MAP_TEXT_SIZE) {
    INI_ERROR("RegStringToMap - no room for the map (%u bytes).\n", (unsigned)ulSize);
    return;
  }
  INI_TRACE("RegStringToMap - list is %s\n", sText);
  uint32_t aulSet[8] = {};
  const char* p = sText;
  bool bRange = false;
  uint32_t ulStart = 0;
  for (;;) {
    uint32_t ulValue = 0;
    if (p[0] == '0' && p[1] == 'x') {
      p += 2;
      for (int d; (d = HexDigit(*p)) >= 0; ++p) ulValue = ulValue * 16 + (uint32_t)d;
    } else {
      for (; IsDecimal(*p); ++p) ulValue = ulValue * 10 + (uint32_t)(*p - '0');
    }
    char cEnd = *p;
    if (cEnd == '-') {
      bRange = true;
      ulStart = ulValue;
      ++p;
      continue;
    }
    uint32_t ulLow = bRange ? ulStart : ulValue;
    uint32_t ulHigh = ulValue > 255 ? 255 : ulValue;
    bRange = false;
    if (ulValue <= 255 || ulLow <= 255) {
      for (uint32_t b = ulLow; b <= ulHigh; ++b) {
        aulSet[b / 32] |= 1u << (b % 32);
      }
    }
    if (cEnd == '\0') {
      break;
    }
    ++p;
  }
  snprintf(sText, ulSize, "0x%08X-%08X-%08X-%08X-%08X-%08X-%08X-%08X", aulSet[0], aulSet[1], aulSet[2],
           aulSet[3], aulSet[4], aulSet[5], aulSet[6], aulSet[7]);
  INI_TRACE("RegStringToMap - map is %s\n", sText);
}

// ---- Key sequences ---------------------------------------------------------------

const char* ParseHexToken(ULONG* pulDest, const char* sText)
{
  if (sText == nullptr || sText[0] != '0' || sText[1] != 'x') {
    return nullptr;
  }
  const char* p = sText + 2;
  ULONG ulValue = 0;
  int iDigits = 0;
  for (int d; iDigits < 8 && (d = HexDigit(*p)) >= 0; ++p, ++iDigits) {
    ulValue = (ulValue << 4) | (ULONG)d;
  }
  if (iDigits == 0) {
    return nullptr;
  }
  if (pulDest != nullptr) {
    *pulDest = ulValue;
  }
  return p;
}

// HID keyboard usage of the unshifted US-layout key that types c, 0 if none
// or if the character needs Shift.
static ULONG AsciiToUsage(char c, bool* pbShifted)
{
  *pbShifted = false;
  if (c >= 'a' && c <= 'z') return 0x04 + (ULONG)(c - 'a');
  if (c >= '1' && c <= '9') return 0x1E + (ULONG)(c - '1');
  switch (c) {
    case '0': return 0x27;
    case ' ': return 0x2C;
    case '-': return 0x2D;
    case '=': return 0x2E;
    case '[': return 0x2F;
    case ']': return 0x30;
    case '\\': return 0x31;
    case ';': return 0x33;
    case '\'': return 0x34;
    case '`': return 0x35;
    case ',': return 0x36;
    case '.': return 0x37;
    case '/': return 0x38;
    case 0x7F: return 0x2A;
    default: break;
  }
  *pbShifted = true;   // upper-case letters and ! " # $ % & ( ) * + : < > ? @ ^ _ { | } ~
  return 0;
}

namespace {
// The step being built inside a key-sequence record.
struct StepBuilder {
  tKeySequence* pSeq;
  size_t ulHeader;     // word index of the open step's header
  ULONG ulWords;       // 0: no step open
  ULONG ulFlags;       // flag entries + 1
  ULONG ulBits;        // first/last and word-index bits
  bool bUsage;         // a usage code is in the step
  bool bFirstDone;
};

bool StepRoom(const StepBuilder& s, ULONG ulMoreWords)
{
  return (size_t)s.pSeq->ulLength + (size_t)(s.ulWords + ulMoreWords) * 4 <= KEY_SEQUENCE_MAX_STEP_BYTES;
}

void StepClose(StepBuilder* s, bool bLast)
{
  if (s->ulWords == 0) {
    return;
  }
  if (bLast) s->ulBits |= KEY_STEP_LAST;
  s->pSeq->aulSteps[s->ulHeader] =
      s->ulBits | (s->ulFlags << KEY_STEP_FLAGS_SHIFT) | (s->ulWords << KEY_STEP_WORDS_SHIFT);
  s->pSeq->ulLength += (uint64_t)s->ulWords * 4;
  s->ulWords = 0;
}

bool StepOpen(StepBuilder* s)
{
  StepClose(s, false);
  if (!StepRoom(*s, 1)) {
    return false;
  }
  s->ulHeader = (size_t)(s->pSeq->ulLength / 4);
  s->ulWords = 1;
  s->ulFlags = 1;
  s->ulBits = s->bFirstDone ? 0 : KEY_STEP_FIRST;
  s->bFirstDone = true;
  s->bUsage = false;
  return true;
}

bool StepAppend(StepBuilder* s, ULONG ulEntry)
{
  if (!StepRoom(*s, 1)) {
    return false;
  }
  s->pSeq->aulSteps[s->ulHeader + s->ulWords] = ulEntry;
  s->ulWords++;
  return true;
}
}  // namespace

// A quoted string step; p points at the opening quote. Null on error.
// Its lines are those of the sequence parser.
static const char kParserName[] = "ParseKeySequence";

static const char* ParseStringStep(StepBuilder* s, const char* p)
{
  ++p;
  bool bAny = false;
  for (; *p != '"'; ++p) {
    if (*p == '\0') {
      INI_ERROR_AS(kParserName, "unterminated string");
      return nullptr;
    }
    unsigned char c = (unsigned char)*p;
    if (c < 0x20 || c > 0x7F) {
      continue;
    }
    bool bShifted = false;
    ULONG ulUsage = AsciiToUsage((char)c, &bShifted);
    if (bShifted) {
      INI_ERROR_AS(kParserName, "Shifted ascii characters are not supported in string format key sequences");
      continue;
    }
    if (bAny && !StepOpen(s)) {          // leave the empty step after the previous character
      INI_ERROR_AS(kParserName, "sequence too long");
      return nullptr;
    }
    if (!StepAppend(s, ulUsage | KEY_USAGE_PAGE_KEYBOARD) || !StepOpen(s)) {
      INI_ERROR_AS(kParserName, "sequence too long");
      return nullptr;
    }
    bAny = true;
  }
  return p + 1;
}

BOOL ParseKeySequence(tKeySequence* pSequence, const char* sValue)
{
  if (pSequence == nullptr || sValue == nullptr) {
    INI_ERROR("bad key usage code");
    return FALSE;
  }
  memset(pSequence, 0, sizeof *pSequence);
  ULONG ulKeyCode = 0;
  const char* p = ParseHexToken(&ulKeyCode, sValue);
  if (p == nullptr) {
    INI_ERROR("bad key usage code");
    return FALSE;
  }
  pSequence->ulKeyCode = ulKeyCode;
  StepBuilder s = {pSequence, 0, 0, 1, 0, false, false};
  while (*p == ',') {
    ++p;
    if (!StepOpen(&s)) {
      INI_ERROR("sequence too long");
      return FALSE;
    }
    if (*p == '"') {
      p = ParseStringStep(&s, p);
      if (p == nullptr) {
        return FALSE;
      }
      continue;
    }
    for (;;) {
      ULONG ulValue = 0;
      if (*p == '0') {
        const char* q = ParseHexToken(&ulValue, p);
        if (q == nullptr) {
          INI_ERROR("bad key usage code");
          return FALSE;
        }
        if (ulValue < 0x10000) ulValue |= KEY_USAGE_PAGE_KEYBOARD;
        if (!StepAppend(&s, ulValue)) {
          INI_ERROR("sequence too long");
          return FALSE;
        }
        s.bUsage = true;
        p = q;
      } else if (strncmp(p, "EVT#", 4) == 0 || strncmp(p, "JMP#", 4) == 0) {
        bool bEvt = p[0] == 'E';
        const char* q = ParseHexToken(&ulValue, p + 4);
        if (q == nullptr) {
          INI_ERROR("bad EVT usage code");
          return FALSE;
        }
        if (s.bUsage) {
          INI_ERROR("key sequence has flags following the usage codes - they should precede them instead");
          return FALSE;
        }
        ULONG ulIndex = s.ulWords;   // word index the entry will take
        if (!StepAppend(&s, ulValue)) {
          INI_ERROR("sequence too long");
          return FALSE;
        }
        ULONG ulShift = bEvt ? KEY_STEP_EVT_SHIFT : KEY_STEP_JMP_SHIFT;
        s.ulBits = (s.ulBits & ~(KEY_STEP_INDEX_MASK << ulShift)) | ((ulIndex & KEY_STEP_INDEX_MASK) << ulShift);
        s.ulFlags++;
        p = q;
      } else {
        break;
      }
      if (*p != '+') {
        break;
      }
      ++p;
    }
  }
  StepClose(&s, true);
  while (IsBlank(*p)) ++p;
  if (*p != '\0') {
    INI_ERROR("bad KEY value format: %s", p);
    return FALSE;
  }
  return TRUE;
}

// ---- Unsupported list lines ---------------------------------------------------------

namespace {
struct UnsupportedType {
  const char* sName;
  ULONG ulType;
};
const UnsupportedType kUnsupportedTypes[] = {
    {"MWID", UNSUPPORTED_TYPE_MWID}, {"FWID", UNSUPPORTED_TYPE_FWID}, {"PID", UNSUPPORTED_TYPE_PID},
    {"SUBID", UNSUPPORTED_TYPE_SUBID}, {"QID", UNSUPPORTED_TYPE_QID},
};

bool StartsWithNoCase(const char* sText, const char* sPrefix)
{
  for (; *sPrefix != '\0'; ++sText, ++sPrefix) {
    if (UpperAscii(*sText) != UpperAscii(*sPrefix)) return false;
  }
  return true;
}

char* SkipLine(char* p)
{
  while (*p != '\0' && *p != '\n') ++p;
  return *p == '\n' ? p + 1 : p;
}
}  // namespace

char* ParseUnsupportedListKey(BOOL* pbEnd, char* sText, ULONG* pulCount, ULONG* pulIndex, ULONG** ppulList)
{
  if (pbEnd == nullptr || sText == nullptr || pulCount == nullptr) {
    if (pbEnd != nullptr) *pbEnd = TRUE;
    return sText;
  }
  const UnsupportedType* pType = nullptr;
  for (const UnsupportedType& t : kUnsupportedTypes) {
    if (StartsWithNoCase(sText, t.sName)) {
      pType = &t;
      break;
    }
  }
  if (pType == nullptr) {
    *pbEnd = TRUE;
    return sText;
  }
  char* p = sText + strlen(pType->sName);
  while (IsDecimal(*p)) ++p;
  if (*p != '=') {
    // Something else before the '=': the values of this line are not taken,
    // and the text right after the '=' ends the section.
    while (*p != '\0' && *p != '\n' && *p != '=') ++p;
    if (*p != '=') {
      *pbEnd = TRUE;   // no '=' on this line at all
      return p;
    }
    return p + 1;
  }
  ++p;
  while (IsBlank(*p)) ++p;
  while (*p != '\0') {
    ULONG ulValue = 0;
    int iDigits = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      char* q = p + 2;
      for (int d; (d = HexDigit(*q)) >= 0; ++q, ++iDigits) ulValue = (ulValue << 4) | (ULONG)d;
      if (iDigits > 0) p = q;
    } else {
      for (; IsDecimal(*p); ++p, ++iDigits) ulValue = ulValue * 10 + (ULONG)(*p - '0');
    }
    if (iDigits == 0) {
      // Not a number: nothing else on this line can be read.
      p = SkipLine(p);
      break;
    }
    if (ppulList == nullptr) {
      INI_TRACE("\nParseUnsupportedListKey - Found Unsupported %s: 0x%x Index : 0x%x.\n", pType->sName,
                (unsigned)ulValue, (unsigned)*pulCount);
      (*pulCount)++;
    } else if (*ppulList == nullptr) {
      INI_TRACE("ParseUnsupportedListKey - Must Allocate some space for Unsupported list .\n");
    } else if (pulIndex == nullptr || *pulIndex >= *pulCount) {
      INI_TRACE("ParseUnsupportedListKey - UnsupportedIndex is out of range.\n");
    } else {
      ULONG ulEntry = (pType->ulType << 24) | (ulValue & 0xFFFF);
      (*ppulList)[*pulIndex] = ulEntry;
      (*pulIndex)++;
      INI_TRACE("\nParseUnsupportedListKey - Added Unsupported %s: 0x%x Unknown: 0x%x.\n", pType->sName,
                (unsigned)ulValue, (unsigned)ulEntry);
    }
    bool bLineEnd = false;
    while (*p != '\0' && (unsigned char)*p < '0') {
      if (*p == '\n') {
        ++p;
        bLineEnd = true;
        break;
      }
      ++p;
    }
    if (bLineEnd) {
      break;
    }
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  return p;
}

// ---- Capability values ---------------------------------------------------------------

ULONG IniParseIntValue(const char* sCapability, const char* sName)
{
  if (sCapability == nullptr) {
    INI_INFO("Null capability string.");
    return 0;
  }
  if (sName == nullptr) {
    INI_ERROR("Device capability name is NULL.");
    return 0;
  }
  size_t ulNameLength = strlen(sName);
  if (ulNameLength == 0) {
    return 0;
  }
  const char* p = sCapability;
  while ((p = strstr(p, sName)) != nullptr) {
    char c = p[ulNameLength];
    if (c == '#' || c == '\\' || c == ' ' || c == '\t' || c == '\0') {
      break;
    }
    p += ulNameLength;
  }
  if (p == nullptr) {
    return 0;
  }
  const char* q = p + ulNameLength;
  if (*q != '#') {
    INI_TRACE("ParseIntValue - Flag [ %s ] = TRUE.\n", sName);
    return 1;
  }
  ++q;
  ULONG ulValue = 0;
  if (q[0] == '0' && q[1] == 'x') {
    for (q += 2; HexDigit(*q) >= 0; ++q) ulValue = (ulValue << 4) | (ULONG)HexDigit(*q);
  } else {
    for (; IsDecimal(*q); ++q) ulValue = ulValue * 10 + (ULONG)(*q - '0');
  }
  INI_TRACE("ParseIntValue - Integer Cap[ %s ] = %d 0x%x.\n", sName, (int)ulValue, (unsigned)ulValue);
  return ulValue;
}

// ---- Comments --------------------------------------------------------------------------

size_t IniStripComments(char* sText)
{
  if (sText == nullptr) {
    return 0;
  }
  char* r = sText;
  char* w = sText;
  while (*r != '\0') {
    if (*r == ';') {
      while (*r != '\0' && *r != '\n') ++r;
      while (*r == '\r' || *r == '\n') ++r;
      continue;
    }
    *w++ = *r++;
  }
  *w = '\0';
  return (size_t)(w - sText);
}
