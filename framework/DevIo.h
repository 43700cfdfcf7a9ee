// The one seam between the plug-in and the filter driver. The production DLL
// binds it to kernel32; the test world binds it to the simulated driver.
#pragma once
#include <windows.h>

extern "C" {
// Opens a device interface path for overlapped read and write.
HANDLE DevIoOpen(const char* sPath);
BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                  DWORD* pdwReturned, OVERLAPPED* pOverlapped);
BOOL DevIoGetOverlappedResult(HANDLE hDevice, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait);
// Cancels the I/O that the calling thread started on the handle.
BOOL DevIoCancel(HANDLE hDevice);
}
