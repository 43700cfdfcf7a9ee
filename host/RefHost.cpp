// Reference host: interface record, shared region and host operations.
#include "host/RefHost.h"

#include <cstring>

static RefHost s_Host;

RefHost* RefHostGet()
{
  return &s_Host;
}

BOOL RefHostLoadPlugin(RefHostPlugin* pPlugin, const char* sDllPath)
{
  memset(pPlugin, 0, sizeof *pPlugin);
  pPlugin->hModule = LoadLibraryA(sDllPath);
  if (pPlugin->hModule == nullptr) {
    return FALSE;
  }
  auto ordinal = [pPlugin](WORD n) { return GetProcAddress(pPlugin->hModule, MAKEINTRESOURCEA(n)); };
  pPlugin->MouControl = reinterpret_cast<PFN_MOU_CONTROL>(ordinal(1));
  pPlugin->MouDeviceCleanup = reinterpret_cast<PFN_MOU_DEVICE_CLEANUP>(ordinal(2));
  pPlugin->MouDeviceControl = reinterpret_cast<PFN_MOU_DEVICE_CONTROL>(ordinal(3));
  pPlugin->MouEvaluateEventCompatibility = reinterpret_cast<PFN_MOU_EVALUATE_EVENT>(ordinal(4));
  pPlugin->MouMainExit = reinterpret_cast<PFN_MOU_MAIN_EXIT>(ordinal(5));
  pPlugin->MouMainInit = reinterpret_cast<PFN_MOU_MAIN_INIT>(ordinal(6));
  pPlugin->MouRegisterEvent = reinterpret_cast<PFN_MOU_REGISTER_EVENT>(ordinal(7));
  pPlugin->MouUnregisterEvent = reinterpret_cast<PFN_MOU_REGISTER_EVENT>(ordinal(8));
  return pPlugin->MouControl && pPlugin->MouDeviceCleanup && pPlugin->MouDeviceControl &&
         pPlugin->MouEvaluateEventCompatibility && pPlugin->MouMainExit && pPlugin->MouMainInit &&
         pPlugin->MouRegisterEvent && pPlugin->MouUnregisterEvent;
}

void RefHostUnloadPlugin(RefHostPlugin* pPlugin)
{
  if (pPlugin->hModule != nullptr) {
    FreeLibrary(pPlugin->hModule);
  }
  memset(pPlugin, 0, sizeof *pPlugin);
}

// Operations the plug-in may reach for devices; more land as the host grows.
static BOOL HostRemoveDevicesOp(PFN_HOST_DEVICE_FILTER, ULONG_PTR, void*, ULONG, ULONG)
{
  return TRUE;
}

static BOOL HostForEachDeviceOp(PFN_HOST_DEVICE_CALLBACK, ULONG_PTR, ULONG_PTR, ULONG)
{
  return TRUE;
}

static ULONG HostDeviceCapabilityOp(tDevice*, ULONG, void*)
{
  return 0;
}

BOOL RefHostInit(RefHost* pHost)
{
  memset(pHost, 0, sizeof *pHost);
  pHost->hSharedMapping =
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, REFHOST_SHARED_SIZE, nullptr);
  if (pHost->hSharedMapping == nullptr) {
    return FALSE;
  }
  pHost->pMainShare =
    static_cast<tMainShare*>(MapViewOfFile(pHost->hSharedMapping, FILE_MAP_ALL_ACCESS, 0, 0, REFHOST_SHARED_SIZE));
  if (pHost->pMainShare == nullptr) {
    CloseHandle(pHost->hSharedMapping);
    pHost->hSharedMapping = nullptr;
    return FALSE;
  }
  pHost->pMainShare->shareHeader.lSize = (LONG)REFHOST_SHARED_SIZE;
  pHost->Gbl.hDeviceListMutex = CreateMutexA(nullptr, FALSE, nullptr);
  pHost->Main.hInstance = GetModuleHandleA(nullptr);

  pHost->Api[HOST_MAIN_SHARE] = reinterpret_cast<ULONG_PTR>(pHost->pMainShare);
  pHost->Api[HOST_GBL] = reinterpret_cast<ULONG_PTR>(&pHost->Gbl);
  pHost->Api[HOST_MAIN] = reinterpret_cast<ULONG_PTR>(&pHost->Main);
  pHost->Api[HOST_REMOVE_DEVICES] = reinterpret_cast<ULONG_PTR>(&HostRemoveDevicesOp);
  pHost->Api[HOST_FOR_EACH_DEVICE] = reinterpret_cast<ULONG_PTR>(&HostForEachDeviceOp);
  pHost->Api[HOST_DEVICE_CAPABILITY] = reinterpret_cast<ULONG_PTR>(&HostDeviceCapabilityOp);
  return TRUE;
}

void RefHostShutdown(RefHost* pHost)
{
  if (pHost->Gbl.hDeviceListMutex != nullptr) {
    CloseHandle(pHost->Gbl.hDeviceListMutex);
  }
  if (pHost->pMainShare != nullptr) {
    UnmapViewOfFile(pHost->pMainShare);
  }
  if (pHost->hSharedMapping != nullptr) {
    CloseHandle(pHost->hSharedMapping);
  }
  memset(pHost, 0, sizeof *pHost);
}
