// Reference host: loads the plug-in by ordinal and honours the host interface.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"
#include "plugin/HostApi.h"

typedef ULONG (*PFN_MOU_CONTROL)(ULONG ulCommand, void* pData, ULONG ulValue, ULONG_PTR pValue);
typedef ULONG (*PFN_MOU_DEVICE_CLEANUP)(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue);
typedef LD_STATUS (*PFN_MOU_DEVICE_CONTROL)(tDevice* pDevice, ULONG ulFunction, void* pBuffer, ULONG* pReturnedSize,
                                            ULONG ulMode);
typedef BOOL (*PFN_MOU_EVALUATE_EVENT)(tDevice* pDevice, void* pNewEvent, void* pHWEvent, ULONG_PTR reserved);
typedef ULONG (*PFN_MOU_MAIN_EXIT)(ULONG ulValue, ULONG_PTR pValue);
typedef ULONG (*PFN_MOU_MAIN_INIT)(PDEVMGRAPI pDevMgrApi, ULONG ulValue, ULONG_PTR pValue);
typedef LD_STATUS (*PFN_MOU_REGISTER_EVENT)(tDevice* pDevice, void* pHWEvent, ULONG ulContext);

// The plug-in's exports, taken by ordinal.
struct RefHostPlugin {
  HMODULE hModule;
  PFN_MOU_CONTROL MouControl;                          // @1
  PFN_MOU_DEVICE_CLEANUP MouDeviceCleanup;             // @2
  PFN_MOU_DEVICE_CONTROL MouDeviceControl;             // @3
  PFN_MOU_EVALUATE_EVENT MouEvaluateEventCompatibility; // @4
  PFN_MOU_MAIN_EXIT MouMainExit;                       // @5
  PFN_MOU_MAIN_INIT MouMainInit;                       // @6
  PFN_MOU_REGISTER_EVENT MouRegisterEvent;             // @7
  PFN_MOU_REGISTER_EVENT MouUnregisterEvent;           // @8
};

// Loads the DLL and resolves all eight ordinals; FALSE if any is missing.
BOOL RefHostLoadPlugin(RefHostPlugin* pPlugin, const char* sDllPath);
void RefHostUnloadPlugin(RefHostPlugin* pPlugin);

constexpr ULONG REFHOST_SHARED_SIZE = 0x40000;

// The host's own state; one host per process, since the operations it hands
// the plug-in carry no context.
struct RefHost {
  ULONG_PTR Api[HOST_WORD_COUNT];   // the interface record
  HANDLE hSharedMapping;
  tMainShare* pMainShare;           // start of the shared region
  tGbl Gbl;
  tMain Main;
};

RefHost* RefHostGet();
// Builds the interface record, the shared region and the host records.
BOOL RefHostInit(RefHost* pHost);
void RefHostShutdown(RefHost* pHost);
