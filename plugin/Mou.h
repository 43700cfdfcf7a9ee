// The mouse plug-in's exports, globals and device callbacks.
#pragma once
#include <windows.h>
#include <cstddef>

#include "framework/UmdRecords.h"
#include "plugin/MouEvent.h"

extern "C" {
ULONG MouControl(ULONG ulCommand, void* pData, ULONG ulValue, ULONG_PTR pValue);
ULONG MouDeviceCleanup(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue);
LD_STATUS MouDeviceControl(tDevice* pDevice, ULONG ulFunction, void* pBuffer, ULONG* pReturnedSize, ULONG ulMode);
BOOL MouEvaluateEventCompatibility(tDevice* pDevice, void* pNewEvent, void* pHWEvent, ULONG_PTR reserved);
ULONG MouMainExit(ULONG ulValue, ULONG_PTR pValue);
ULONG MouMainInit(PDEVMGRAPI pDevMgrApi, ULONG ulValue, ULONG_PTR pValue);
LD_STATUS MouRegisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext);
LD_STATUS MouUnregisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext);
}

extern HANDLE g_hHeap;
extern PDEVMGRAPI g_pDevMgrApi;
extern tMainShare* g_pMainShare;
extern tGbl* g_pGbl;
extern tMain* g_pMain;
extern UmdGlobal* g_pUmdGlobal;

BOOL MouProcessAttach();
// bUnloaded: the library is unloaded from a process that goes on, so what the
// trace log keeps for the process's lifetime is given back.
BOOL MouProcessDetach(BOOL bUnloaded);

// Heap helpers with validation (none of the plug-in's code calls them).
void* MouHeapAllocValidated(HANDLE hHeap, SIZE_T cb);
void MouHeapFreeValidated(HANDLE hHeap, void* p);

// The plug-in's per-device block: the framework's record at its head, the
// chording event registered with the driver in its last 8 bytes.
struct MouDevInfo {
  UmdDevInfo umd;
  BYTE Reserved[MOU_DEVINFO_SIZE - sizeof(UmdDevInfo) - sizeof(void*)];
  void* pChordingEvent;
};
static_assert(sizeof(MouDevInfo) == MOU_DEVINFO_SIZE, "per-device block size");
static_assert(offsetof(MouDevInfo, pChordingEvent) == MOU_DEVINFO_SIZE - 8, "chording event in the last 8 bytes");

// What device start announces to the host, each list closed by its end code.
constexpr ULONG MOU_ANNOUNCED_FUNCTION_COUNT = 20;
extern const ULONG g_MouAnnouncedFunctions[MOU_ANNOUNCED_FUNCTION_COUNT + 1];
extern const ULONG g_MouAnnouncedEvents[2];

// The one hardware event type the plug-in serves.
constexpr ULONG HW_EVENT_CHORDING_BUTTON = 0x1000007;

// Device callbacks handed to the framework.
BOOL UmdCallbackDeviceInit(tDevice* pDevice, ULONG ulZero, const tModelInfo* pModel);
BOOL UmdCallbackDeviceStart(tDevice* pDevice);
UmdDevInfo* UmdCallbackGetDevInfo(tDevice* pDevice);
BOOL UmdCallbackProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes);

constexpr char MOU_WINDOW_CLASS[] = "DRAVMOU_MainWindow";
constexpr char MOU_SHORT_NAME[] = "MOU";
