// Codes that cross the host/plug-in boundary and their names for trace lines.
// Values are shared with the host and the sibling plug-ins: never renumber.
// Pure logic: no Windows headers.
#pragma once
#include <cstdint>

typedef uint32_t LD_STATUS;

// ---- Status codes ----------------------------------------------------------
enum : uint32_t {
  LD_SUCCESS = 0,
  LD_MORE_PROCESSING_REQUIRED = 1,
  LD_HARDWARE_ERROR = 3,
  LD_CLIENT_UNLOADED = 4,
  LD_FORWARD_TO_ANOTHER_UMD = 30,
  LD_INVALID_PARAMETER = 0x80000001,
  LD_INVALID_SIZE = 0x80000002,
  LD_INVALID_POINTER = 0x80000003,
  LD_LOW_RESOURCES = 0x80000004,
  LD_MAIN_PROCESS_ERROR = 0x80000005,
  LD_INVALID_DUID = 0x80000006,
  LD_INVALID_FUNCTION = 0x80000007,
  LD_INVALID_EVENT = 0x80000008,
  LD_DEVICE_REMOVAL = 0x8000000A,
  LD_LIST_OVERFLOW = 0x8000000B,
  LD_INTERNAL_ERROR = 0x8000000C,
  LD_INVALID_CALLBACK = 0x8000000D,
  LD_INVALID_HANDLE = 0x8000000E,
  LD_EXCLUSIVE_CONFLICT = 0x8000000F,
  LD_IOCONTROL_ERROR = 0x80000010,
  LD_UNSUCCESSFULL = 0x80000011,
  LD_TIMEOUT = 0x80000012,
  LD_NOT_IMPLEMENTED = 0x80000013,
  LD_SEQUENCE_ERROR = 0x80000014,
  LD_DEVICE_NOT_CAPABLE = 0x80000015,
  LD_DEVICE_INVALID_STATUS = 0x80000016,
  LD_DEVICE_NOT_CONNECTED = 0x80000017,
  LD_SESSION_LOCKED = 0x80000018,
  LD_EVENT_DUPLICATION = 0x80000019,
  LD_DLL_OR_FUNCTION_NOT_FOUND = 0x8000001A,
  LD_SYSTEM_ERROR = 0x8000001B,
  LD_REGISTRY_ERROR = 0x8000001C,
  LD_DEVICE_RETURNED_INVALID_DATA = 0x8000001D,
  LD_MUTEX_ERROR = 0x8000001E,
};

// ---- Function codes --------------------------------------------------------
enum : uint32_t {
  LD_REGISTER_EVENT = 0, LD_UNREGISTER_EVENT, LD_DEVICE_READ, LD_DEVICE_WRITE,
  LD_GET_BATTERY_STATUS, LD_GET_CHANNEL_STATUS, LD_GET_DRIVER_VERSION, LD_SEND_INPUT,
  LD_GET_CAPABILITY, LD_GET_POWER_STATUS, LD_GET_LAST_USED_DEVICE, LD_FAKE_DEVICE_ARRIVAL,
  LD_GET_DEVICE_DETAILS, LD_GET_MOUSE_DRIVER_TYPE, LD_SET_MOUSE_DRIVER_TYPE, LD_HOT_WRITE,
  LD_SET_POWER_STATUS, LD_GET_REGISTER, LD_SET_REGISTER, LD_GET_DEVICE_FEATURE,
  LD_SET_DEVICE_FEATURE, LD_GET_3GWHEEL_STATE, LD_SET_3GWHEEL_STATE, LD_GET_TIME_STAMP,
  LD_GET_RADIO_SIGNAL,                                    // 24
};
// Served by the dispatch but without a name of its own.
constexpr uint32_t LD_DEVICE_DUMP_FUNCTION = 25;

enum : uint32_t {
  LD_GET_MOUSE_SPEED = 0x1000000, LD_SET_MOUSE_SPEED, LD_GET_MOUSE_ACCELERATION,
  LD_SET_MOUSE_ACCELERATION, LD_GET_MOUSE_BUTTON_MAPPING, LD_SET_MOUSE_BUTTON_MAPPING,
  LD_GET_MOUSE_CHORDING_DELAY, LD_SET_MOUSE_CHORDING_DELAY, LD_GET_MOUSE_ORIENTATION,
  LD_SET_MOUSE_ORIENTATION, LD_GET_MOUSE_SMART_SCROLL, LD_SET_MOUSE_SMART_SCROLL,
  LD_GET_MOUSE_BUTTON_SWAPPING, LD_SET_MOUSE_BUTTON_SWAPPING, LD_GET_MOUSE_RESOLUTION,
  LD_SET_MOUSE_RESOLUTION, LD_GET_MOUSE_GAMING_FLAGS, LD_SET_MOUSE_GAMING_FLAGS,
  LD_GET_MOUSE_RESOLUTION_XY, LD_SET_MOUSE_RESOLUTION_XY, LD_GET_MOUSE_REPORT_RATE,
  LD_SET_MOUSE_REPORT_RATE, LD_GET_MOUSE_SENSOR_RESOLUTION, LD_SET_MOUSE_SENSOR_RESOLUTION,
  LD_SET_MOUSE_REPORT_RATE_ACC, LD_GET_MOUSE_RES_CHANGE_BTN, LD_SET_MOUSE_RES_CHANGE_BTN,
  LD_GET_MOUSE_RESOLUTION_LIST, LD_SET_MOUSE_RESOLUTION_LIST, LD_GET_MOUSE_RESOLUTION_INDEX,
  LD_SET_MOUSE_RESOLUTION_INDEX, LD_GET_MOUSE_RESOLUTION_BUTTONS, LD_SET_MOUSE_RESOLUTION_BUTTONS,
  LD_GET_MOUSE_SLEEP_SETTINGS, LD_SET_MOUSE_SLEEP_SETTINGS, LD_GET_MOUSE_WHEEL_ACCELERATION,
  LD_SET_MOUSE_WHEEL_ACCELERATION, LD_GET_MOUSE_WHEEL_FILTER, LD_SET_MOUSE_WHEEL_FILTER,
  LD_GET_MOUSE_WHEEL_SPEED, LD_SET_MOUSE_WHEEL_SPEED, LD_GET_MOUSE_HSCROLL_ACCELERATION,
  LD_SET_MOUSE_HSCROLL_ACCELERATION, LD_GET_MOUSE_HSCROLL_SPEED, LD_SET_MOUSE_HSCROLL_SPEED,
  LD_GET_MOUSE_AIR_FEATURE, LD_SET_MOUSE_AIR_FEATURE, LD_GET_MOUSE_ACCELERATION_CURVE,
  LD_SET_MOUSE_ACCELERATION_CURVE, LD_SET_CHORDING_PARMS, LD_GET_MOUSE_WHEEL_RESOLUTION,
  LD_SET_MOUSE_WHEEL_RESOLUTION, LD_GET_MOUSE_SENSOR_TOGGLE, LD_SET_MOUSE_SENSOR_TOGGLE,
  LD_SET_MOUSE_IN_USE_EVENT,                              // 0x1000036
};

enum : uint32_t {
  LD_GET_KBD_CRYPTO_KEY = 0x2000000, LD_GET_KBD_SECURED_STATE, LD_SET_KBD_FLOCK_STATE,
  LD_GET_KBD_FLOCK_STATE, LD_SET_KBD_SWHEELACC_STATE, LD_GET_KBD_SWHEELACC_STATE,
  LD_GET_KBD_TOUCHPAD_CONFIG, LD_SET_KBD_TOUCHPAD_CONFIG,
  LD_SET_RCV_LOCK_STATE = 0x3000000, LD_SET_RCV_MODE, LD_GET_RCV_MODE, LD_SET_RCV_FLOCK_STATE,
  LD_GET_RCV_FLOCK_STATE,
  LD_SET_DISPLAY_MODE = 0x4000000, LD_SET_DISPLAY_LINES, LD_SET_DISPLAY_CONTROL,
  LD_SET_LOCAL_MESSAGES, LD_SET_DISPLAY_TIME, LD_SET_DISPLAY_TIME_FORMAT, LD_GET_LOCAL_MESSAGES,
  LD_GET_DISPLAY_MODE, LD_SET_DISPLAY_CALC_FORMAT, LD_SET_DISPLAY_TEMP_FORMAT,
  LD_GET_EXT_AUDIO_DEVICES_STATE = 0x5000000, LD_GET_AUDIO_FEATURE, LD_SET_AUDIO_FEATURE,
  LD_LAST_FUNCTION = 0x6000000,
};

// ---- Event codes -----------------------------------------------------------
enum : uint32_t {
  LD_EVENT_DEVICE_ARRIVAL = 0, LD_EVENT_DEVICE_REMOVAL = 1, LD_EVENT_READ_COMPLETE = 2,
  LD_EVENT_UNKNOWN_DEVICE = 3, LD_EVENT_HOT_STATUS = 4, LD_EVENT_USER_SESSION = 5,
  LD_EVENT_DEVICE_DUMP = 7, LD_EVENT_CURSOR_SETT_CHANGED = 8,
  LD_EVENT_MOUSE_BUTTON = 0x1000000, LD_EVENT_MOUSE_MOVE, LD_EVENT_MOUSE_WHEEL,
  LD_EVENT_MOUSE_STATUS, LD_EVENT_MOUSE_EXTRA_BUTTONS, LD_EVENT_MOUSE_H_SCROLL,
  LD_EVENT_MOUSE_GESTURE,
  LD_EVENT_KEYBOARD_KEY = 0x2000000, LD_EVENT_KEYBOARD_STATUS, LD_EVENT_KEYBOARD_WHEEL,
  LD_EVENT_RECEIVER_STATUS = 0x3000000,
  LD_EVENT_DISPLAY_CLEAR = 0x4000000, LD_EVENT_CALCULATOR_RESULT, LD_EVENT_DISPLAY_STATUS,
  LD_EVENT_MENU_ITEM,
  LD_EVENT_LAST_EVENT = 0x6000000, LD_EVENT_NO_EVENT = 0x6000001,
};

// ---- MouControl commands ---------------------------------------------------
enum : uint32_t {
  LD_API_GET_VERSION = 0, LD_API_RESUME = 1, LD_API_SUSPEND = 2,
  LD_API_DISCONNECT = 3, LD_API_CONNECT = 4,
  LD_API_REMOVE_ALL_DEVICES = 5,   // no name of its own on the wire
  LD_API_ENUMERATE = 6,            // no name of its own on the wire
};

// ---- Device and bus types --------------------------------------------------
enum : uint32_t {
  LD_DEVICETYPE_GLOBAL = 0, LD_DEVICETYPE_MOUSE = 1, LD_DEVICETYPE_KEYBOARD = 2,
  LD_DEVICETYPE_RECEIVER = 3, LD_DEVICETYPE_DISPLAY = 4, LD_DEVICETYPE_AUDIO = 5,
};
enum : uint32_t { LD_BUS_UNKNOWN = 0, LD_PS2 = 1, LD_USB = 2, LD_BLUETOOTH = 3 };

// Device-type names (indexed by type) followed by the bus-type names.
constexpr int LD_TYPE_NAME_COUNT = 10;
constexpr int LD_BUS_NAME_BASE = 6;
extern const char* g_LdTypeNames[LD_TYPE_NAME_COUNT];

// ---- Plug-in indices -------------------------------------------------------
enum : uint32_t {
  UMD_DEVICE_MGR = 0, UMD_TRACKLINE = 1, UMD_KEYDECK = 2, UMD_DEBUG = 3, UMD_LINKPROTO = 4,
  UMD_USBFILT = 5, UMD_HIDFILT_MOUSE = 6, UMD_HIDFILT_CC = 7, UMD_HIDFILT_NAV = 8,
  UMD_MOUFILT = 9, UMD_HIDFILT_POWER = 10, UMD_HIDFILT_NONCC = 11, UMD_MAX_INDEX = 13,
};

// ---- Lock identifiers ------------------------------------------------------
enum : uint32_t {
  LOCK_DoNotAcquireLock = 0, LOCK_CreateDeviceMgr = 1, LOCK_SetupFLockModeCallback = 2,
  LOCK_DeviceParseList = 3, LOCK_DeviceUnregisterEvent = 4, LOCK_MainDeviceIoControlThread = 5,
  LOCK_DeviceGetPowerStatus = 6, LOCK_IsDeviceMatchingExclusiveFilter = 7,
  LOCK_DeviceMgrDispatchEvent = 8, LOCK_DeviceMgrInitialArrivalThread = 9,
  LOCK_DeviceMgrExclusiveRemovalThread = 10,
  LOCK_TracklineMouseExtraButtonsCallback = 18, LOCK_TracklineReceiverStatusChangeCallback = 19,
  LOCK_TracklineDeviceInit = 20, LOCK_TracklineScanDeviceReceiver = 21,
  LOCK_TracklineScanDeviceMouse = 22, LOCK_TracklineDisplayCreate = 23,
  LOCK_TracklineDispatchEvent = 24,
  LOCK_HIDKbdProcessUSBDevice = 30, LOCK_HIDKbdProcessUSBFilter = 31, LOCK_HIDKbdScanReceiver = 32,
  LOCK_PS2KbdProcessDevices = 33, LOCK_PS2DispatchKeyboardEvent = 34,
  LOCK_KeydeckReceiverStatusChangeCallback = 35, LOCK_HIDKBDKeyboardNotificationThread = 36,
  LOCK_LNPDeviceCheckChannelCallback = 42, LOCK_LNPDeviceInit = 43, LOCK_LNPReconfiguratorThread = 44,
  LOCK_LNPFifoThread = 45, LOCK_LNPRemoveFromHandle = 46, LOCK_LNPRcvInitEmbedded = 47,
  LOCK_LNPProcessReadMain = 48, LOCK_LNPProcessReadRecursive = 49,
  LOCK_LNPPowerDownTimerCallback = 51, LOCK_LNPSetDisconnectedState = 52,
  LOCK_LNPRcvProcessConnect = 55,
  LOCK_USBProcessEventMain = 62, LOCK_USBProcessEventRecursive = 63,
  LOCK_HidMouseExtraButtonsCallback = 68,
  LOCK_Unknown7 = 72, LOCK_Unknown11, LOCK_Unknown12, LOCK_Unknown13, LOCK_Unknown14,
  LOCK_Unknown15, LOCK_Unknown16, LOCK_Unknown17, LOCK_Unknown21, LOCK_Unknown24,
  LOCK_Unknown27, LOCK_Unknown30, LOCK_Unknown31, LOCK_Unknown32, LOCK_Unknown39,
  LOCK_Unknown49, LOCK_Unknown52, LOCK_Unknown53, LOCK_Unknown58, LOCK_Unknown60,
  LOCK_Unknown70, LOCK_Unknown74, LOCK_Unknown75, LOCK_Unknown76, LOCK_Unknown128,
  LOCK_Unknown142, LOCK_Unknown143, LOCK_Unknown144,      // 99
  // Used by this plug-in and its framework, but without a row in the name table.
  LOCK_UmdCallbackProcessEvent = 71, LOCK_UmdParseEventList = 105,
  LOCK_UmdProcessDeviceChanges = 106, LOCK_UmdFoundDevice = 108, LOCK_UmdProcessEvent = 109,
  LOCK_RequestRemovalAllUmds = 110,
};

// ---- Device-change event types (the platform's values) ---------------------
enum : uint32_t {
  DRAV_DBT_DEVNODES_CHANGED = 0x7, DRAV_DBT_QUERYCHANGECONFIG = 0x17,
  DRAV_DBT_CONFIGCHANGED = 0x18, DRAV_DBT_CONFIGCHANGECANCELED = 0x19,
  DRAV_DBT_DEVICEARRIVAL = 0x8000, DRAV_DBT_DEVICEQUERYREMOVE = 0x8001,
  DRAV_DBT_DEVICEQUERYREMOVEFAILED = 0x8002, DRAV_DBT_DEVICEREMOVEPENDING = 0x8003,
  DRAV_DBT_DEVICEREMOVECOMPLETE = 0x8004, DRAV_DBT_DEVICETYPESPECIFIC = 0x8005,
  DRAV_DBT_CUSTOMEVENT = 0x8006, DRAV_DBT_USERDEFINED = 0xFFFF,
};

// ---- Known GUIDs (16 bytes, in the platform's GUID layout) -----------------
struct LdGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
extern const LdGuid GUID_CLASS_VANTORIX_USB_KBD;
extern const LdGuid GUID_CLASS_VANTORIX_USB_KEYBOARD;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_MOUSE;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_KEYBOARD;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_CC;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_POWER;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_WHEEL;
extern const LdGuid GUID_INTERFACE_RAWPDO_VHIDFILT_OTHER;
extern const LdGuid GUID_INTERFACE_RAWPDO_VMOUFILT;
extern const LdGuid GUID_INTERFACE_RAWPDO_VUSBFILT;

// ---- Lookups ---------------------------------------------------------------
struct CodeName {
  uint32_t ulCode;
  const char* sName;   // null closes a table
};
struct GuidName {
  const LdGuid* pGuid;
  const char* sName;
};

// First row whose code matches, else the code formatted into pBuffer
// ("%d" up to 100000, "0x%08X" above).
const char* CodeNameLookup(uint32_t ulCode, char* pBuffer, uint32_t ulBufferSize, const CodeName* pTable);
const char* GuidNameLookup(const void* pGuid, char* pBuffer, uint32_t ulBufferSize, const GuidName* pTable);

const char* LdFunctionToString(uint32_t ulFunction);
const char* LdEventToString(uint32_t ulEvent);
const char* UmdIndexToString(uint32_t ulIndex);
const char* LockIdToString(uint32_t ulLockId);
const char* LdStatusToString(LD_STATUS status);
const char* DbtEventToString(uint32_t ulEvent);
const char* GuidToString(const void* pGuid);
