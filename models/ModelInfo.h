// Model record and key-sequence record. The host keeps the model table and
// hands these records to the plug-in, so both layouts are binding.
#pragma once
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
// The parsers also build natively (sanitizers, fuzzers): the same widths.
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#endif

// Step data of one key sequence may not exceed this many bytes.
constexpr size_t KEY_SEQUENCE_MAX_STEP_BYTES = 800;
constexpr size_t KEY_SEQUENCE_MAX_STEP_WORDS = KEY_SEQUENCE_MAX_STEP_BYTES / 4;

// Step header bits.
constexpr ULONG KEY_STEP_FIRST = 0x00000001;
constexpr ULONG KEY_STEP_LAST = 0x00000002;
constexpr ULONG KEY_STEP_EVT_SHIFT = 7;      // bits 7-9: word index of the EVT# entry
constexpr ULONG KEY_STEP_JMP_SHIFT = 10;     // bits 10-12: word index of the JMP# entry
constexpr ULONG KEY_STEP_INDEX_MASK = 0x7;
constexpr ULONG KEY_STEP_FLAGS_SHIFT = 16;   // bits 16-23: flag entries + 1
constexpr ULONG KEY_STEP_WORDS_SHIFT = 24;   // bits 24-31: words of the step, header included
constexpr ULONG KEY_USAGE_PAGE_KEYBOARD = 0x00070000;

// One key sequence. A stored record is one heap block of
// KEY_SEQUENCE_HEADER_SIZE + ulLength bytes: only the steps in use follow.
struct tKeySequence {
  ULONG ulKeyCode;
  ULONG ulReserved;
  tKeySequence* pNext;
  uint64_t ulLength;                              // bytes of step data
  ULONG aulSteps[KEY_SEQUENCE_MAX_STEP_WORDS];    // the parse buffer's full room
};
constexpr size_t KEY_SEQUENCE_HEADER_SIZE = offsetof(tKeySequence, aulSteps);
static_assert(offsetof(tKeySequence, ulKeyCode) == 0, "key code at 0");
static_assert(offsetof(tKeySequence, pNext) == 8, "next at 8");
static_assert(offsetof(tKeySequence, ulLength) == 16, "length at 16");
static_assert(KEY_SEQUENCE_HEADER_SIZE == 24, "steps from 24");

// One device model, filled from one section of a model file.
struct tModelInfo {
  ULONG ulSectionId;      // top 8 bits: class (device type); low 24: number in the class
  ULONG ulSectionSubId;
  char* sModelName;       // "NAME"
  char* sReg;             // "REG", always in map form
  char* sCap;             // "CAP"
  char* sDepth;           // "DEPTH": per-plug-in values, see IniParseIntValue
  char* sMinTerm;         // "MINTERM"
  char* sRemap;           // "REMAP"
  tKeySequence* pKeyList; // "KEY" lines, in file order
  USHORT usVid;           // 0x3F1D by default when "PID" is present
  USHORT usPid;
  USHORT usBcdMask;
  USHORT usBcdDevice;     // 0 = any revision
  ULONG ulLnpCol;
  ULONG ulMwid;
  ULONG ulDevId;
  ULONG ulSubId;
  USHORT usQid;
  char* sCache;           // "CACHE"
};
static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2, "record widths");
static_assert(offsetof(tModelInfo, sModelName) == 8, "tModelInfo layout");
static_assert(offsetof(tModelInfo, pKeyList) == 56, "tModelInfo layout");
static_assert(offsetof(tModelInfo, usVid) == 64, "tModelInfo layout");
static_assert(offsetof(tModelInfo, ulLnpCol) == 72, "tModelInfo layout");
static_assert(offsetof(tModelInfo, usQid) == 88, "tModelInfo layout");
static_assert(offsetof(tModelInfo, sCache) == 96, "tModelInfo layout");
static_assert(sizeof(tModelInfo) == 104, "tModelInfo size");

// Vendor given to a model with "PID" but no "VID" (the maker's own).
constexpr USHORT INI_DEFAULT_VENDOR_ID = 0x3F1D;

// Value of a capability name in a capability text ("MOU#0x12 KBD"):
// the number after '#', 1 for a bare flag, 0 when absent.
ULONG IniParseIntValue(const char* sCapability, const char* sName);
