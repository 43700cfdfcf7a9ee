// Device framework: instance start and stop, transport, device services.
#pragma once
#include <windows.h>

#include "framework/UmdChange.h"
#include "framework/UmdRecords.h"

extern UmdGlobal g_UmdInstances[UMD_MAX_INSTANCES];

BOOL UmdMainInit(UmdGlobal** ppUmdGlobal, PDEVMGRAPI pDevMgrApi, ULONG ulUmdIndex, ULONG ulDevInfoSize,
                 const char* sName, HINSTANCE hInstance, const char* sWindowClass, const GUID* pInterfaceGuid,
                 ULONG ulDefaultDeviceType, PFN_UMD_DEVICE_INIT pfnDeviceInit, PFN_UMD_DEVICE_START pfnDeviceStart,
                 PFN_UMD_GET_DEVINFO pfnGetDevInfo, PFN_UMD_PROCESS_EVENT pfnProcessEvent);
void UmdMainExit(UmdGlobal* pUmdGlobal);
void UmdRemoveAllDevices(UmdGlobal* pUmdGlobal);
HWND UmdCreateMainWindow(HINSTANCE hInstance, WNDPROC pfnWndProc, const char* sWindowClass);
LRESULT CALLBACK UmdWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Queues a full enumeration on the instance's work-item thread.
void UmdEnumerateDevices(UmdGlobal* pUmdGlobal);

// ---- Device event thread and the hardware-event walks ----------------------
// One event read outstanding per device; packets go to the plug-in's event
// callback under the device's remove lock.
BOOL UmdStartEventThread(UmdGlobal* pUmdGlobal, tDevice* pDevice, UmdDevInfo* pUmdDevInfo);
void UmdStopEventThread(UmdGlobal* pUmdGlobal, tDevice* pDevice);
DWORD WINAPI UmdEventThread(LPVOID pContext);
// Tests only: the start and stop bounds (one minute each); 0 restores one.
void UmdSetEventThreadBounds(DWORD dwStartMs, DWORD dwStopMs);

typedef LD_STATUS (*PFN_UMD_EVENT_OPERATION)(tDevice* pDevice, void* pHWEvent, ULONG ulValue);
// Calls pfnOperation(device, record, 0) for every hardware event of this
// plug-in's devices.
void UmdParseEventList(UmdGlobal* pUmdGlobal, PFN_UMD_EVENT_OPERATION pfnOperation);
// Which software events a hardware event carries: 1 with the mode flag, 2
// without, 3 both, 0 none (entries refused by the filter are not counted).
typedef BOOL (*PFN_SW_EVENT_FILTER)(const tSWEvent* pSWEvent);
ULONG SniffModeState(tHWEvent* pHWEvent, PFN_SW_EVENT_FILTER pfnFilter);

LD_STATUS UmdSendIoctl(UmdGlobal* pUmdGlobal, tDevice* pDevice, ULONG ulIoctl, void* pIn, ULONG ulInSize,
                       void* pOut, ULONG ulOutSize, ULONG* pulReturned);
LD_STATUS UmdMgrGetTimeStamp(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pRecord, ULONG* pReturnedSize);
LD_STATUS UmdDeviceDump(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pBuffer);
void UmdDeviceCleanup(UmdGlobal* pUmdGlobal, tDevice* pDevice);

// Opens a device interface path for overlapped I/O, never on a value that is
// still recorded as the dead handle of a removed device. INVALID_HANDLE_VALUE
// on failure.
HANDLE UmdOpenDeviceHandle(const char* sPath);
