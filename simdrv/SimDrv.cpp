// Simulated filter driver. Not built yet: no device exists.
#define SIMDRV_BUILD
#include "simdrv/SimDrv.h"

SIMDRV_API HANDLE DevIoOpen(const char*)
{
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

SIMDRV_API BOOL DevIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*)
{
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

SIMDRV_API BOOL DevIoGetOverlappedResult(HANDLE, OVERLAPPED*, DWORD*, BOOL)
{
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

SIMDRV_API BOOL DevIoCancel(HANDLE)
{
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
