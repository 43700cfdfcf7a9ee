// The list unit's trace sinks on Windows: the plug-in's trace log.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "diag/Trace.h"
#include "diag/TraceFormat.h"
#include "list/ListMgr.h"

void ListTraceLine(uint32_t ulCategory, const char* sFunction, const char* sFormat, ...)
{
  if (ulCategory == LIST_TRACE_INFO && !g_bTraceInfo) {
    return;
  }
  char sText[TRACE_LINE_SIZE];
  va_list args;
  va_start(args, sFormat);
  vsnprintf(sText, sizeof sText, sFormat, args);
  va_end(args);
  // The name is left out when the text already starts with it.
  TraceSetFunction(sFunction != nullptr && TraceFormatStartsWithName(sText, sFunction) ? nullptr : sFunction);
  TraceCategory(ulCategory, "%s", sText);
}

void ListTraceAssert(const char* sFunction, const char* sFile, int iLine, const char* sCondition)
{
  TraceSetFunction(sFunction);
  TraceError("%s - %s line %d: assert %s\n", sFunction, sFile, iLine, sCondition);
}
