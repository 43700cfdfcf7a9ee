// Positions and position-linked lists inside a shared region. Every position
// is checked against the region (and the list's storage, where the list is
// known) before the item under it is read: a stale, foreign or damaged
// position is refused, never followed. No system calls here.
#include "list/ListMgr.h"

#include <cstddef>
#include <cstring>

#define LIST_TRACE(...) ListTraceLine(LIST_TRACE_CATEGORY, __func__, __VA_ARGS__)
#define LIST_ASSERT(cond, text)                                \
  do {                                                         \
    if (!(cond)) {                                             \
      ListTraceAssert(__func__, __FILE_NAME__, __LINE__, text); \
    }                                                          \
  } while (0)

static unsigned Low32(LD_POS pos) { return static_cast<unsigned>(pos); }
static unsigned Addr32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

static int32_t RegionSize(const void* pBase)
{
  return static_cast<const shareHeader*>(pBase)->lSize;
}

LD_POS PtrToPos(void* pBase, const void* pPtr)
{
  LIST_ASSERT(pBase != nullptr, "base");
  if (pBase == nullptr || pPtr == nullptr) {
    return LD_INVALID_POS;
  }
  const uint8_t* p = static_cast<const uint8_t*>(pPtr);
  uint8_t* b = static_cast<uint8_t*>(pBase);
  if (p < b) {
    return LD_INVALID_POS;
  }
  shareHeader* pHeader = static_cast<shareHeader*>(pBase);
  uint32_t ulTag = __atomic_add_fetch(&pHeader->ulPosTag, 1u, __ATOMIC_SEQ_CST);
  uintptr_t offset = static_cast<uintptr_t>(p - b);
  LIST_ASSERT(offset <= POS_OFFSET_MASK, "offset <= POS_OFFSET_MASK");
  LIST_ASSERT(pHeader->lSize >= 0 && offset <= static_cast<uintptr_t>(pHeader->lSize), "offset <= *plSize");
  // Offsets beyond the mask or the region cannot be expressed: no position.
  if (offset > POS_OFFSET_MASK || pHeader->lSize < 0 || offset > static_cast<uintptr_t>(pHeader->lSize)) {
    return LD_INVALID_POS;
  }
  return (static_cast<uint32_t>(offset) & POS_OFFSET_MASK) | ((ulTag << 20) & POS_TAG_MASK);
}

void* PosToPtr(void* pBase, LD_POS pos)
{
  if (pBase == nullptr || pos == LD_INVALID_POS || (pos >> 32) != 0) {
    return nullptr;
  }
  uint32_t offset = static_cast<uint32_t>(pos) & POS_OFFSET_MASK;
  int32_t lSize = RegionSize(pBase);
  if (lSize < 0 || offset > static_cast<uint32_t>(lSize)) {
    return nullptr;
  }
  return static_cast<uint8_t*>(pBase) + offset;
}

// ---- Checks of list records and positions ------------------------------------------

// The list's storage, or null when the record does not describe whole items
// inside the region's addressable part (a damaged or foreign record).
static uint8_t* ListStorage(void* pBase, const tList* pList)
{
  if (pBase == nullptr || pList == nullptr || pList->Storage == LD_INVALID_POS || (pList->Storage >> 32) != 0 ||
      pList->ulItemSize < LIST_ITEM_HEADER_SIZE || pList->ulItemSize - LIST_ITEM_HEADER_SIZE != pList->ulDataSize ||
      pList->ulMaxItems == 0) {
    return nullptr;
  }
  uint64_t offset = pList->Storage & POS_OFFSET_MASK;
  uint64_t ulBytes = static_cast<uint64_t>(pList->ulMaxItems) * pList->ulItemSize;
  int32_t lSize = RegionSize(pBase);
  if (offset < sizeof(shareHeader) || ulBytes > pList->ulStorageSize || lSize < 0 ||
      offset + ulBytes > static_cast<uint64_t>(lSize) || offset + ulBytes > POS_OFFSET_MASK + 1ull) {
    return nullptr;
  }
  return static_cast<uint8_t*>(pBase) + offset;
}

enum ListPosState { POS_NULL, POS_TOO_LARGE, POS_UNRESOLVED, POS_OBSOLETE, POS_CURRENT };

// Where the position points, without reading anything outside the region (or
// outside the list's storage when pList is given). *ppItem is set for
// POS_OBSOLETE and POS_CURRENT only.
static ListPosState ListResolve(void* pBase, const tList* pList, LD_POS pos, tListItem** ppItem)
{
  *ppItem = nullptr;
  if (pBase == nullptr || pos == LD_INVALID_POS) {
    return POS_NULL;
  }
  if ((pos >> 32) != 0) {
    return POS_UNRESOLVED;
  }
  uint32_t offset = static_cast<uint32_t>(pos) & POS_OFFSET_MASK;
  int32_t lSize = RegionSize(pBase);
  if (lSize < 0 || static_cast<uint64_t>(offset) + LIST_ITEM_HEADER_SIZE > static_cast<uint64_t>(lSize)) {
    return POS_TOO_LARGE;
  }
  if (offset < sizeof(shareHeader)) {
    return POS_UNRESOLVED;
  }
  if (pList != nullptr) {
    uint8_t* pStorage = ListStorage(pBase, pList);
    uint32_t ulStorage = static_cast<uint32_t>(pStorage - static_cast<uint8_t*>(pBase));
    if (pStorage == nullptr || offset < ulStorage || (offset - ulStorage) % pList->ulItemSize != 0 ||
        (offset - ulStorage) / pList->ulItemSize >= pList->ulMaxItems) {
      return POS_UNRESOLVED;
    }
  }
  *ppItem = reinterpret_cast<tListItem*>(static_cast<uint8_t*>(pBase) + offset);
  return (*ppItem)->This == pos ? POS_CURRENT : POS_OBSOLETE;
}

// The error line for a position that names no item at all.
static void ListTraceRefusal(const char* sFunction, ListPosState state)
{
  if (state == POS_TOO_LARGE) {
    ListTraceLine(LIST_TRACE_ERROR, sFunction, "Position is TOO LARGE.\n");
  } else if (state == POS_UNRESOLVED) {
    ListTraceLine(LIST_TRACE_ERROR, sFunction, "Position did not RESOLVE.\n");
  }
}

static void* ItemData(tListItem* pItem)
{
  return reinterpret_cast<uint8_t*>(pItem) + LIST_ITEM_HEADER_SIZE;
}

// A linked neighbour: null for LD_INVALID_POS; FALSE when the link names no current item.
static bool ListNeighbour(void* pBase, const tList* pList, LD_POS link, tListItem** ppItem)
{
  ListPosState state = ListResolve(pBase, pList, link, ppItem);
  return state == POS_NULL || state == POS_CURRENT;
}

// ---- Operations ------------------------------------------------------------------------

bool ListInit(void* pBase, tList* pList, void* pStorage, uint32_t ulStorageSize, uint32_t ulDataSize,
              bool bSharedStorage)
{
  LIST_TRACE("ListInit - Entry.\n");
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pBase == nullptr || pList == nullptr) {
    return false;
  }
  pList->Storage = PtrToPos(pBase, pStorage);
  pList->ulStorageSize = ulStorageSize;
  pList->ulDataSize = ulDataSize;
  pList->bSharedStorage = bSharedStorage ? 1 : 0;
  pList->ulItemSize = ulDataSize <= UINT32_MAX - LIST_ITEM_HEADER_SIZE ? ulDataSize + LIST_ITEM_HEADER_SIZE : 0;
  pList->ulNextIndex = 0;
  pList->ulMaxItems = pList->ulItemSize != 0 ? ulStorageSize / pList->ulItemSize : 0;
  LIST_ASSERT(pList->ulItemSize != 0 && ulStorageSize % pList->ulItemSize == 0,
              "ulStorageSize % pList->ulItemSize == 0");
  pList->First = LD_INVALID_POS;
  pList->Last = LD_INVALID_POS;
  pList->ulItemCount = 0;
  uint8_t* pItems = ListStorage(pBase, pList);
  LIST_ASSERT(pItems != nullptr, "storage inside the region");
  if (pItems == nullptr) {
    pList->ulMaxItems = 0;   // a list without room: every creation is refused
  }
  LIST_TRACE("ListInit - Item size %d. Max list size %d.\n", static_cast<int>(pList->ulItemSize),
             static_cast<int>(pList->ulMaxItems));
  if (pItems != nullptr && !bSharedStorage) {
    memset(pItems, 0, static_cast<size_t>(pList->ulMaxItems) * pList->ulItemSize);
    for (uint32_t i = 0; i < pList->ulMaxItems; ++i) {
      memset(pItems + static_cast<size_t>(i) * pList->ulItemSize, 0xFF, LIST_ITEM_HEADER_SIZE);
    }
  }
  LIST_TRACE("ListInit - Exit.\n");
  return pItems != nullptr;
}

LD_POS ListCreate(void* pBase, tList* pList)
{
  LIST_TRACE("ListCreate - Entry.\n");
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pBase == nullptr || pList == nullptr) {
    return LD_INVALID_POS;
  }
  uint8_t* pItems = ListStorage(pBase, pList);
  if (pItems == nullptr || (!pList->bSharedStorage && pList->ulItemCount >= pList->ulMaxItems)) {
    return LD_INVALID_POS;
  }
  // The new item goes after the last one: that one must be current.
  tListItem* pPrev = nullptr;
  if (!ListNeighbour(pBase, pList, pList->Last, &pPrev)) {
    LIST_ASSERT(false, "pPrev->This == pList->Last");
    return LD_INVALID_POS;
  }
  tListItem* pItem = nullptr;
  uint32_t index = 0;
  for (uint32_t i = 0; i < pList->ulMaxItems; ++i) {
    index = static_cast<uint32_t>((static_cast<uint64_t>(pList->ulNextIndex) + i) % pList->ulMaxItems);
    tListItem* pCandidate = reinterpret_cast<tListItem*>(pItems + static_cast<size_t>(index) * pList->ulItemSize);
    if (pCandidate->This == LD_INVALID_POS) {
      pItem = pCandidate;
      break;
    }
  }
  if (pItem == nullptr) {
    LIST_ASSERT(pList->bSharedStorage == 1, "pList->bSharedStorage == TRUE");
    LIST_TRACE("ListCreate - List is FULL. ItemCount %d. ListSize %d. Shared %d.\n",
               static_cast<int>(pList->ulItemCount), static_cast<int>(pList->ulMaxItems),
               static_cast<int>(pList->bSharedStorage));
    return LD_INVALID_POS;
  }
  LD_POS position = PtrToPos(pBase, pItem);
  LIST_TRACE("ListCreate - New Item Idx %d - POS %08X @ %08X.\n", static_cast<int>(index), Low32(position),
             Addr32(pItem));
  if (pPrev != nullptr) {
    LIST_ASSERT(pPrev->Next == LD_INVALID_POS, "pPrev->Next == LD_INVALID_POS");
    pPrev->Next = position;
  }
  pItem->Previous = pList->Last;
  pItem->This = position;
  pItem->Next = LD_INVALID_POS;
  if (pList->First == LD_INVALID_POS) {
    pList->First = position;
  }
  pList->Last = position;
  pList->ulItemCount++;
  pList->ulNextIndex = (index + 1) % pList->ulMaxItems;
  LIST_TRACE("ListCreate - 0x%08X - Exit.\n", Low32(position));
  return position;
}

LD_POS ListGetFirstPosition(const tList* pList)
{
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pList == nullptr) {
    return LD_INVALID_POS;
  }
  LIST_TRACE("ListGetFirstPosition - %08X.\n", Low32(pList->First));
  return pList->First;
}

uint32_t ListGetCount(const tList* pList)
{
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pList == nullptr) {
    return 0;
  }
  LIST_TRACE("ListGetCount - %d.\n", static_cast<int>(pList->ulItemCount));
  return pList->ulItemCount;
}

void* ListGetFirst(void* pBase, tList* pList, LD_POS* pPosition)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pPosition != nullptr, "pPosition != NULL");
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pBase == nullptr || pPosition == nullptr || pList == nullptr) {
    return nullptr;
  }
  *pPosition = pList->First;
  if (*pPosition == LD_INVALID_POS) {
    LIST_TRACE("ListGetFirst - Invalid POS.\n");
    return nullptr;
  }
  tListItem* pItem = nullptr;
  ListPosState state = ListResolve(pBase, pList, *pPosition, &pItem);
  ListTraceRefusal(__func__, state);
  LIST_ASSERT(pItem != nullptr, "pItem != NULL");
  LIST_ASSERT(pItem == nullptr || state == POS_CURRENT, "pItem->This == *pPosition");
  if (state != POS_CURRENT) {
    *pPosition = LD_INVALID_POS;
    return nullptr;
  }
  LIST_TRACE("ListGetFirst - POS %08X -> @ %08X.\n", Low32(*pPosition), Addr32(ItemData(pItem)));
  return ItemData(pItem);
}

bool ListAssertPosition(void* pBase, LD_POS position)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  tListItem* pItem = nullptr;
  switch (ListResolve(pBase, nullptr, position, &pItem)) {
    case POS_NULL:
      ListTraceLine(LIST_TRACE_ERROR, __func__, "ListAssertPosition - Base or Position is NULL.\n");
      return false;
    case POS_TOO_LARGE:
      ListTraceLine(LIST_TRACE_ERROR, __func__, "ListAssertPosition - Position is TOO LARGE.\n");
      return false;
    case POS_UNRESOLVED:
      ListTraceLine(LIST_TRACE_ERROR, __func__, "ListAssertPosition - Position did not RESOLVE.\n");
      return false;
    case POS_OBSOLETE:
      ListTraceLine(LIST_TRACE_INFO, __func__, "Position is OBSOLETE");
      return false;
    case POS_CURRENT:
      break;
  }
  return true;
}

void* ListGetAt(void* pBase, tList* pList, LD_POS position)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  if (pBase == nullptr) {
    return nullptr;
  }
  if (position == LD_INVALID_POS) {
    LIST_TRACE("ListGetAt - Invalid POS.\n");
    return nullptr;
  }
  tListItem* pItem = nullptr;
  ListPosState state = ListResolve(pBase, pList, position, &pItem);
  if (state == POS_CURRENT) {
    LIST_TRACE("ListGetAt - POS %08X -> @ %08X.\n", Low32(position), Addr32(ItemData(pItem)));
    return ItemData(pItem);
  }
  if (state != POS_OBSOLETE) {
    ListTraceRefusal(__func__, state);
    return nullptr;
  }
  // Only a freed item is expected under an old position; a reused one means
  // somebody kept a position past the item's removal.
  LIST_ASSERT(pItem->This == LD_INVALID_POS, "pItem->This == LD_INVALID_POS");
  ListTraceLine(LIST_TRACE_ERROR, __func__, "ListGetAt - Position THIS mismatch %X - %X.\n", Low32(pItem->This),
                Low32(position));
  return nullptr;
}

bool ListSwap(void* pBase, tList* pList, LD_POS posA, LD_POS posB)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(posA != LD_INVALID_POS, "posA != LD_INVALID_POS");
  LIST_ASSERT(posB != LD_INVALID_POS, "posB != LD_INVALID_POS");
  if (pBase == nullptr || pList == nullptr || posA == LD_INVALID_POS || posB == LD_INVALID_POS) {
    return false;
  }
  tListItem* pItemA = nullptr;
  tListItem* pItemB = nullptr;
  ListPosState stateA = ListResolve(pBase, pList, posA, &pItemA);
  ListPosState stateB = ListResolve(pBase, pList, posB, &pItemB);
  ListTraceRefusal(__func__, stateA);
  ListTraceRefusal(__func__, stateB);
  LIST_ASSERT(pItemA != nullptr, "pItemA != NULL");
  LIST_ASSERT(pItemB != nullptr, "pItemB != NULL");
  LIST_ASSERT(pItemA == nullptr || stateA == POS_CURRENT, "pItemA->This == posA");
  LIST_ASSERT(pItemB == nullptr || stateB == POS_CURRENT, "pItemB->This == posB");
  if (stateA != POS_CURRENT || stateB != POS_CURRENT) {
    return false;
  }
  // All four neighbours are found before anything changes; a damaged link
  // leaves the list as it was.
  tListItem *pPrevA, *pPrevB, *pNextA, *pNextB;
  if (!ListNeighbour(pBase, pList, pItemA->Previous, &pPrevA) || !ListNeighbour(pBase, pList, pItemB->Previous, &pPrevB) ||
      !ListNeighbour(pBase, pList, pItemA->Next, &pNextA) || !ListNeighbour(pBase, pList, pItemB->Next, &pNextB)) {
    LIST_ASSERT(false, "neighbours of posA and posB are current");
    return false;
  }
  // This order also holds when A and B are neighbours, either way round.
  (pPrevA ? pPrevA->Next : pList->First) = posB;
  (pNextA ? pNextA->Previous : pList->Last) = posB;
  (pPrevB ? pPrevB->Next : pList->First) = posA;
  (pNextB ? pNextB->Previous : pList->Last) = posA;
  LD_POS t = pItemA->Previous;
  pItemA->Previous = pItemB->Previous;
  pItemB->Previous = t;
  t = pItemA->Next;
  pItemA->Next = pItemB->Next;
  pItemB->Next = t;
  LIST_TRACE("ListSwap - %08X(%08X) <-> %08X(%08X).\n", Low32(posA), Addr32(pItemA), Low32(posB), Addr32(pItemB));
  return true;
}

LD_POS ListGetPos(void* pBase, tList* pList, const void* pData)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pData >= pBase, "pData >= pBase");
  bool bInside = pBase != nullptr && pData >= pBase &&
                 static_cast<const uint8_t*>(pData) - static_cast<const uint8_t*>(pBase) < RegionSize(pBase);
  LIST_ASSERT(bInside, "( (char*)pData - (char*)pBase ) < ((tMainShare*)pBase)->shareHeader.lSize");
  if (!bInside || static_cast<const uint8_t*>(pData) - static_cast<const uint8_t*>(pBase) <
                    static_cast<ptrdiff_t>(sizeof(shareHeader) + LIST_ITEM_HEADER_SIZE)) {
    return LD_INVALID_POS;
  }
  const uint8_t* pItemBytes = static_cast<const uint8_t*>(pData) - LIST_ITEM_HEADER_SIZE;
  LD_POS pos = PtrToPos(pBase, pItemBytes);
  tListItem* pItem = nullptr;
  ListPosState state = ListResolve(pBase, pList, pos, &pItem);
  bool bOk = pItem != nullptr && ((pItem->This ^ pos) & POS_OFFSET_MASK) == 0 && pItem->This != LD_INVALID_POS;
  LIST_ASSERT(bOk, "( pos != LD_INVALID_POS ) && ((( pItem->This ^ pos ) & POS_OFFSET_MASK ) == 0 )");
  if (!bOk) {
    ListTraceRefusal(__func__, state);
    return LD_INVALID_POS;
  }
  LIST_TRACE("ListGetPos - @ %08X -> POS %08X.\n", Addr32(pData), Low32(pItem->This));
  return pItem->This;
}

// The current item at *pPosition; on refusal the walk ends (*pPosition
// becomes LD_INVALID_POS) so a caller's loop cannot spin on a bad position.
static tListItem* ListWalkItem(void* pBase, tList* pList, LD_POS* pPosition, const char* sFunction)
{
  tListItem* pItem = nullptr;
  ListPosState state = ListResolve(pBase, pList, *pPosition, &pItem);
  if (state == POS_CURRENT) {
    return pItem;
  }
  if (state != POS_NULL) {
    ListTraceRefusal(sFunction, state);
    if (state == POS_OBSOLETE) {
      ListTraceAssert(sFunction, __FILE_NAME__, __LINE__, "pItem->This == *pPosition");
    }
  }
  *pPosition = LD_INVALID_POS;
  return nullptr;
}

void* ListGetAtMoveNext(void* pBase, tList* pList, LD_POS* pPosition)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pPosition != nullptr, "pPosition != NULL");
  if (pBase == nullptr || pPosition == nullptr) {
    return nullptr;
  }
  tListItem* pItem = ListWalkItem(pBase, pList, pPosition, __func__);
  if (pItem == nullptr) {
    return nullptr;
  }
  LIST_TRACE("ListGetAtMoveNext - POS:0x%08X (This:0x%08X) -> Ptr:0x%08X (Next:0x%08X).\n", Low32(*pPosition),
             Low32(pItem->This), Addr32(ItemData(pItem)), Low32(pItem->Next));
  *pPosition = pItem->Next;
  return ItemData(pItem);
}

void* ListGetNext(void* pBase, tList* pList, LD_POS* pPosition)
{
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pPosition != nullptr, "pPosition != NULL");
  if (pBase == nullptr || pPosition == nullptr) {
    return nullptr;
  }
  tListItem* pItem = ListWalkItem(pBase, pList, pPosition, __func__);
  if (pItem == nullptr) {
    return nullptr;
  }
  *pPosition = pItem->Next;
  if (*pPosition == LD_INVALID_POS) {
    return nullptr;
  }
  pItem = ListWalkItem(pBase, pList, pPosition, __func__);
  if (pItem == nullptr) {
    return nullptr;
  }
  LIST_TRACE("ListGetNext - POS %08X -> @ %08X.\n", Low32(*pPosition), Addr32(ItemData(pItem)));
  return ItemData(pItem);
}

bool ListRemoveAt(void* pBase, tList* pList, LD_POS position)
{
  LIST_TRACE("ListRemoveAt - 0x%08X - Entry.\n", Low32(position));
  LIST_ASSERT(pBase != nullptr, "pBase != NULL");
  LIST_ASSERT(pList != nullptr, "pList != NULL");
  if (pBase == nullptr || pList == nullptr) {
    return false;
  }
  tListItem* pItem = nullptr;
  ListPosState state = ListResolve(pBase, pList, position, &pItem);
  if (state == POS_NULL) {
    LIST_TRACE("ListRemoveAt - Invalid Position (%08X).\n", Low32(position));
    return false;
  }
  ListTraceRefusal(__func__, state);
  // An old position would unlink whatever item holds the place now: refused.
  LIST_ASSERT(state == POS_CURRENT, "pItem->This == position");
  if (state != POS_CURRENT) {
    return false;
  }
  tListItem* pPrevious = nullptr;
  tListItem* pNext = nullptr;
  bool bPrevious = ListNeighbour(pBase, pList, pItem->Previous, &pPrevious);
  bool bNext = ListNeighbour(pBase, pList, pItem->Next, &pNext);
  LIST_ASSERT(bPrevious, "pPrevious->This == pItem->Previous");
  LIST_ASSERT(bNext, "pNext->This == pItem->Next");
  if (!bPrevious || !bNext) {
    return false;
  }
  (pPrevious ? pPrevious->Next : pList->First) = pItem->Next;
  (pNext ? pNext->Previous : pList->Last) = pItem->Previous;
  if (pList->ulItemCount > 0) {
    pList->ulItemCount--;
  }
  pItem->This = LD_INVALID_POS;
  LIST_TRACE("ListRemoveAt - Exit.\n");
  return true;
}
