// Simulated kernel mouse filter driver: the device seam plus controls for tests,
// the reference host and the demo. One instance per process (a DLL shared by the
// plug-in and whoever drives the simulation).
#pragma once
#include <windows.h>
#include <setupapi.h>

#ifdef SIMDRV_BUILD
#define SIMDRV_API extern "C" __declspec(dllexport)
#else
#define SIMDRV_API extern "C"
#endif

// ---- Seam (same signatures as framework/DevIo.h) ------------------------------
SIMDRV_API HANDLE DevIoOpen(const char* sPath);
SIMDRV_API BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                             DWORD* pdwReturned, OVERLAPPED* pOverlapped);
SIMDRV_API BOOL DevIoGetOverlappedResult(HANDLE hDevice, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait);
SIMDRV_API BOOL DevIoCancel(HANDLE hDevice);
// Setup API: the present devices (interface sets: those whose interface class
// matches). A set is a snapshot taken when it is made.
SIMDRV_API HDEVINFO DevIoSetupDiGetClassDevsA(const GUID* pClassGuid, PCSTR sEnumerator, HWND hwndParent,
                                              DWORD dwFlags);
SIMDRV_API BOOL DevIoSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData,
                                                 const GUID* pInterfaceGuid, DWORD dwMemberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA pInterfaceData);
SIMDRV_API BOOL DevIoSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail, DWORD dwDetailSize,
                                                      PDWORD pdwRequiredSize, PSP_DEVINFO_DATA pDevInfoData);
SIMDRV_API BOOL DevIoSetupDiEnumDeviceInfo(HDEVINFO hDevInfo, DWORD dwMemberIndex, PSP_DEVINFO_DATA pDevInfoData);
SIMDRV_API BOOL DevIoSetupDiGetDeviceInstanceIdA(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PSTR sInstanceId,
                                                 DWORD dwSize, PDWORD pdwRequiredSize);
SIMDRV_API BOOL DevIoSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo);
// Notifications for windows only (DEVICE_NOTIFY_WINDOW_HANDLE, optionally with
// DEVICE_NOTIFY_ALL_INTERFACE_CLASSES); the filter is an interface-class or a
// handle filter of at least its structure's size.
SIMDRV_API HDEVNOTIFY DevIoRegisterDeviceNotificationA(HANDLE hRecipient, LPVOID pNotificationFilter, DWORD dwFlags);
SIMDRV_API BOOL DevIoUnregisterDeviceNotification(HDEVNOTIFY hNotify);

// ---- Devices --------------------------------------------------------------------
// What the system knows of a device. Null or zero fields take the defaults:
// node 0x1000 + device id, no parents, instance ID "SIMDRV\\DEVICE\\<id>",
// the filter driver's raw interface class and the mouse setup class.
constexpr ULONG SIMDRV_MAX_PARENTS = 8;
struct SimDrvDeviceDesc {
  const char* sPath;              // interface path (required)
  const char* sInstanceId;        // e.g. "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1A2B&0&0000"
  DWORD diNode;                   // its device node
  ULONG ulParentCount;            // ancestors, nearest first
  DWORD Parents[SIMDRV_MAX_PARENTS];
  const GUID* pInterfaceClass;
  const GUID* pSetupClass;
};
// Adds a device reachable under sPath, present from the start (no broadcast);
// returns its id (1-based), 0 on failure (no path, or a present device has it).
SIMDRV_API ULONG SimDrvAddDevice(const char* sPath);
SIMDRV_API ULONG SimDrvAddDeviceEx(const SimDrvDeviceDesc* pDesc);
// The device vanishes without a broadcast: pending requests complete with
// ERROR_DEVICE_NOT_CONNECTED, later requests on its handles fail with it, and
// opening its path fails.
SIMDRV_API void SimDrvRemoveDevice(ULONG ulDevice);

// Plug and unplug at run time, with the broadcasts the system sends. Plug:
// DBT_DEVICEARRIVAL with the interface record (type 5) to the windows
// registered for its interface class. Unplug: an orderly removal first sends
// DBT_DEVICEQUERYREMOVE (handle record, type 6) to the windows registered for
// a handle of the device; if one answers BROADCAST_QUERY_DENY, they get
// DBT_DEVICEQUERYREMOVEFAILED, the device stays and FALSE is returned. Then the
// device vanishes (as SimDrvRemoveDevice), the handle registrations get
// DBT_DEVICEREMOVECOMPLETE (type 6) and the class registrations
// DBT_DEVICEREMOVECOMPLETE with the interface record (type 5).
// Broadcasts are sent (SendMessageA) on the calling thread, one window at a
// time: a window of another thread gets it only when that thread pumps, and the
// call blocks until then. So never plug or unplug from a thread that holds
// something the window's thread needs before it pumps again.
SIMDRV_API ULONG SimDrvPlugDevice(const SimDrvDeviceDesc* pDesc);
SIMDRV_API BOOL SimDrvUnplugDevice(ULONG ulDevice, BOOL bOrderly);
// Parent of a device node in the simulated tree: FALSE for an unknown node or
// one without a parent.
SIMDRV_API BOOL SimDrvGetParentNode(DWORD diChild, DWORD* pdiParent);
// Forgets every device, handle, queued event, logged request, device list,
// notification registration and Setup API fault.
SIMDRV_API void SimDrvReset();
// The device id behind an opened handle, 0 if none.
SIMDRV_API ULONG SimDrvDeviceOfHandle(HANDLE hDevice);
// Handles of the device (0: of all devices) that are open now. A handle that was
// closed no longer counts, and its outstanding requests end with
// ERROR_OPERATION_ABORTED, as a kernel driver's clean-up would end them.
SIMDRV_API ULONG SimDrvOpenHandleCount(ULONG ulDevice);

// How a device answers from now on.
enum : ULONG {
  SIMDRV_COMPLETE_AT_ONCE = 0,   // DeviceIoControl completes synchronously
  SIMDRV_COMPLETE_LATER = 1,     // ERROR_IO_PENDING, completed after ulDelayMs by another thread
  SIMDRV_NEVER_ANSWER = 2,       // ERROR_IO_PENDING, never completed unless cancelled
  SIMDRV_FAIL = 3,               // fails at once with dwError
  SIMDRV_IGNORE_CANCEL = 4,      // like NEVER_ANSWER, and cancelling does not end it either
};
SIMDRV_API void SimDrvSetMode(ULONG ulDevice, ULONG ulMode, DWORD dwError, DWORD dwDelayMs);

// ---- Parameter store ------------------------------------------------------------
// Value that a get of ulParam returns (also what the last set stored).
SIMDRV_API BOOL SimDrvSetParam(ULONG ulDevice, ULONG ulParam, const void* pData, ULONG ulSize);
// Copies the stored value; returns its size (0 when none is stored).
SIMDRV_API ULONG SimDrvGetParam(ULONG ulDevice, ULONG ulParam, void* pOut, ULONG ulOutSize);
// Makes gets of ulParam reply with only ulLength bytes (a driver answering short);
// ~0u restores the normal length.
SIMDRV_API void SimDrvSetReplyLength(ULONG ulDevice, ULONG ulParam, ULONG ulLength);

// ---- Request log ----------------------------------------------------------------
constexpr ULONG SIMDRV_MAX_LOGGED_INPUT = 256;
struct SimDrvRequest {
  ULONG ulDevice;
  DWORD dwIoctl;
  ULONG ulInSize;
  BYTE In[SIMDRV_MAX_LOGGED_INPUT];   // first bytes of the input, exactly as received
  ULONG ulOutSize;
  DWORD dwThreadId;
  DWORD dwResult;                     // Win32 error the request completed with (0 = success), ERROR_IO_PENDING while open
};
SIMDRV_API ULONG SimDrvRequestCount();
SIMDRV_API BOOL SimDrvGetRequest(ULONG ulIndex, SimDrvRequest* pRequest);
SIMDRV_API void SimDrvClearRequests();
// Requests of the device (0: of all devices) that are still outstanding (neither
// completed nor cancelled).
SIMDRV_API ULONG SimDrvPendingCount(ULONG ulDevice);

// ---- Event packets (answers to the event read 0x0022040C) -----------------------
SIMDRV_API BOOL SimDrvQueueEvent(ULONG ulDevice, const void* pPacket, ULONG ulSize);

// ---- Setup API and notification faults and counts ---------------------------------
enum : ULONG {
  SIMDRV_DETAIL_READABLE = 0,
  SIMDRV_DETAIL_READ_FAILS = 1,     // the size query answers, the read fails (ERROR_NO_SUCH_DEVINST)
  SIMDRV_DETAIL_SIZE_FAILS = 2,     // the size query itself fails (ERROR_NO_SUCH_DEVINST), no size
};
SIMDRV_API void SimDrvSetDetailFault(ULONG ulDevice, ULONG ulFault);
// The next ulCount device lists cannot be made (ERROR_INVALID_PARAMETER).
SIMDRV_API void SimDrvFailClassDevs(ULONG ulCount);
// Device lists not yet destroyed.
SIMDRV_API ULONG SimDrvDeviceListCount();
// Registrations of the window (null: of all windows).
SIMDRV_API ULONG SimDrvNotificationCount(HWND hWnd);
// Copies the filter a registration was made with; returns its size, 0 if unknown.
SIMDRV_API ULONG SimDrvGetNotificationFilter(HDEVNOTIFY hNotify, void* pOut, ULONG ulOutSize);
