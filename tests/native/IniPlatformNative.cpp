// The model parsers' platform for the native fuzz build: the C heap (every
// block its own allocation, so the sanitizers see each one) and a trace sink
// that only formats, so that every format and argument is exercised.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "models/IniPlatform.h"

static uint32_t s_ulFailCountdown = 0;

void IniSetAllocationFailure(uint32_t ulNth) { s_ulFailCountdown = ulNth; }

void* IniHeapAlloc(size_t ulSize)
{
  return s_ulFailCountdown > 0 && --s_ulFailCountdown == 0 ? nullptr : calloc(1, ulSize == 0 ? 1 : ulSize);
}

void IniHeapFree(void* p) { free(p); }

#define NATIVE_TRACE_SINK(name, ...)                \
  void name(__VA_ARGS__, const char* sFormat, ...)  \
  {                                                 \
    char sText[512];                                \
    va_list args;                                   \
    va_start(args, sFormat);                        \
    vsnprintf(sText, sizeof sText, sFormat, args);  \
    va_end(args);                                   \
  }
NATIVE_TRACE_SINK(IniTraceCategory, uint32_t, const char*)
NATIVE_TRACE_SINK(IniTraceError, const char*)
NATIVE_TRACE_SINK(IniTraceWarning, const char*)
NATIVE_TRACE_SINK(IniTraceInfo, const char*)

void IniTraceAssert(const char*, const char*, int, const char*) {}
