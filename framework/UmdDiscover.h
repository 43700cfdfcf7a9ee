// Device discovery and identification.
#pragma once
#include <windows.h>
#include <setupapi.h>

#include "framework/UmdRecords.h"

// Handed through the interface enumeration to every UmdFoundDevice call.
struct UmdEnumContext {
  const char* sFilterPath;   // null: full enumeration; else the one path to visit
  UmdGlobal* pUmdGlobal;
};

ULONG UmdEnumeratorWorkItem(void* pUmdGlobal);
BOOL UmdFoundDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData, SP_DEVICE_INTERFACE_DETAIL_DATA_A* pInterfaceDetail,
                    void* pContext);
BOOL InteractWithOpenedDevice(UmdGlobal* pUmdGlobal, HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* pInterfaceDetail, HANDLE hHandle,
                              PVOID hHandleNotification);
BOOL UmdGetVidAndPidAndRev(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData, USHORT* pVid, USHORT* pPid, USHORT* pRev,
                           BYTE* pInterface, BYTE* pCollection, BOOL* pbSingleInterface, BYTE* pTqIndex);
// Sweep filter after a full enumeration: TRUE for a device of this plug-in not seen again.
BOOL UmdCompareDeviceNotFound(tDevice* pDevice, ULONG_PTR ulIgnored, void* pUmdGlobal);
BOOL UmdIsInMinterm(const UmdGlobal* pUmdGlobal, const char* sMinterm);
// Clears this plug-in's present marks in the host's device list; FALSE when
// the list's mutex could not be had.
BOOL UmdClearPresentMarks(UmdGlobal* pUmdGlobal);
