// The model parsers' platform for the native build: the C heap (every block
// its own allocation, so the sanitizers see each one) and a trace sink that
// only formats, so that every format and argument is exercised.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "models/IniPlatform.h"

static uint32_t s_ulFailCountdown = 0;
unsigned long g_ulNativeTraceLines = 0;

void IniSetAllocationFailure(uint32_t ulNth) { s_ulFailCountdown = ulNth; }

void* IniHeapAlloc(size_t ulSize)
{
  if (s_ulFailCountdown > 0 && --s_ulFailCountdown == 0) {
    return nullptr;
  }
  return calloc(1, ulSize == 0 ? 1 : ulSize);
}

void IniHeapFree(void* p) { free(p); }

static void Sink(const char* sFormat, va_list args)
{
  char sText[512];
  vsnprintf(sText, sizeof sText, sFormat, args);
  g_ulNativeTraceLines++;
}

void IniTraceCategory(uint32_t, const char*, const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  Sink(sFormat, args);
  va_end(args);
}

#define NATIVE_TRACE_SINK(name)                         \
  void name(const char*, const char* sFormat, ...)      \
  {                                                     \
    va_list args;                                       \
    va_start(args, sFormat);                            \
    Sink(sFormat, args);                                \
    va_end(args);                                       \
  }
NATIVE_TRACE_SINK(IniTraceError)
NATIVE_TRACE_SINK(IniTraceWarning)
NATIVE_TRACE_SINK(IniTraceInfo)

void IniTraceAssert(const char*, const char*, int, const char*) { g_ulNativeTraceLines++; }
