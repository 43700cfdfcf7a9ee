// Layout and arithmetic of the debug viewer's shared ring. Pure: no Windows
// headers, so the same code serves the library, the viewer and native checks.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t BS_MAPPING_SIZE = 0x1A000;     // bytes mapped
constexpr uint32_t BS_REGION_SIZE = 102504;       // value of ulRegionSize
constexpr uint32_t BS_RING_SIZE = 0x19000;        // 102400 bytes of records
constexpr uint32_t BS_RING_OFFSET = 0x64;
constexpr uint32_t BS_PID_SLOTS = 10;
constexpr uint32_t BS_MAX_TEXT = 250;             // text bytes with terminator
constexpr uint32_t BS_RECORD_OVERHEAD = 19;       // length, type, pid, sequence, stamp, check
constexpr uint32_t BS_MAX_RECORD = BS_MAX_TEXT + BS_RECORD_OVERHEAD;
constexpr uint32_t BS_RING_SPARE = 3;             // never filled: head and tail stay apart

// Record field positions, from the length byte.
constexpr uint32_t BS_REC_LENGTH = 0;
constexpr uint32_t BS_REC_TYPE = 1;
constexpr uint32_t BS_REC_PID = 2;
constexpr uint32_t BS_REC_SEQUENCE = 6;
constexpr uint32_t BS_REC_STAMP = 10;
constexpr uint32_t BS_REC_TEXT = 18;

constexpr char BS_TYPE_ERROR = 'e';
constexpr char BS_TYPE_WARNING = 'w';
constexpr char BS_TYPE_OTHER = 't';

// The shared region as every process and the viewer see it.
struct BsSharedData {
  uint32_t ulRegionSize;
  uint32_t bBsPresent;
  uint32_t bViewerRunning;
  uint32_t ulPid[BS_PID_SLOTS];
  uint8_t ucReserved1[12];
  uint32_t ulSequence;
  uint32_t ulHead;
  uint32_t ulTail;
  uint32_t ulDroppedInfo;
  uint32_t ulDroppedWarnings;
  uint32_t ulDroppedErrors;
  uint32_t bDisabled;
  uint32_t bShutdown;
  uint32_t ulViewerWord;
  uint8_t ucRing[BS_RING_SIZE];
  uint32_t ulReserved2;
};
static_assert(offsetof(BsSharedData, bBsPresent) == 0x04);
static_assert(offsetof(BsSharedData, bViewerRunning) == 0x08);
static_assert(offsetof(BsSharedData, ulPid) == 0x0C);
static_assert(offsetof(BsSharedData, ulSequence) == 0x40);
static_assert(offsetof(BsSharedData, ulHead) == 0x44);
static_assert(offsetof(BsSharedData, ulTail) == 0x48);
static_assert(offsetof(BsSharedData, ulDroppedInfo) == 0x4C);
static_assert(offsetof(BsSharedData, ulDroppedWarnings) == 0x50);
static_assert(offsetof(BsSharedData, ulDroppedErrors) == 0x54);
static_assert(offsetof(BsSharedData, bDisabled) == 0x58);
static_assert(offsetof(BsSharedData, bShutdown) == 0x5C);
static_assert(offsetof(BsSharedData, ulViewerWord) == 0x60);
static_assert(offsetof(BsSharedData, ucRing) == BS_RING_OFFSET);
static_assert(offsetof(BsSharedData, ulReserved2) == 0x19064);
static_assert(sizeof(BsSharedData) == BS_REGION_SIZE);
static_assert(sizeof(BsSharedData) <= BS_MAPPING_SIZE);

// What a record at some ring position turned out to be.
enum BsRecordStatus {
  BS_RECORD_OK = 0,
  BS_RECORD_UNPUBLISHED,   // length byte 0: still being written
  BS_RECORD_BAD_TYPE,      // type byte is none of e, w, t
  BS_RECORD_BAD_LENGTH,    // length byte above 250
  BS_RECORD_PAST_HEAD,     // the record would run beyond the written part
  BS_RECORD_BAD_CHECK,     // check byte differs from the stamp's low byte
};

struct BsRecord {
  uint32_t ulLength;       // text bytes with terminator
  char cType;
  uint32_t ulPid;
  uint32_t ulSequence;
  uint64_t ullStamp;
  uint8_t ucCheck;
  char sText[BS_MAX_TEXT];
};

// Text bytes for a line of the given length: terminator included, at most 250.
uint32_t BsRingTextLength(size_t cchLine);
inline uint32_t BsRingRecordSize(uint32_t ulTextLength) { return ulTextLength + BS_RECORD_OVERHEAD; }
// Position count bytes further on; pos must lie inside the ring.
inline uint32_t BsRingAdvance(uint32_t ulPos, uint32_t ulCount) { return (ulPos + ulCount) % BS_RING_SIZE; }
// Bytes of records between tail and head; both inside the ring.
inline uint32_t BsRingUsed(uint32_t ulHead, uint32_t ulTail)
{
  return ulHead >= ulTail ? ulHead - ulTail : ulHead + BS_RING_SIZE - ulTail;
}
// Free space as the posting side counts it. False when head and tail cannot
// belong to a sound ring (outside it, or a free space below 0 or above its size).
bool BsRingFreeSpace(uint32_t ulHead, uint32_t ulTail, int32_t* plFree);
// Record type of a trace category.
char BsRingRecordType(uint32_t ulCategory);
bool BsRingIsRecordType(uint8_t ucType);

// Byte copies that wrap at the end of the ring.
void BsRingCopyIn(uint8_t* pRing, uint32_t ulPos, const void* pSrc, uint32_t cb);
void BsRingCopyOut(const uint8_t* pRing, uint32_t ulPos, void* pDst, uint32_t cb);

// Writing a record at a reserved position: first the length byte 0, then the
// body, and last the length byte, which publishes the record.
void BsRingBeginRecord(uint8_t* pRing, uint32_t ulPos);
void BsRingFinishRecord(uint8_t* pRing, uint32_t ulPos, char cType, uint32_t ulPid, uint32_t ulSequence,
                        uint64_t ullStamp, const char* sLine, uint32_t ulTextLength);

// Length and type of the record at pos, for skipping it; used = bytes written
// from pos up to the head. Does not look at the text or check byte.
BsRecordStatus BsRingPeekRecord(const uint8_t* pRing, uint32_t ulPos, uint32_t ulUsed, uint32_t* pulSize,
                                char* pcType);
// Whole record at pos, check byte verified.
BsRecordStatus BsRingReadRecord(const uint8_t* pRing, uint32_t ulPos, uint32_t ulUsed, BsRecord* pRecord);
