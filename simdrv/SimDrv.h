// Simulated kernel mouse filter driver: the device seam plus controls for tests,
// the reference host and the demo. One instance per process (a DLL shared by the
// plug-in and whoever drives the simulation).
#pragma once
#include <windows.h>

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

// ---- Devices --------------------------------------------------------------------
// Adds a device reachable under sPath; returns its id (1-based), 0 on failure.
SIMDRV_API ULONG SimDrvAddDevice(const char* sPath);
// The device vanishes: pending requests complete with ERROR_DEVICE_NOT_CONNECTED,
// later requests on its handles fail with it, and opening its path fails.
SIMDRV_API void SimDrvRemoveDevice(ULONG ulDevice);
// Forgets every device, handle, queued event and logged request.
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

// ---- Event-read completions chosen by a test ------------------------------------
// Completes the device's oldest outstanding event read with dwError and
// ulReturned reported as the byte count (a driver answering wrongly may report
// more than the buffer holds; at most the buffer's size is written). FALSE when
// no event read of the device is outstanding.
SIMDRV_API BOOL SimDrvCompleteRead(ULONG ulDevice, DWORD dwError, ULONG ulReturned);
