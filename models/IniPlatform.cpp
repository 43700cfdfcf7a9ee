// Platform side of the model-file parsers (IniPlatform.h): the plug-in's heap
// and the trace log.
#include "models/IniPlatform.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "diag/Trace.h"
#include "diag/TraceFormat.h"
#include "plugin/Mou.h"

static volatile LONG s_lAllocFailCountdown = 0;

void IniSetAllocationFailure(uint32_t ulNth)
{
  InterlockedExchange(&s_lAllocFailCountdown, (LONG)ulNth);
}

static volatile LONG s_lWriteFault = INI_WRITE_OK;

void IniSetWriteFault(IniWriteFault eFault)
{
  InterlockedExchange(&s_lWriteFault, (LONG)eFault);
}

bool IniWriteFile(void* hFile, const void* pData, uint32_t ulSize)
{
  DWORD dwToWrite = ulSize;
  LONG lFault = s_lWriteFault;
  if (lFault == INI_WRITE_FAIL) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  if (lFault == INI_WRITE_SHORT) {
    dwToWrite = ulSize / 2;
  }
  DWORD dwWritten = 0;
  if (!WriteFile(static_cast<HANDLE>(hFile), pData, dwToWrite, &dwWritten, nullptr)) {
    return false;
  }
  if (dwWritten != ulSize) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

static HANDLE IniHeap()
{
  return g_hHeap != nullptr ? g_hHeap : GetProcessHeap();
}

void* IniHeapAlloc(size_t ulSize)
{
  if (s_lAllocFailCountdown > 0 && InterlockedDecrement(&s_lAllocFailCountdown) == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return HeapAlloc(IniHeap(), HEAP_ZERO_MEMORY, ulSize);
}

void IniHeapFree(void* p)
{
  if (p != nullptr) {
    HeapFree(IniHeap(), 0, p);
  }
}

// Formats the text, then hands it to the trace log under the caller's name
// (left out when the text starts with it, as for a direct call).
static void IniTraceWrite(DWORD dwCategory, const char* sFunction, const char* sFormat, va_list args)
{
  char sText[TRACE_LINE_SIZE];
  vsnprintf(sText, sizeof sText, sFormat, args);
  TraceSetFunction(sFunction != nullptr && TraceFormatStartsWithName(sText, sFunction) ? nullptr : sFunction);
  switch (dwCategory) {
    case TRACE_CAT_ERROR: TraceError("%s", sText); break;
    case TRACE_CAT_WARNING: TraceWarning("%s", sText); break;
    case TRACE_CAT_INFO: TraceInfo("%s", sText); break;
    default: TraceCategory(dwCategory, "%s", sText); break;
  }
}

void IniTraceCategory(uint32_t ulCategory, const char* sFunction, const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  IniTraceWrite(ulCategory, sFunction, sFormat, args);
  va_end(args);
}

void IniTraceError(const char* sFunction, const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  IniTraceWrite(TRACE_CAT_ERROR, sFunction, sFormat, args);
  va_end(args);
}

void IniTraceWarning(const char* sFunction, const char* sFormat, ...)
{
  if (!g_bTraceWarnings) {
    return;
  }
  va_list args;
  va_start(args, sFormat);
  IniTraceWrite(TRACE_CAT_WARNING, sFunction, sFormat, args);
  va_end(args);
}

void IniTraceInfo(const char* sFunction, const char* sFormat, ...)
{
  if (!g_bTraceInfo) {
    return;
  }
  va_list args;
  va_start(args, sFormat);
  IniTraceWrite(TRACE_CAT_INFO, sFunction, sFormat, args);
  va_end(args);
}

void IniTraceAssert(const char* sFunction, const char* sFile, int iLine, const char* sCondition)
{
  TraceSetFunction(sFunction);
  TraceError("%s - %s line %d: assert %s\n", sFunction, sFile, iLine, sCondition);
}

