// Reading the device-change broadcasts that reach the message window: the
// common head, the interface record with its path and the handle record.
// Nothing is read past the broadcast's own size field. Pure logic: no Windows
// headers (the layouts are those of the 64-bit platform).
#pragma once
#include <cstdint>

constexpr uint32_t UMD_BROADCAST_HEAD_SIZE = 12;            // size, device type, reserved
constexpr uint32_t UMD_BROADCAST_INTERFACE_HEAD_SIZE = 28;  // + class GUID; the path follows
constexpr uint32_t UMD_BROADCAST_INTERFACE_PATH_OFFSET = 28;
constexpr uint32_t UMD_BROADCAST_HANDLE_OFFSET = 16;        // after alignment to 8
constexpr uint32_t UMD_BROADCAST_HANDLE_NOTIFY_OFFSET = 24;
constexpr uint32_t UMD_BROADCAST_HANDLE_HEAD_SIZE = 32;     // through the registration
constexpr uint32_t UMD_DEVTYP_DEVICEINTERFACE = 5;
constexpr uint32_t UMD_DEVTYP_HANDLE = 6;

enum UmdBroadcastKind {
  UMD_BROADCAST_NULL,        // no broadcast at all
  UMD_BROADCAST_SHORT,       // its size field is smaller than its head
  UMD_BROADCAST_INTERFACE,   // device interface: sPath, cbPath
  UMD_BROADCAST_HANDLE,      // device handle: ullHandle, ullNotification
  UMD_BROADCAST_OTHER,       // any other device type
};

struct UmdBroadcast {
  uint32_t ulSize;            // the size field
  uint32_t ulDeviceType;      // 0 when the size cannot hold it
  const char* sPath;          // interface path, not necessarily terminated
  uint32_t cbPath;            // bytes of the path the size allows
  uint32_t cchPath;           // its text length: up to the first zero, or cbPath
  uint64_t ullHandle;
  uint64_t ullNotification;
};

UmdBroadcastKind UmdDecodeBroadcast(const void* pBroadcast, UmdBroadcast* pOut);
