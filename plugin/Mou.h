// The mouse plug-in's exports, globals and device callbacks.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

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
BOOL MouProcessDetach();

// Heap helpers with validation (none of the plug-in's code calls them).
void* MouHeapAllocValidated(HANDLE hHeap, SIZE_T cb);
void MouHeapFreeValidated(HANDLE hHeap, void* p);

// Device callbacks handed to the framework.
BOOL UmdCallbackDeviceInit(tDevice* pDevice, ULONG ulZero, const tModelInfo* pModel);
BOOL UmdCallbackDeviceStart(tDevice* pDevice);
UmdDevInfo* UmdCallbackGetDevInfo(tDevice* pDevice);
BOOL UmdCallbackProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes);

constexpr char MOU_WINDOW_CLASS[] = "DRAVMOU_MainWindow";
constexpr char MOU_SHORT_NAME[] = "MOU";
