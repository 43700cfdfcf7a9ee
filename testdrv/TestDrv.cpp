// Test stand-in for the maker's mouse filter driver, hosted by Wine: a
// root-enumerated bus whose children carry the filter driver's raw interface
// and answer its parameter protocol through simdrv/DrvAnswers (as the
// simulated driver does), and a control device through which tests plug and
// unplug children, shape their answers and read back what they received.
// One spin lock guards all state; IRPs are completed outside it, since Wine
// runs PnP requests synchronously inside IoInvalidateDeviceRelations.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet   // wdm.h brings its own
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#include "simdrv/DrvAnswers.h"
#include "testdrv/TestDrvProtocol.h"

namespace {

constexpr GUID kRawInterface = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
constexpr ULONG MAX_EVENTS = 32;
constexpr ULONG LOG_CAPACITY = 1024;
constexpr ULONG POOL_TAG = 0x76725444;   // 'DTrv'

enum Kind : ULONG { KIND_CONTROL = 1, KIND_BUS, KIND_CHILD };
struct Extension {
  Kind kind;
  ULONG ulChild;             // children: their id
  DEVICE_OBJECT* pLower;     // bus: the device below it
};

struct Packet {
  ULONG ulSize;
  UCHAR Data[TESTDRV_MAX_DATA];
};

// A child lives in its slot from plug until its device object is deleted and
// no handle to it is open; ids are never reused.
struct Child {
  ULONG ulId;                // 0: free slot
  DEVICE_OBJECT* pPdo;       // null until created and after deletion
  bool bPresent;             // plugged, not yet unplugged
  bool bRemoved;             // removed by PnP; its device object goes with its last handle
  char sInstanceId[TESTDRV_MAX_DATA];
  UNICODE_STRING Link;       // its interface, once registered
  ULONG ulMode;
  NTSTATUS lFailStatus;
  DrvParamStore Store;
  Packet Events[MAX_EVENTS];
  ULONG ulFirstEvent, ulEventCount;
  LIST_ENTRY Pending;        // IRPs held, oldest first
  LONG lHandles;
};

KSPIN_LOCK g_Lock;
DRIVER_OBJECT* g_pDriver;
DEVICE_OBJECT* g_pControl;
DEVICE_OBJECT* g_pBus;       // the bus's own device and the PDO below it
DEVICE_OBJECT* g_pBusPdo;
Child g_Children[TESTDRV_MAX_CHILDREN];
ULONG g_ulNextId = 1;
TestDrvRequest g_Log[LOG_CAPACITY];
ULONG64 g_ullLogNext, g_ullLogBase;

struct Lock {
  KIRQL irql;
  Lock() { KeAcquireSpinLock(&g_Lock, &irql); }
  ~Lock() { KeReleaseSpinLock(&g_Lock, irql); }
};

Extension* ExtensionOf(DEVICE_OBJECT* pDevice) { return static_cast<Extension*>(pDevice->DeviceExtension); }

Child* FindChild(ULONG ulId)
{
  for (Child& child : g_Children) {
    if (ulId != 0 && child.ulId == ulId) {
      return &child;
    }
  }
  return nullptr;
}

// ---- Request log (under the lock) --------------------------------------------------
// An IRP's log sequence number + 1 rides in its DriverContext[0].

void LogAdd(IRP* pIrp, ULONG ulChild, ULONG ulIoctl, const void* pIn, ULONG ulInSize, ULONG ulOutSize)
{
  const ULONG64 ullSeq = g_ullLogNext++;
  TestDrvRequest& r = g_Log[ullSeq % LOG_CAPACITY];
  memset(&r, 0, sizeof r);
  r.ulChild = ulChild;
  r.ulIoctl = ulIoctl;
  r.ulInSize = ulInSize;
  if (pIn != nullptr) {
    memcpy(r.In, pIn, ulInSize < TESTDRV_MAX_DATA ? ulInSize : TESTDRV_MAX_DATA);
  }
  r.ulOutSize = ulOutSize;
  r.lStatus = STATUS_PENDING;
  pIrp->Tail.Overlay.DriverContext[0] = reinterpret_cast<void*>(static_cast<ULONG_PTR>(ullSeq + 1));
}

void LogResult(IRP* pIrp, NTSTATUS lStatus)
{
  const ULONG64 ullTag = reinterpret_cast<ULONG_PTR>(pIrp->Tail.Overlay.DriverContext[0]);
  if (ullTag != 0 && ullTag - 1 >= g_ullLogBase && g_ullLogNext - (ullTag - 1) <= LOG_CAPACITY) {
    g_Log[(ullTag - 1) % LOG_CAPACITY].lStatus = lStatus;
  }
}

// ---- Held requests ------------------------------------------------------------------

NTSTATUS Complete(IRP* pIrp, NTSTATUS lStatus, ULONG_PTR ulInformation)
{
  pIrp->IoStatus.Status = lStatus;
  pIrp->IoStatus.Information = ulInformation;
  IoCompleteRequest(pIrp, IO_NO_INCREMENT);
  return lStatus;
}

// Completes the IRPs gathered under the lock (their status already set).
void CompleteGathered(LIST_ENTRY* pDone)
{
  while (!IsListEmpty(pDone)) {
    IRP* pIrp = CONTAINING_RECORD(RemoveHeadList(pDone), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
  }
}

void Cancel(DEVICE_OBJECT*, IRP* pIrp)
{
  IoReleaseCancelSpinLock(pIrp->CancelIrql);
  {
    Lock lock;
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    LogResult(pIrp, STATUS_CANCELLED);
  }
  Complete(pIrp, STATUS_CANCELLED, 0);
}

// Holds an IRP until something completes or cancels it; FALSE when it was
// cancelled already (the caller completes it).
bool Hold(Child& child, IRP* pIrp)
{
  (void)IoSetCancelRoutine(pIrp, Cancel);
  if (pIrp->Cancel && IoSetCancelRoutine(pIrp, nullptr) != nullptr) {
    return false;
  }
  IoMarkIrpPending(pIrp);
  InsertTailList(&child.Pending, &pIrp->Tail.Overlay.ListEntry);
  return true;
}

// Takes a held IRP back from its cancel routine; FALSE when that runs already.
bool Claim(IRP* pIrp) { return IoSetCancelRoutine(pIrp, nullptr) != nullptr; }

// Moves a claimed IRP, with its status set, onto pDone for completion.
void Finish(IRP* pIrp, NTSTATUS lStatus, ULONG_PTR ulInformation, LIST_ENTRY* pDone)
{
  RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
  LogResult(pIrp, lStatus);
  pIrp->IoStatus.Status = lStatus;
  pIrp->IoStatus.Information = ulInformation;
  InsertTailList(pDone, &pIrp->Tail.Overlay.ListEntry);
}

// Ends the child's held IRPs (of one file object, or all when null).
void ReleaseAll(Child& child, FILE_OBJECT* pFile, NTSTATUS lStatus, LIST_ENTRY* pDone)
{
  for (LIST_ENTRY* p = child.Pending.Flink; p != &child.Pending;) {
    IRP* pIrp = CONTAINING_RECORD(p, IRP, Tail.Overlay.ListEntry);
    p = p->Flink;
    if ((pFile == nullptr || IoGetCurrentIrpStackLocation(pIrp)->FileObject == pFile) && Claim(pIrp)) {
      Finish(pIrp, lStatus, 0, pDone);
    }
  }
}

// Gives the oldest packet to an event read's buffer. A buffer too small for it
// fails the read and keeps the packet.
NTSTATUS ServeEvent(Child& child, void* pOut, ULONG ulOutSize, ULONG_PTR* pulReturned)
{
  const Packet& packet = child.Events[child.ulFirstEvent];
  *pulReturned = 0;
  if (pOut == nullptr || ulOutSize < packet.ulSize) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  memcpy(pOut, packet.Data, packet.ulSize);
  *pulReturned = packet.ulSize;
  child.ulFirstEvent = (child.ulFirstEvent + 1) % MAX_EVENTS;
  --child.ulEventCount;
  return STATUS_SUCCESS;
}

NTSTATUS StatusOf(DrvResult result)
{
  switch (result) {
  case DRV_OK:
    return STATUS_SUCCESS;
  case DRV_BAD_PARAMETER:
    return STATUS_INVALID_PARAMETER;
  case DRV_BUFFER_TOO_SMALL:
    return STATUS_BUFFER_TOO_SMALL;
  default:
    return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// ---- Children's requests ------------------------------------------------------------

NTSTATUS ChildControl(ULONG ulChild, IRP* pIrp)
{
  const IO_STACK_LOCATION* pStack = IoGetCurrentIrpStackLocation(pIrp);
  const ULONG ulIoctl = pStack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG ulInSize = pStack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG ulOutSize = pStack->Parameters.DeviceIoControl.OutputBufferLength;
  // Only buffered requests have their data here; the protocol's all are.
  void* pBuffer = (ulIoctl & 3) == METHOD_BUFFERED ? pIrp->AssociatedIrp.SystemBuffer : nullptr;
  NTSTATUS lStatus;
  ULONG_PTR ulReturned = 0;
  {
    Lock lock;
    LogAdd(pIrp, ulChild, ulIoctl, pBuffer, ulInSize, ulOutSize);
    Child* pChild = FindChild(ulChild);
    if (pChild == nullptr || !pChild->bPresent) {
      lStatus = STATUS_DEVICE_NOT_CONNECTED;
    } else if (ulIoctl == DRV_IOCTL_EVENT_READ) {
      if (pChild->ulEventCount > 0) {
        lStatus = ServeEvent(*pChild, pBuffer, ulOutSize, &ulReturned);
      } else {
        lStatus = Hold(*pChild, pIrp) ? STATUS_PENDING : STATUS_CANCELLED;
      }
    } else if (pChild->ulMode == TESTDRV_FAIL) {
      lStatus = pChild->lFailStatus;
    } else if (pChild->ulMode == TESTDRV_NEVER_ANSWER) {
      lStatus = Hold(*pChild, pIrp) ? STATUS_PENDING : STATUS_CANCELLED;
    } else {
      uint32_t ulLength = 0;
      lStatus = StatusOf(DrvAnswer(&pChild->Store, ulIoctl, pBuffer, pBuffer != nullptr ? ulInSize : 0, pBuffer,
                                   pBuffer != nullptr ? ulOutSize : 0, &ulLength));
      ulReturned = ulLength;
    }
    if (lStatus != STATUS_PENDING) {
      LogResult(pIrp, lStatus);
    }
  }
  return lStatus == STATUS_PENDING ? STATUS_PENDING : Complete(pIrp, lStatus, ulReturned);
}

// A removed child's device object, once no handle to it is open (Wine fails
// requests on a deleted device's handles with access denied, not with the
// device's own answer). Under the lock.
DEVICE_OBJECT* TakeDeviceToDelete(Child& child)
{
  DEVICE_OBJECT* pDevice = child.bRemoved && child.lHandles == 0 ? child.pPdo : nullptr;
  if (pDevice != nullptr) {
    child.pPdo = nullptr;
  }
  return pDevice;
}

void DeleteChildDevice(Child* pChild, DEVICE_OBJECT* pDevice)
{
  if (pDevice != nullptr) {
    RtlFreeUnicodeString(&pChild->Link);
    pChild->Link.Buffer = nullptr;
    IoDeleteDevice(pDevice);
  }
}

NTSTATUS ChildCreateClose(ULONG ulChild, IRP* pIrp)
{
  IO_STACK_LOCATION* pStack = IoGetCurrentIrpStackLocation(pIrp);
  FILE_OBJECT* pFile = pStack->FileObject;
  NTSTATUS lStatus = STATUS_SUCCESS;
  LIST_ENTRY done;
  InitializeListHead(&done);
  DEVICE_OBJECT* pDelete = nullptr;
  Child* pChild;
  {
    Lock lock;
    pChild = FindChild(ulChild);
    if (pStack->MajorFunction == IRP_MJ_CREATE) {
      if (pChild == nullptr || !pChild->bPresent || pFile == nullptr) {
        lStatus = STATUS_DEVICE_NOT_CONNECTED;
      } else {
        ++pChild->lHandles;
        pFile->FsContext = reinterpret_cast<void*>(static_cast<ULONG_PTR>(ulChild));   // counted
      }
    } else if (pChild != nullptr && pFile != nullptr) {
      // Wine sends the close at once, without a clean-up, even with requests
      // still held: they end here.
      ReleaseAll(*pChild, pFile, STATUS_CANCELLED, &done);
      if (pStack->MajorFunction == IRP_MJ_CLOSE && pFile->FsContext != nullptr) {
        pFile->FsContext = nullptr;
        --pChild->lHandles;
        pDelete = TakeDeviceToDelete(*pChild);
      }
    }
  }
  CompleteGathered(&done);
  Complete(pIrp, lStatus, 0);
  DeleteChildDevice(pChild, pDelete);
  return lStatus;
}

// ---- Children in PnP ----------------------------------------------------------------

// The part of the instance ID before (bDevice) or after its last backslash,
// freshly allocated, ending in two terminators so that it serves as a
// multi-string too.
WCHAR* IdPart(const Child& child, bool bDevice)
{
  const char* s = child.sInstanceId;
  ULONG ulLast = 0, ulLength = 0;
  for (; s[ulLength] != '\0'; ++ulLength) {
    ulLast = s[ulLength] == '\\' ? ulLength : ulLast;
  }
  const ULONG ulFrom = bDevice ? 0 : ulLast + 1, ulTo = bDevice ? ulLast : ulLength;
  auto* p = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, (ulTo - ulFrom + 2) * sizeof(WCHAR), POOL_TAG));
  if (p != nullptr) {
    for (ULONG i = ulFrom; i < ulTo; ++i) {
      p[i - ulFrom] = static_cast<WCHAR>(s[i]);
    }
    p[ulTo - ulFrom] = p[ulTo - ulFrom + 1] = 0;
  }
  return p;
}

NTSTATUS ChildQueryId(const Child& child, BUS_QUERY_ID_TYPE type, ULONG_PTR* pulInformation)
{
  WCHAR* p;
  switch (type) {
  case BusQueryDeviceID:
  case BusQueryHardwareIDs:
    p = IdPart(child, true);
    break;
  case BusQueryInstanceID:
    p = IdPart(child, false);
    break;
  case BusQueryCompatibleIDs:   // none, but Wine registers no child that leaves this unanswered
    p = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, 2 * sizeof(WCHAR), POOL_TAG));
    if (p != nullptr) {
      p[0] = p[1] = 0;
    }
    break;
  default:
    return STATUS_NOT_SUPPORTED;
  }
  *pulInformation = reinterpret_cast<ULONG_PTR>(p);
  return p != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

DEVICE_RELATIONS* Relations(DEVICE_OBJECT* const* pDevices, ULONG ulCount)
{
  auto* pRelations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(
    PagedPool, sizeof(DEVICE_RELATIONS) + TESTDRV_MAX_CHILDREN * sizeof(DEVICE_OBJECT*), POOL_TAG));
  if (pRelations != nullptr) {
    pRelations->Count = ulCount;
    for (ULONG i = 0; i < ulCount; ++i) {
      ObReferenceObject(pDevices[i]);
      pRelations->Objects[i] = pDevices[i];
    }
  }
  return pRelations;
}

void SetInterface(Child* pChild, bool bEnable)
{
  UNICODE_STRING link = pChild->Link;
  if (link.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&link, bEnable);
  }
}

NTSTATUS ChildPnp(DEVICE_OBJECT* pDevice, ULONG ulChild, IRP* pIrp)
{
  IO_STACK_LOCATION* pStack = IoGetCurrentIrpStackLocation(pIrp);
  NTSTATUS lStatus = pIrp->IoStatus.Status;
  ULONG_PTR ulInformation = pIrp->IoStatus.Information;
  Child* pChild = FindChild(ulChild);   // slots outlive their device objects
  if (pChild == nullptr) {
    return Complete(pIrp, lStatus, ulInformation);
  }
  switch (pStack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    if (pChild->Link.Buffer == nullptr) {
      lStatus = IoRegisterDeviceInterface(pDevice, &kRawInterface, nullptr, &pChild->Link);
    } else {
      lStatus = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(lStatus) && pChild->bPresent) {
      SetInterface(pChild, true);
    }
    break;
  case IRP_MN_QUERY_ID:
    lStatus = ChildQueryId(*pChild, pStack->Parameters.QueryId.IdType, &ulInformation);
    if (lStatus == STATUS_NOT_SUPPORTED) {
      lStatus = pIrp->IoStatus.Status;
    }
    break;
  case IRP_MN_QUERY_CAPABILITIES: {
    DEVICE_CAPABILITIES* pCaps = pStack->Parameters.DeviceCapabilities.Capabilities;
    pCaps->RawDeviceOK = TRUE;   // starts without a function driver
    pCaps->Removable = TRUE;
    pCaps->SurpriseRemovalOK = TRUE;
    lStatus = STATUS_SUCCESS;
    break;
  }
  case IRP_MN_QUERY_DEVICE_RELATIONS:
    if (pStack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
      DEVICE_RELATIONS* pRelations = Relations(&pDevice, 1);
      lStatus = pRelations != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
      ulInformation = reinterpret_cast<ULONG_PTR>(pRelations);
    }
    break;
  case IRP_MN_SURPRISE_REMOVAL:
    SetInterface(pChild, false);
    lStatus = STATUS_SUCCESS;
    break;
  case IRP_MN_REMOVE_DEVICE: {
    SetInterface(pChild, false);
    LIST_ENTRY done;
    InitializeListHead(&done);
    DEVICE_OBJECT* pDelete = nullptr;
    {
      Lock lock;
      // A child still plugged stays until it is reported gone, unless the bus goes.
      if (!pChild->bPresent || g_pBus == nullptr) {
        pChild->bPresent = false;
        pChild->bRemoved = true;
        ReleaseAll(*pChild, nullptr, STATUS_DEVICE_NOT_CONNECTED, &done);
        pDelete = TakeDeviceToDelete(*pChild);
      }
    }
    CompleteGathered(&done);
    Complete(pIrp, STATUS_SUCCESS, 0);
    DeleteChildDevice(pChild, pDelete);
    return STATUS_SUCCESS;
  }
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_STOP_DEVICE:
    lStatus = STATUS_SUCCESS;
    break;
  default:
    break;
  }
  return Complete(pIrp, lStatus, ulInformation);
}

// ---- The bus ----------------------------------------------------------------------

NTSTATUS BusPnp(DEVICE_OBJECT* pDevice, IRP* pIrp)
{
  IO_STACK_LOCATION* pStack = IoGetCurrentIrpStackLocation(pIrp);
  DEVICE_OBJECT* pLower = ExtensionOf(pDevice)->pLower;
  switch (pStack->MinorFunction) {
  case IRP_MN_QUERY_DEVICE_RELATIONS: {
    if (pStack->Parameters.QueryDeviceRelations.Type != BusRelations) {
      break;
    }
    DEVICE_OBJECT* Present[TESTDRV_MAX_CHILDREN];
    ULONG ulCount = 0;
    {
      Lock lock;
      for (const Child& child : g_Children) {
        if (child.bPresent && child.pPdo != nullptr) {
          Present[ulCount++] = child.pPdo;
        }
      }
    }
    DEVICE_RELATIONS* pRelations = Relations(Present, ulCount);
    if (pRelations == nullptr) {
      return Complete(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    pIrp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(pRelations);
    break;
  }
  case IRP_MN_START_DEVICE:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_SURPRISE_REMOVAL:
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    break;
  case IRP_MN_REMOVE_DEVICE: {
    {
      Lock lock;
      g_pBus = g_pBusPdo = nullptr;
    }
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS lStatus = IoCallDriver(pLower, pIrp);
    IoDetachDevice(pLower);
    IoDeleteDevice(pDevice);
    return lStatus;
  }
  default:
    break;
  }
  IoSkipCurrentIrpStackLocation(pIrp);
  return IoCallDriver(pLower, pIrp);
}

NTSTATUS AddDevice(DRIVER_OBJECT* pDriver, DEVICE_OBJECT* pPdo)
{
  if (g_pBus != nullptr) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;   // one bus only
  }
  DEVICE_OBJECT* pDevice;
  NTSTATUS lStatus = IoCreateDevice(pDriver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                    FILE_DEVICE_SECURE_OPEN, FALSE, &pDevice);
  if (!NT_SUCCESS(lStatus)) {
    return lStatus;
  }
  Extension* pExtension = ExtensionOf(pDevice);
  pExtension->kind = KIND_BUS;
  pExtension->pLower = IoAttachDeviceToDeviceStack(pDevice, pPdo);
  if (pExtension->pLower == nullptr) {
    IoDeleteDevice(pDevice);
    return STATUS_NO_SUCH_DEVICE;
  }
  pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  Lock lock;
  g_pBus = pDevice;
  g_pBusPdo = pPdo;
  return STATUS_SUCCESS;
}

// ---- Control device ---------------------------------------------------------------

// Printable, no spaces, with a device part and an instance part.
bool ValidInstanceId(const TestDrvCommand& command)
{
  if (command.ulSize == 0 || command.ulSize >= TESTDRV_MAX_DATA) {
    return false;
  }
  ULONG ulLast = 0;
  for (ULONG i = 0; i < command.ulSize; ++i) {
    if (command.Data[i] <= ' ' || command.Data[i] > '~' || command.Data[i] == ',') {
      return false;
    }
    ulLast = command.Data[i] == '\\' ? i : ulLast;
  }
  return ulLast > 0 && ulLast + 1 < command.ulSize;
}

bool SameId(const char* s, const UCHAR* p, ULONG ulSize)
{
  auto upper = [](UCHAR c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
  ULONG i = 0;
  while (i < ulSize && s[i] != '\0' && upper(s[i]) == upper(p[i])) {
    ++i;
  }
  return i == ulSize && s[i] == '\0';
}

NTSTATUS Plug(const TestDrvCommand& command, ULONG* pulId)
{
  if (!ValidInstanceId(command)) {
    return STATUS_INVALID_PARAMETER;
  }
  Child* pChild = nullptr;
  ULONG ulId;
  {
    Lock lock;
    if (g_pBus == nullptr) {
      return STATUS_DEVICE_NOT_READY;
    }
    for (const Child& child : g_Children) {
      if (child.bPresent && SameId(child.sInstanceId, command.Data, command.ulSize)) {
        return STATUS_OBJECT_NAME_COLLISION;   // one present device per instance ID
      }
    }
    for (Child& child : g_Children) {
      if (child.ulId == 0 || (child.pPdo == nullptr && !child.bPresent && child.lHandles == 0 &&
                              IsListEmpty(&child.Pending))) {
        pChild = &child;
        break;
      }
    }
    if (pChild == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(pChild, 0, sizeof *pChild);
    ulId = pChild->ulId = g_ulNextId++;
    pChild->bPresent = true;   // reported only once it has its device object
    memcpy(pChild->sInstanceId, command.Data, command.ulSize);
    DrvStoreInit(&pChild->Store);
    InitializeListHead(&pChild->Pending);
  }
  DEVICE_OBJECT* pPdo;
  NTSTATUS lStatus = IoCreateDevice(g_pDriver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                    FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pPdo);
  DEVICE_OBJECT* pBusPdo;
  {
    Lock lock;
    pBusPdo = g_pBusPdo;
    if (!NT_SUCCESS(lStatus)) {
      pChild->ulId = 0;
      pChild->bPresent = false;
      return lStatus;
    }
    ExtensionOf(pPdo)->kind = KIND_CHILD;
    ExtensionOf(pPdo)->ulChild = ulId;
    pPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pChild->pPdo = pPdo;
  }
  if (pBusPdo != nullptr) {
    IoInvalidateDeviceRelations(pBusPdo, BusRelations);
  }
  *pulId = ulId;
  return STATUS_SUCCESS;
}

// The child's interface goes, its held requests end, later ones fail, and the
// bus reports it gone; its device object goes at its removal.
NTSTATUS Unplug(ULONG ulId, bool bReport)
{
  LIST_ENTRY done;
  InitializeListHead(&done);
  Child* pChild;
  DEVICE_OBJECT* pBusPdo;
  {
    Lock lock;
    pChild = FindChild(ulId);
    if (pChild == nullptr || !pChild->bPresent) {
      return STATUS_INVALID_PARAMETER;
    }
    pChild->bPresent = false;
    pChild->ulEventCount = 0;
    ReleaseAll(*pChild, nullptr, STATUS_DEVICE_NOT_CONNECTED, &done);
    pBusPdo = g_pBusPdo;
  }
  CompleteGathered(&done);
  SetInterface(pChild, false);
  if (bReport && pBusPdo != nullptr) {
    IoInvalidateDeviceRelations(pBusPdo, BusRelations);
  }
  return STATUS_SUCCESS;
}

NTSTATUS QueueEvent(const TestDrvCommand& command)
{
  if (command.ulSize == 0 || command.ulSize > TESTDRV_MAX_DATA) {
    return STATUS_INVALID_PARAMETER;
  }
  LIST_ENTRY done;
  InitializeListHead(&done);
  {
    Lock lock;
    Child* pChild = FindChild(command.ulChild);
    if (pChild == nullptr || !pChild->bPresent) {
      return STATUS_INVALID_PARAMETER;
    }
    if (pChild->ulEventCount == MAX_EVENTS) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    Packet& packet = pChild->Events[(pChild->ulFirstEvent + pChild->ulEventCount++) % MAX_EVENTS];
    packet.ulSize = command.ulSize;
    memcpy(packet.Data, command.Data, command.ulSize);
    // The oldest held read takes it.
    for (LIST_ENTRY* p = pChild->Pending.Flink; p != &pChild->Pending; p = p->Flink) {
      IRP* pIrp = CONTAINING_RECORD(p, IRP, Tail.Overlay.ListEntry);
      const auto& request = IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceIoControl;
      // Claimed first, so that a read being cancelled is not served.
      if (request.IoControlCode == DRV_IOCTL_EVENT_READ && Claim(pIrp)) {
        ULONG_PTR ulReturned = 0;
        const NTSTATUS lStatus =
          ServeEvent(*pChild, pIrp->AssociatedIrp.SystemBuffer, request.OutputBufferLength, &ulReturned);
        Finish(pIrp, lStatus, ulReturned, &done);
        break;
      }
    }
  }
  CompleteGathered(&done);
  return STATUS_SUCCESS;
}

ULONG PendingCount(ULONG ulChild)
{
  ULONG ulCount = 0;
  for (Child& child : g_Children) {
    if (child.ulId != 0 && (ulChild == 0 || child.ulId == ulChild)) {
      for (LIST_ENTRY* p = child.Pending.Flink; p != &child.Pending; p = p->Flink) {
        ++ulCount;
      }
    }
  }
  return ulCount;
}

void Reset()
{
  for (ULONG i = 0; i < TESTDRV_MAX_CHILDREN; ++i) {
    ULONG ulId;
    {
      Lock lock;
      ulId = g_Children[i].bPresent ? g_Children[i].ulId : 0;
    }
    if (ulId != 0) {
      Unplug(ulId, false);
    }
  }
  DEVICE_OBJECT* pBusPdo;
  {
    Lock lock;
    pBusPdo = g_pBusPdo;
    g_ullLogBase = g_ullLogNext;
  }
  if (pBusPdo != nullptr) {
    IoInvalidateDeviceRelations(pBusPdo, BusRelations);
  }
}

// Commands that only touch state under the lock. *pulOut: bytes written.
NTSTATUS Command(ULONG ulCode, const TestDrvCommand& command, void* pOut, ULONG ulOutSize, ULONG_PTR* pulOut)
{
  Lock lock;
  Child* pChild = FindChild(command.ulChild);
  auto word = [&](ULONG ulValue) {
    if (ulOutSize < sizeof(ULONG)) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(pOut, &ulValue, sizeof ulValue);
    *pulOut = sizeof ulValue;
    return STATUS_SUCCESS;
  };
  switch (ulCode) {
  case TESTDRV_REQUEST_COUNT:
    return word(static_cast<ULONG>(g_ullLogNext - g_ullLogBase));
  case TESTDRV_GET_REQUEST: {
    const ULONG64 ullSeq = g_ullLogBase + command.ulValue;
    if (ullSeq >= g_ullLogNext || g_ullLogNext - ullSeq > LOG_CAPACITY) {
      return STATUS_INVALID_PARAMETER;
    }
    if (ulOutSize < sizeof(TestDrvRequest)) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(pOut, &g_Log[ullSeq % LOG_CAPACITY], sizeof(TestDrvRequest));
    *pulOut = sizeof(TestDrvRequest);
    return STATUS_SUCCESS;
  }
  case TESTDRV_CLEAR_REQUESTS:
    g_ullLogBase = g_ullLogNext;
    return STATUS_SUCCESS;
  case TESTDRV_PENDING_COUNT:
    return word(PendingCount(command.ulChild));
  case TESTDRV_HANDLE_COUNT:
    return word(pChild != nullptr ? static_cast<ULONG>(pChild->lHandles) : 0);
  default:
    break;
  }
  // The rest concern one child.
  if (pChild == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (ulCode) {
  case TESTDRV_SET_MODE:
    if (command.ulValue > TESTDRV_FAIL || command.lStatus == STATUS_PENDING) {   // a failure must end the request
      return STATUS_INVALID_PARAMETER;
    }
    pChild->ulMode = command.ulValue;
    pChild->lFailStatus = command.lStatus;
    return STATUS_SUCCESS;
  case TESTDRV_SET_PARAM:
    return command.ulSize <= TESTDRV_MAX_DATA &&
               DrvStoreSet(&pChild->Store, command.ulParam, command.Data, command.ulSize)
             ? STATUS_SUCCESS
             : STATUS_INVALID_PARAMETER;
  case TESTDRV_SET_REPLY:
    return DrvStoreSetReplyLength(&pChild->Store, command.ulParam, command.ulValue) ? STATUS_SUCCESS
                                                                                     : STATUS_INVALID_PARAMETER;
  case TESTDRV_GET_PARAM:
  case TESTDRV_INSTANCE_ID: {
    if (ulOutSize < sizeof(TestDrvCommand)) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    TestDrvCommand& reply = *static_cast<TestDrvCommand*>(pOut);
    memset(&reply, 0, sizeof reply);
    if (ulCode == TESTDRV_GET_PARAM) {
      reply.ulSize = DrvStoreGet(&pChild->Store, command.ulParam, reply.Data, TESTDRV_MAX_DATA);
    } else {
      memcpy(reply.Data, pChild->sInstanceId, TESTDRV_MAX_DATA);
      for (reply.ulSize = 0; reply.Data[reply.ulSize] != 0; ++reply.ulSize) {
      }
    }
    *pulOut = sizeof reply;
    return STATUS_SUCCESS;
  }
  default:
    return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS ControlDevice(IRP* pIrp)
{
  const IO_STACK_LOCATION* pStack = IoGetCurrentIrpStackLocation(pIrp);
  if (pStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    return Complete(pIrp, STATUS_SUCCESS, 0);   // create, clean-up, close
  }
  const ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG ulOutSize = pStack->Parameters.DeviceIoControl.OutputBufferLength;
  void* pBuffer = pIrp->AssociatedIrp.SystemBuffer;
  if (pStack->Parameters.DeviceIoControl.InputBufferLength != sizeof(TestDrvCommand) || pBuffer == nullptr) {
    return Complete(pIrp, STATUS_INVALID_PARAMETER, 0);
  }
  // A copy, since replies overwrite the buffered input.
  TestDrvCommand command;
  memcpy(&command, pBuffer, sizeof command);
  ULONG_PTR ulOut = 0;
  NTSTATUS lStatus;
  switch (ulCode) {
  case TESTDRV_PLUG: {
    ULONG ulId = 0;
    if (ulOutSize < sizeof(ULONG)) {
      lStatus = STATUS_BUFFER_TOO_SMALL;
    } else {
      lStatus = Plug(command, &ulId);
    }
    if (NT_SUCCESS(lStatus)) {
      memcpy(pBuffer, &ulId, sizeof ulId);
      ulOut = sizeof ulId;
    }
    break;
  }
  case TESTDRV_UNPLUG:
    lStatus = Unplug(command.ulChild, true);
    break;
  case TESTDRV_QUEUE_EVENT:
    lStatus = QueueEvent(command);
    break;
  case TESTDRV_RESET:
    Reset();
    lStatus = STATUS_SUCCESS;
    break;
  default:
    lStatus = Command(ulCode, command, pBuffer, ulOutSize, &ulOut);
    break;
  }
  return Complete(pIrp, lStatus, NT_SUCCESS(lStatus) ? ulOut : 0);
}

// ---- Dispatch ---------------------------------------------------------------------

NTSTATUS Dispatch(DEVICE_OBJECT* pDevice, IRP* pIrp)
{
  const Extension* pExtension = ExtensionOf(pDevice);
  const UCHAR ucMajor = IoGetCurrentIrpStackLocation(pIrp)->MajorFunction;
  switch (pExtension->kind) {
  case KIND_CONTROL:
    return ControlDevice(pIrp);
  case KIND_BUS:
    if (ucMajor == IRP_MJ_PNP) {
      return BusPnp(pDevice, pIrp);
    }
    return Complete(pIrp, ucMajor == IRP_MJ_DEVICE_CONTROL ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS, 0);
  case KIND_CHILD:
    if (ucMajor == IRP_MJ_PNP) {
      return ChildPnp(pDevice, pExtension->ulChild, pIrp);
    }
    if (ucMajor == IRP_MJ_DEVICE_CONTROL) {
      return ChildControl(pExtension->ulChild, pIrp);
    }
    return ChildCreateClose(pExtension->ulChild, pIrp);
  default:
    return Complete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

void Unload(DRIVER_OBJECT*)
{
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, TESTDRV_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (g_pControl != nullptr) {
    IoDeleteDevice(g_pControl);
  }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* pDriver, UNICODE_STRING*)
{
  KeInitializeSpinLock(&g_Lock);
  g_pDriver = pDriver;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, TESTDRV_DEVICE_NAME);
  RtlInitUnicodeString(&link, TESTDRV_LINK_NAME);
  NTSTATUS lStatus = IoCreateDevice(pDriver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                    FALSE, &g_pControl);
  if (!NT_SUCCESS(lStatus)) {
    return lStatus;
  }
  ExtensionOf(g_pControl)->kind = KIND_CONTROL;
  lStatus = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(lStatus)) {
    IoDeleteDevice(g_pControl);
    return lStatus;
  }
  g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
  constexpr UCHAR kMajors[] = { IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP };
  for (UCHAR ucMajor : kMajors) {
    pDriver->MajorFunction[ucMajor] = Dispatch;
  }
  pDriver->DriverExtension->AddDevice = AddDevice;
  pDriver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
