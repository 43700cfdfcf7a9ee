// Text layout of trace lines, free of Windows calls.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t TRACE_LINE_SIZE = 512;
constexpr size_t TRACE_FILE_LINE_SIZE = 1024;

// Builds "<module> <tid> <prefix>[<function> - ]<text>\n" into pLine (TRACE_LINE_SIZE
// bytes). The function name is left out when the format itself starts with it.
// Text that does not fit is cut so that the line feed, the carriage return the
// log file adds, and the terminator always fit. Returns the line length.
size_t TraceFormatLine(char* pLine, const char* sModule, uint32_t ulThreadId, uint32_t ulCategory,
                       const char* sFunction, const char* sFormat, va_list args);

// "hh:mm:ss.mmm [pid] line" with the final line feed turned into CR LF.
size_t TraceFormatFileLine(char* pOut, size_t ulOutSize, int hour, int minute, int second, int ms,
                           uint32_t ulProcessId, const char* sLine);

// Hex text " %02x" per byte of one dump chunk (at most 20 bytes).
void TraceFormatHexChunk(char* pOut, size_t ulOutSize, const uint8_t* pData, size_t ulCount);

// True when the name stands at the very start of the format.
bool TraceFormatStartsWithName(const char* sFormat, const char* sName);
