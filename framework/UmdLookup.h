// Device lookup through the host's walk over its devices, and the device dump.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

// Handed to every comparison of one search; a match is locked before it is kept.
struct SearchRecord {
  UmdGlobal* pUmdGlobal;
  tDevice* pFound;
  DWORD diDeviceNode;
  const char* sPath;
  HANDLE hHandle;
  const char* sPersistentName;
  ULONG ulLockId;
};

// The host's dump operation and the request record of the device dump.
typedef void (*PFN_UMD_DUMP)(ULONG_PTR context1, ULONG_PTR context2, ULONG_PTR context3, const char* sPrefix,
                             const char* sField, const char* sType, BYTE ucType, USHORT usSize, const void* pValue);
struct UmdDumpRecord {
  PFN_UMD_DUMP pfnDump;
  ULONG_PTR Context[3];
};

// Each returns the device with this plug-in's remove lock held under ulLockId, or null.
tDevice* UmdFindDeviceFromNode(UmdGlobal* pUmdGlobal, DWORD diDeviceNode, ULONG ulLockId);
tDevice* UmdFindDeviceFromPath(UmdGlobal* pUmdGlobal, const char* sPath, ULONG ulLockId);
tDevice* UmdFindDeviceFromHandle(UmdGlobal* pUmdGlobal, HANDLE hHandle, ULONG ulLockId);
tDevice* UmdFindDeviceFromPersistentName(UmdGlobal* pUmdGlobal, const char* sPersistentName, ULONG ulLockId);

// Comparisons for the host's for-each-device walk; each visits every device.
BOOL UmdCompareDeviceNode(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pSCP);
BOOL UmdCompareDevicePath(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pSCP);
BOOL UmdCompareDeviceHandle(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pSCP);
BOOL UmdComparePersistentNameNameCallback(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pSCP);
