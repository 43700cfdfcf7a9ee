// The one seam between the plug-in and the system's devices: the filter
// driver's handles, the Setup API's device lists and the device-change
// notifications. Each call has the signature of the system call it stands for.
// The production DLL binds them to kernel32, setupapi and user32; the test
// world binds them to the simulated driver.
#pragma once
#include <windows.h>
#include <setupapi.h>

extern "C" {
// Opens a device interface path for overlapped read and write.
HANDLE DevIoOpen(const char* sPath);
BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                  DWORD* pdwReturned, OVERLAPPED* pOverlapped);
BOOL DevIoGetOverlappedResult(HANDLE hDevice, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait);
// Cancels the I/O that the calling thread started on the handle.
BOOL DevIoCancel(HANDLE hDevice);

// Device lists of the Setup API.
HDEVINFO DevIoSetupDiGetClassDevsA(const GUID* pClassGuid, PCSTR sEnumerator, HWND hwndParent, DWORD dwFlags);
BOOL DevIoSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, const GUID* pInterfaceGuid,
                                      DWORD dwMemberIndex, PSP_DEVICE_INTERFACE_DATA pInterfaceData);
BOOL DevIoSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail, DWORD dwDetailSize,
                                           PDWORD pdwRequiredSize, PSP_DEVINFO_DATA pDevInfoData);
BOOL DevIoSetupDiEnumDeviceInfo(HDEVINFO hDevInfo, DWORD dwMemberIndex, PSP_DEVINFO_DATA pDevInfoData);
BOOL DevIoSetupDiGetDeviceInstanceIdA(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PSTR sInstanceId,
                                      DWORD dwSize, PDWORD pdwRequiredSize);
BOOL DevIoSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo);

// Device-change notifications delivered to a window as WM_DEVICECHANGE.
HDEVNOTIFY DevIoRegisterDeviceNotificationA(HANDLE hRecipient, LPVOID pNotificationFilter, DWORD dwFlags);
BOOL DevIoUnregisterDeviceNotification(HDEVNOTIFY hNotify);
}
