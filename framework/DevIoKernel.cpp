// Production binding of the device seam: the real kernel32 calls.
#include "framework/DevIo.h"

extern "C" HANDLE DevIoOpen(const char* sPath)
{
  return CreateFileA(sPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

extern "C" BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                             DWORD* pdwReturned, OVERLAPPED* pOverlapped)
{
  return DeviceIoControl(hDevice, dwIoctl, pIn, dwInSize, pOut, dwOutSize, pdwReturned, pOverlapped);
}

extern "C" BOOL DevIoGetOverlappedResult(HANDLE hDevice, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait)
{
  return GetOverlappedResult(hDevice, pOverlapped, pdwReturned, bWait);
}

extern "C" BOOL DevIoCancel(HANDLE hDevice)
{
  return CancelIo(hDevice);
}
