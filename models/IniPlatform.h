// What the model-file parsers need from the platform: the heap and the trace
// log. Kept free of Windows headers so the parsers build anywhere; the
// Windows side (IniMgr.cpp) supplies these over diag/Trace.h and the heap.
#pragma once
#include <cstddef>
#include <cstdint>

// Zero-filled block from the plug-in's heap (the process heap until the
// plug-in has taken one); null on failure.
void* IniHeapAlloc(size_t ulSize);
void IniHeapFree(void* p);

// Trace sinks: sFunction names the calling function for the line.
void IniTraceCategory(uint32_t ulCategory, const char* sFunction, const char* sFormat, ...)
    __attribute__((format(printf, 3, 4)));
void IniTraceError(const char* sFunction, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void IniTraceWarning(const char* sFunction, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void IniTraceInfo(const char* sFunction, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void IniTraceAssert(const char* sFunction, const char* sFile, int iLine, const char* sCondition);

constexpr uint32_t INI_TRACE_CATEGORY = 0x00020000;

#define INI_TRACE(...) IniTraceCategory(INI_TRACE_CATEGORY, __func__, __VA_ARGS__)
#define INI_ERROR(...) IniTraceError(__func__, __VA_ARGS__)
#define INI_WARNING(...) IniTraceWarning(__func__, __VA_ARGS__)
#define INI_INFO(...) IniTraceInfo(__func__, __VA_ARGS__)
// The same under another function's name: a step taken out of a function
// still writes its lines as that function.
#define INI_TRACE_AS(sFunction, ...) IniTraceCategory(INI_TRACE_CATEGORY, sFunction, __VA_ARGS__)
#define INI_ERROR_AS(sFunction, ...) IniTraceError(sFunction, __VA_ARGS__)
#define INI_WARNING_AS(sFunction, ...) IniTraceWarning(sFunction, __VA_ARGS__)
#define INI_ASSERT_TEXT_AS(sFunction, cond, text)              \
  do {                                                        \
    if (!(cond)) {                                            \
      IniTraceAssert(sFunction, __FILE_NAME__, __LINE__, text); \
    }                                                         \
  } while (0)

// Name of the file loader, whose steps are spread over several units.
constexpr char INI_LOADER_NAME[] = "IniLoadFile";

#define INI_ASSERT(cond)                                      \
  do {                                                        \
    if (!(cond)) {                                            \
      IniTraceAssert(__func__, __FILE_NAME__, __LINE__, #cond); \
    }                                                         \
  } while (0)
#define INI_ASSERT_TEXT(cond, text)                           \
  do {                                                        \
    if (!(cond)) {                                            \
      IniTraceAssert(__func__, __FILE_NAME__, __LINE__, text); \
    }                                                         \
  } while (0)

// Test hook: the n-th allocation from now (1 = the next one) fails; 0 turns
// the failure off. Only tests set it.
void IniSetAllocationFailure(uint32_t ulNth);

// Writes a whole block to an open file (a HANDLE); false when the write failed
// or came short.
bool IniWriteFile(void* hFile, const void* pData, uint32_t ulSize);
// Test hook: every model-file write from now fails outright (INI_WRITE_FAIL)
// or stops after half its bytes (INI_WRITE_SHORT), as on a full disk, until
// INI_WRITE_OK. Only tests set it.
enum IniWriteFault { INI_WRITE_OK, INI_WRITE_FAIL, INI_WRITE_SHORT };
void IniSetWriteFault(IniWriteFault eFault);
