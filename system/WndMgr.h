// System services of the framework: cursor settings snapshot, persistent
// state (driver type, F-Lock mode) and the folders under the machine-wide
// application-data folder.
#pragma once
#include <windows.h>

// Registry locations and names, all relative to a root key.
#define LD_REG_DRAV_PATH "SOFTWARE\\Vantorix\\DRAV"
#define LD_REG_LAST_MCPL_PATH "SOFTWARE\\Vantorix\\DRAV\\LastMouseCPLInteraction"
#define LD_REG_MOUSE_SETTINGS_CLEARED "MouseSettingsCleared"
#define LD_REG_DRIVER_TYPE "DriverType"
#define LD_REG_FMODE "FMode"

#define LD_REG_MOUSE_BUTTON_SWAPPING "MouseButtonSwapping"
#define LD_REG_MOUSE_VERTICAL_SCROLL "MouseVerticalScroll"
#define LD_REG_MOUSE_HORIZONTAL_SCROLL "MouseHorizontalScroll"
#define LD_REG_MOUSE_SENSITIVITY "MouseSensitivity"
#define LD_REG_MOUSE_THRESHOLD1 "MouseThreshold1"
#define LD_REG_MOUSE_THRESHOLD2 "MouseThreshold2"
#define LD_REG_MOUSE_SPEED "MouseSpeed"

// Folders below the machine-wide application-data folder.
#define LD_DEVICES_SUBFOLDER "\\Vantorix\\DRAV\\Devices"
#define LD_CACHE_SUBFOLDER "\\Vantorix\\DRAV\\Cache"
#define LD_BATTERY_SUBFOLDER "\\Vantorix\\DRAV\\Battery\\"

// Neutral system values written by a clear.
constexpr LONG WND_NEUTRAL_MOUSE_SPEED = 10;
constexpr LONG WND_NEUTRAL_WHEEL_LINES = 3;
constexpr LONG WND_NEUTRAL_WHEEL_CHARS = 3;
constexpr LONG WND_DEFAULT_DRIVER_TYPE = 1;
constexpr LONG WND_DRIVER_TYPE_COUNT = 4;

// Snapshot of the user's system mouse settings, in stored order.
struct tCursorSettings {
  LONG lButtonSwap;        // "MouseButtonSwapping": 0 or 1
  LONG lVerticalScroll;    // "MouseVerticalScroll": wheel scroll lines
  LONG lHorizontalScroll;  // "MouseHorizontalScroll": wheel scroll characters (recorded as 3)
  LONG lSensitivity;       // "MouseSensitivity": pointer speed 1..20
  LONG lThreshold1;        // "MouseThreshold1": acceleration array element 0
  LONG lThreshold2;        // "MouseThreshold2": element 1
  LONG lSpeed;             // "MouseSpeed": element 2, acceleration level
};

// Cursor settings snapshot (key = pointer to an open registry key handle).
BOOL WndClearCursorSettings(BOOL bForceAndDontSave);
BOOL WndRestoreCursorSettings(BOOL bForce, BOOL bToLastMCPLSnapshot);
BOOL WndGetCursorSettingsVariation(tCursorSettings* pVariation);
BOOL WndGetCurrentCursorSettings(tCursorSettings* pSettings);
BOOL WndSaveCursorSettings(HKEY* phKey, const tCursorSettings* pSettings);
BOOL WndRetrieveCursorSettings(HKEY* phKey, tCursorSettings* pSettings);
BOOL WndComputeCursorSettingsVariation(const tCursorSettings* pCurrent, const tCursorSettings* pSnapshot,
                                       tCursorSettings* pVariation);
BOOL WndReadMouseSettingsCleared(HKEY* phKey);
BOOL WndAreMouseSettingsCleared();
BOOL WndClearMouseSpeedAndAccel(HKEY* phKey);
BOOL WndClearVerticalScrolling(HKEY* phKey);
BOOL WndClearHorizontalScrolling(HKEY* phKey);
BOOL WndClearMouseButtonsSwitch(HKEY* phKey);
BOOL WndRestoreMouseSpeedAndAccel(HKEY* phKey);
BOOL WndRestoreVerticalScrolling(HKEY* phKey);
BOOL WndRestoreHorizontalScrolling(HKEY* phKey);
BOOL WndRestoreMouseButtonsSwitch(HKEY* phKey);

// Reads a registry number into *pdwValue, which is zeroed first and stays 0
// when the read fails. A value longer than four bytes fails the read; a
// shorter one is zero-extended. *pbIsDword tells whether its type is
// REG_DWORD. Returns whether the read succeeded.
BOOL WndRegReadNumber(HKEY hKey, const char* sName, DWORD* pdwValue, BOOL* pbIsDword);

// Persistent state.
BOOL WndGetDriverType(LONG* plDriverType, BOOL* pbFirstTimeVantorix);
BOOL WndSetDriverType(LONG lDriverType);
BOOL WndLoadFLockState();
void WndSaveFLockState(BOOL bMode);

// Folders and battery logs. Paths are at most MAX_PATH characters; a caller
// buffer too small for the whole path gives FALSE and an empty text.
BOOL WndGetDevicesFolder(char* sPath, ULONG ulSize, BOOL bCreate, SECURITY_ATTRIBUTES* pSa);
BOOL WndGetCacheFolder(char* sPath, ULONG ulSize, BOOL bCreate, SECURITY_ATTRIBUTES* pSa);
BOOL WndCreateFolderTree(const char* sPath, SECURITY_ATTRIBUTES* pSa);
BOOL WndCreateBatteryLogFolder(SECURITY_ATTRIBUTES* pSa);

// What a battery log needs to know of a device: its model number and name.
struct tBatteryLogDevice {
  ULONG ulModel;
  const char* sName;
};

BOOL WndGetBatteryLogFileName(const tBatteryLogDevice* pDevice, char* sPath, ULONG ulSize);
HANDLE WndOpenBatteryLogFile(const tBatteryLogDevice* pDevice, SECURITY_ATTRIBUTES* pSa, BOOL* pbNewFile);

// ---- Device notifications and enumeration ------------------------------------------
#include <setupapi.h>

#include "plugin/HostApi.h"

// Registrations for WM_DEVICECHANGE at a window: arrivals and removals of an
// interface class, or events of one opened device handle. Null on failure.
HDEVNOTIFY WndRegisterClassChangeNotifications(HWND hWnd, const GUID* pInterfaceGuid);
HDEVNOTIFY WndRegisterHandleChangeNotifications(HWND hWnd, HANDLE hDevice);
void WndUnregisterDeviceChangeNotifications(HDEVNOTIFY hNotify);

// Polls the host's pending-installation wait (word 48) until nothing is
// pending, the time-out is used up, it fails, or hCancelEvent is signalled.
// TRUE only when the host reported that nothing is pending.
BOOLEAN WndWaitForPendingInstall(PDEVMGRAPI pDevMgrApi, HANDLE hCancelEvent, ULONG ulTimeoutMs, ULONG ulPollRateMs);

// Device node and its ancestors through the host's parent lookup (word 44):
// at most 4 entries and never more than ulTreeSize. Returns the count filled,
// 0 when the host lacks the configuration-manager words.
constexpr ULONG WND_DEVICE_TREE_MAX = 4;
ULONG WndBuildDeviceTree(PDEVMGRAPI pDevMgrApi, DWORD diDeviceNode, DWORD* pTree, ULONG ulTreeSize);

// Enumerations of the present devices of a setup class, or of the present
// interfaces of an interface class, on the caller's thread. A callback returns
// TRUE to go on. The interface detail is freed after its callback returns.
typedef BOOL (*PFN_WND_DEVICE_CALLBACK)(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData, void* pContext);
typedef BOOL (*PFN_WND_INTERFACE_CALLBACK)(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData,
                                           SP_DEVICE_INTERFACE_DETAIL_DATA_A* pInterfaceDetail, void* pContext);
void WndEnumerateDevices(const GUID* pClassGuid, PFN_WND_DEVICE_CALLBACK CallBackProcessFunction, void* pContext);
void WndEnumerateInterfaces(const GUID* pInterfaceGuid, PFN_WND_INTERFACE_CALLBACK CallBackProcessFunction,
                            void* pContext);

// Appends '\' unless the path already ends in one; the buffer must have room
// for one more character.
void WndNormalizePathString(char* sPath);
// The folder part of a file name, up to and including its last '\' or ':'
// (empty without either). FALSE for an empty name, one longer than MAX_PATH
// characters, or a destination too small for the name.
BOOL WndGetModulePath(const char* sFileName, char* sPath, ULONG ulSize);
// ---- Model comparisons and key-code translation ------------------------------
// Each comparison has the shape of the host's model search (word 19) and is
// TRUE for the model sought; the tables and key layouts are in WndMatchPure.h.
#include "system/WndMatchPure.h"

struct tDevice;

BOOL WndCompareDeviceModel(const tModelInfo* pIdent, ULONG ulSectionId, const void* pSectionSubId);
BOOL WndCompareModelPID(const tModelInfo* pIdent, ULONG ulPid, const void* pUnused);
BOOL WndCompareModelMWID(const tModelInfo* pIdent, ULONG ulMwid, const void* pUnused);
BOOL WndCompareModelSubID(const tModelInfo* pIdent, ULONG ulSubId, const void* pUnused);
BOOL WndCompareModelID(const tModelInfo* pIdent, ULONG ulDevId, const void* pUnused);
BOOL WndCompareQuadID(const tModelInfo* pIdent, ULONG ulQid, const void* sCache);
BOOL WndCompareModelPS2(const tModelInfo* pIdent, ULONG ulPs2Id, const void* pUnused);
BOOL WndCompareModelUsb(const tModelInfo* pIdent, ULONG ulKeySize, const void* pKey);        // tUsbModelKey
BOOL WndCompareModelUsbCache(const tModelInfo* pIdent, ULONG ulKeySize, const void* pKey);   // tUsbModelCacheKey
// Never matches: raises the ULONG candidate section identifier at pCandidate
// above every model of its class, so that a full search yields a free one.
BOOL WndNextModelId(const tModelInfo* pIdent, ULONG ulUnused, const void* pCandidate);

// Translations through the tables selected by ulFlags (WND_KEY_TABLE_*);
// 0 when none. The device only names itself in the trace line.
ULONG WndKeyCodeToScanCode(const void* pUnused, ULONG ulKeyCode, ULONG ulFlags);
ULONG WndScanCodeToKeyCode(const tDevice* pDevice, ULONG ulScanCode, ULONG ulFlags);
