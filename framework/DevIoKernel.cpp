// Production binding of the device seam: the real kernel32, setupapi and user32 calls.
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

extern "C" HDEVINFO DevIoSetupDiGetClassDevsA(const GUID* pClassGuid, PCSTR sEnumerator, HWND hwndParent,
                                              DWORD dwFlags)
{
  return SetupDiGetClassDevsA(pClassGuid, sEnumerator, hwndParent, dwFlags);
}

extern "C" BOOL DevIoSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData,
                                                 const GUID* pInterfaceGuid, DWORD dwMemberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA pInterfaceData)
{
  return SetupDiEnumDeviceInterfaces(hDevInfo, pDevInfoData, pInterfaceGuid, dwMemberIndex, pInterfaceData);
}

extern "C" BOOL DevIoSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail, DWORD dwDetailSize,
                                                      PDWORD pdwRequiredSize, PSP_DEVINFO_DATA pDevInfoData)
{
  return SetupDiGetDeviceInterfaceDetailA(hDevInfo, pInterfaceData, pDetail, dwDetailSize, pdwRequiredSize,
                                          pDevInfoData);
}

extern "C" BOOL DevIoSetupDiEnumDeviceInfo(HDEVINFO hDevInfo, DWORD dwMemberIndex, PSP_DEVINFO_DATA pDevInfoData)
{
  return SetupDiEnumDeviceInfo(hDevInfo, dwMemberIndex, pDevInfoData);
}

extern "C" BOOL DevIoSetupDiGetDeviceInstanceIdA(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PSTR sInstanceId,
                                                 DWORD dwSize, PDWORD pdwRequiredSize)
{
  return SetupDiGetDeviceInstanceIdA(hDevInfo, pDevInfoData, sInstanceId, dwSize, pdwRequiredSize);
}

extern "C" BOOL DevIoSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo)
{
  return SetupDiDestroyDeviceInfoList(hDevInfo);
}

extern "C" HDEVNOTIFY DevIoRegisterDeviceNotificationA(HANDLE hRecipient, LPVOID pNotificationFilter, DWORD dwFlags)
{
  return RegisterDeviceNotificationA(hRecipient, pNotificationFilter, dwFlags);
}

extern "C" BOOL DevIoUnregisterDeviceNotification(HDEVNOTIFY hNotify)
{
  return UnregisterDeviceNotification(hNotify);
}
