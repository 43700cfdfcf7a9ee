// Simulated kernel mouse filter driver: the device seam plus controls for tests.
#pragma once
#include <windows.h>

#ifdef SIMDRV_BUILD
#define SIMDRV_API extern "C" __declspec(dllexport)
#else
#define SIMDRV_API extern "C"
#endif

// Seam (same signatures as framework/DevIo.h).
SIMDRV_API HANDLE DevIoOpen(const char* sPath);
SIMDRV_API BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                             DWORD* pdwReturned, OVERLAPPED* pOverlapped);
SIMDRV_API BOOL DevIoGetOverlappedResult(HANDLE hDevice, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait);
SIMDRV_API BOOL DevIoCancel(HANDLE hDevice);
