// Device-change broadcast reading.
#include "framework/UmdBroadcast.h"

#include <cstring>

static uint32_t ReadU32(const unsigned char* p, uint32_t ulOffset)
{
  uint32_t v;
  memcpy(&v, p + ulOffset, sizeof v);
  return v;
}

static uint64_t ReadU64(const unsigned char* p, uint32_t ulOffset)
{
  uint64_t v;
  memcpy(&v, p + ulOffset, sizeof v);
  return v;
}

UmdBroadcastKind UmdDecodeBroadcast(const void* pBroadcast, UmdBroadcast* pOut)
{
  memset(pOut, 0, sizeof *pOut);
  if (pBroadcast == nullptr) {
    return UMD_BROADCAST_NULL;
  }
  const auto* p = static_cast<const unsigned char*>(pBroadcast);
  pOut->ulSize = ReadU32(p, 0);
  if (pOut->ulSize < UMD_BROADCAST_HEAD_SIZE) {
    return UMD_BROADCAST_SHORT;
  }
  pOut->ulDeviceType = ReadU32(p, 4);
  switch (pOut->ulDeviceType) {
  case UMD_DEVTYP_DEVICEINTERFACE: {
    if (pOut->ulSize < UMD_BROADCAST_INTERFACE_HEAD_SIZE) {
      return UMD_BROADCAST_SHORT;
    }
    pOut->sPath = reinterpret_cast<const char*>(p + UMD_BROADCAST_INTERFACE_PATH_OFFSET);
    pOut->cbPath = pOut->ulSize - UMD_BROADCAST_INTERFACE_HEAD_SIZE;
    const void* pZero = memchr(pOut->sPath, 0, pOut->cbPath);
    pOut->cchPath = pZero != nullptr ? (uint32_t)(static_cast<const char*>(pZero) - pOut->sPath) : pOut->cbPath;
    return UMD_BROADCAST_INTERFACE;
  }
  case UMD_DEVTYP_HANDLE:
    if (pOut->ulSize < UMD_BROADCAST_HANDLE_HEAD_SIZE) {
      return UMD_BROADCAST_SHORT;
    }
    pOut->ullHandle = ReadU64(p, UMD_BROADCAST_HANDLE_OFFSET);
    pOut->ullNotification = ReadU64(p, UMD_BROADCAST_HANDLE_NOTIFY_OFFSET);
    return UMD_BROADCAST_HANDLE;
  default:
    return UMD_BROADCAST_OTHER;
  }
}
