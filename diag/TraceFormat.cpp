#include "diag/TraceFormat.h"

#include <cstdio>
#include <cstring>

// Categories that pick the level prefix.
static constexpr uint32_t CAT_WARNING = 0x04000000;
static constexpr uint32_t CAT_ERROR = 0x08000000;

bool TraceFormatStartsWithName(const char* sFormat, const char* sName)
{
  // A text search: the name counts only where it is first found.
  const char* p = strstr(sFormat, sName);
  return p == sFormat;
}

size_t TraceFormatLine(char* pLine, const char* sModule, uint32_t ulThreadId, uint32_t ulCategory,
                       const char* sFunction, const char* sFormat, va_list args)
{
  // Room kept at the end: '\n', the file's '\r' and the terminator.
  constexpr size_t kTextLimit = TRACE_LINE_SIZE - 3;
  const char* sPrefix = (ulCategory & CAT_ERROR) ? "<error> " : (ulCategory & CAT_WARNING) ? "<warning> " : "";
  int n;
  if (sFunction != nullptr && !TraceFormatStartsWithName(sFormat, sFunction)) {
    n = snprintf(pLine, kTextLimit + 1, "%s <%04u> %s%s - ", sModule, ulThreadId, sPrefix, sFunction);
  } else {
    n = snprintf(pLine, kTextLimit + 1, "%s <%04u> %s", sModule, ulThreadId, sPrefix);
  }
  size_t len = n < 0 ? 0 : (size_t)n;
  if (len > kTextLimit) len = kTextLimit;
  if (len < kTextLimit) {
    int m = vsnprintf(pLine + len, kTextLimit + 1 - len, sFormat, args);
    if (m > 0) len += (size_t)m;
    if (len > kTextLimit) len = kTextLimit;
  }
  pLine[len] = '\0';
  // A cut line may have lost its own line feed; one is always added back.
  if (len == 0 || pLine[len - 1] != '\n') {
    pLine[len++] = '\n';
    pLine[len] = '\0';
  }
  return len;
}

size_t TraceFormatFileLine(char* pOut, size_t ulOutSize, int hour, int minute, int second, int ms,
                           uint32_t ulProcessId, const char* sLine)
{
  size_t lineLen = strlen(sLine);
  if (lineLen > 0 && sLine[lineLen - 1] == '\n') lineLen--;
  int n = snprintf(pOut, ulOutSize, "%02d:%02d:%02d.%03d [%u] %.*s\r\n", hour, minute, second, ms,
                   ulProcessId, (int)lineLen, sLine);
  if (n < 0) return 0;
  if ((size_t)n >= ulOutSize) {
    // Keep the line end even when the text had to be cut.
    n = (int)ulOutSize - 1;
    pOut[n - 2] = '\r';
    pOut[n - 1] = '\n';
    pOut[n] = '\0';
  }
  return (size_t)n;
}

void TraceFormatHexChunk(char* pOut, size_t ulOutSize, const uint8_t* pData, size_t ulCount)
{
  size_t len = 0;
  pOut[0] = '\0';
  for (size_t i = 0; i < ulCount && len + 4 <= ulOutSize; ++i) {
    len += (size_t)snprintf(pOut + len, ulOutSize - len, " %02x", pData[i]);
  }
}
