// Trace log and assertions: one facility for every unit of the plug-in.
#pragma once
#include <windows.h>
#include <cstdarg>
#include <cstdint>

// Line categories (one bit per line).
enum : DWORD {
  TRACE_CAT_REMOVAL    = 0x00000004,
  TRACE_CAT_SYSTEM     = 0x00000010,
  TRACE_CAT_LIST       = 0x00000100,
  TRACE_CAT_FIFO       = 0x00000200,
  TRACE_CAT_LOCK       = 0x00001000,
  TRACE_CAT_SHUTDOWN   = 0x00002000,
  TRACE_CAT_INI        = 0x00020000,
  TRACE_CAT_UNREGISTER = 0x00400000,
  TRACE_CAT_MODULE     = 0x01000000,
  TRACE_CAT_WARNING    = 0x04000000,
  TRACE_CAT_ERROR      = 0x08000000,
  TRACE_CAT_INFO       = 0x20000000,
};

constexpr DWORD TRACE_DEFAULT_LEVEL = 0xFFFDECFF;
constexpr DWORD TRACE_DEFAULT_BSFLAGS = 0x710;
constexpr DWORD TRACE_FLAG_LOGFILE = 0x2;
constexpr DWORD TRACE_FLAG_APPEND = 0x4;
constexpr DWORD TRACE_FLAG_KEEP_OLD = 0x8;

extern volatile BOOL g_bTraceInfo;
extern volatile BOOL g_bTraceWarnings;
extern DWORD g_dwDebugLevel;
extern DWORD g_dwDebugFlags;
extern DWORD g_dwBsFlags;
extern char g_szDebugLogFile[MAX_PATH];
extern const char* g_sTraceModuleName;

BOOL TraceStart(const char* sModuleName, DWORD dwModuleCategory);
BOOL TraceInit(const char* sModuleName);
BOOL TraceStop();
// The library is unloaded from a process that goes on: closes the log file and
// its mutex and gives back the viewer region, which otherwise stay until the
// process ends.
void TraceRelease();
BOOL TraceSetFunction(const char* sFunction);
BOOL TraceCategory(DWORD dwCategory, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
BOOL TraceInfo(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
BOOL TraceWarning(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
BOOL TraceError(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
BOOL TraceDump(const char* sLabel, const void* pData, ULONG ulSize);
const char* DeviceTraceName(const void* pDevice);
DWORD TraceSetOutputFlags(DWORD dwValue, DWORD dwMask);
void TraceClearOutputFlags();

// Host's shared region, once bound: the level and module category live there.
// Forgotten again at unbinding and after a failed bind.
struct tMainShare;
void TraceAttachMainShare(tMainShare* pMainShare);
void TraceDetachMainShare();
DWORD TraceCurrentLevel();

// Recomputes the two switches from g_dwBsFlags.
void TraceDeriveSwitches();

// In-process observer of every finished line (tests and the reference host).
typedef void (*PFN_TRACE_OBSERVER)(DWORD dwCategory, const char* sLine, void* pContext);
void TraceSetObserver(PFN_TRACE_OBSERVER pfn, void* pContext);

// Call-site conventions: the function names itself, then traces.
#define TRACE_INFO(...)                                          \
  do {                                                           \
    if (g_bTraceInfo) {                                          \
      TraceSetFunction(__func__);                                \
      TraceInfo(__VA_ARGS__);                                    \
    }                                                            \
  } while (0)
#define TRACE_WARNING(...)                                       \
  do {                                                           \
    if (g_bTraceWarnings) {                                      \
      TraceSetFunction(__func__);                                \
      TraceWarning(__VA_ARGS__);                                 \
    }                                                            \
  } while (0)
#define TRACE_ERROR(...)                                         \
  do {                                                           \
    TraceSetFunction(__func__);                                  \
    TraceError(__VA_ARGS__);                                     \
  } while (0)
#define TRACE_CATEGORY(cat, ...)                                 \
  do {                                                           \
    TraceSetFunction(__func__);                                  \
    TraceCategory((cat), __VA_ARGS__);                           \
  } while (0)

// Logs a failed condition and goes on; never stops the program.
#define DRAV_ASSERT(cond)                                                        \
  do {                                                                           \
    if (!(cond)) {                                                               \
      TraceSetFunction(__func__);                                                \
      TraceError("%s - %s line %d: assert %s\n", __func__, __FILE_NAME__, __LINE__, #cond); \
    }                                                                            \
  } while (0)
// The same with the condition text given apart (for asserts of literal texts).
#define DRAV_ASSERT_TEXT(cond, text)                                             \
  do {                                                                           \
    if (!(cond)) {                                                               \
      TraceSetFunction(__func__);                                                \
      TraceError("%s - %s line %d: assert %s\n", __func__, __FILE_NAME__, __LINE__, text); \
    }                                                                            \
  } while (0)
