// Positions: region-relative offsets with a generation tag, so records in a
// region mapped at different addresses never hold pointers. Lists of
// fixed-size items linked by positions live inside such a region.
// No system calls here, so the list logic builds natively for sanitizers.
#pragma once
#include <cstdint>

typedef uint64_t LD_POS;
constexpr LD_POS LD_INVALID_POS = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t POS_OFFSET_MASK = 0xFFFFF;
constexpr uint32_t POS_TAG_MASK = 0xFFF00000u;

// Head of every shared region.
struct shareHeader {
  int32_t lSize;
  volatile uint32_t ulPosTag;
};
static_assert(sizeof(shareHeader) == 8, "region header layout");

// List record; lies in the same region as its items.
struct tList {
  LD_POS Storage;
  LD_POS First;
  LD_POS Last;
  uint32_t ulItemSize;
  uint32_t ulDataSize;
  uint32_t ulItemCount;
  uint32_t ulStorageSize;
  int32_t bSharedStorage;
  uint32_t ulMaxItems;
  uint32_t ulNextIndex;
};
static_assert(sizeof(tList) == 56, "list record layout");

// Item header; the caller's data follows it.
struct tListItem {
  LD_POS Previous;
  LD_POS Next;
  LD_POS This;   // LD_INVALID_POS: free
};
constexpr uint32_t LIST_ITEM_HEADER_SIZE = sizeof(tListItem);
static_assert(LIST_ITEM_HEADER_SIZE == 24, "item header layout");

LD_POS PtrToPos(void* pBase, const void* pPtr);
void* PosToPtr(void* pBase, LD_POS pos);

// FALSE when the storage does not lie inside the region's first
// POS_OFFSET_MASK bytes or holds no item; the list is then left empty and full.
bool ListInit(void* pBase, tList* pList, void* pStorage, uint32_t ulStorageSize, uint32_t ulDataSize,
              bool bSharedStorage);
LD_POS ListCreate(void* pBase, tList* pList);
LD_POS ListGetFirstPosition(const tList* pList);
uint32_t ListGetCount(const tList* pList);
void* ListGetFirst(void* pBase, tList* pList, LD_POS* pPosition);
bool ListAssertPosition(void* pBase, LD_POS position);
void* ListGetAt(void* pBase, tList* pList, LD_POS position);
bool ListSwap(void* pBase, tList* pList, LD_POS posA, LD_POS posB);
LD_POS ListGetPos(void* pBase, tList* pList, const void* pData);
void* ListGetAtMoveNext(void* pBase, tList* pList, LD_POS* pPosition);
void* ListGetNext(void* pBase, tList* pList, LD_POS* pPosition);
bool ListRemoveAt(void* pBase, tList* pList, LD_POS position);

// Trace sinks of the list unit, supplied by the platform (the trace log on
// Windows, a recorder in the native build). sFunction names the line's function.
constexpr uint32_t LIST_TRACE_CATEGORY = 0x100;
constexpr uint32_t LIST_TRACE_ERROR = 0x08000000;
constexpr uint32_t LIST_TRACE_INFO = 0x20000000;   // written only while information lines are on
void ListTraceLine(uint32_t ulCategory, const char* sFunction, const char* sFormat, ...)
    __attribute__((format(printf, 3, 4)));
void ListTraceAssert(const char* sFunction, const char* sFile, int iLine, const char* sCondition);
