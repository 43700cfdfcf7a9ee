// Device lookup, clean-up and dump. Not built yet.
#include "framework/UmdMgr.h"

LD_STATUS UmdDeviceDump(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pBuffer)
{
  return LD_INVALID_FUNCTION;
}

void UmdDeviceCleanup(UmdGlobal* pUmdGlobal, tDevice* pDevice)
{
}
