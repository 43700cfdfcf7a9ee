// IOCTL transport. Not built yet.
#include "framework/UmdMgr.h"

LD_STATUS UmdSendIoctl(UmdGlobal* pUmdGlobal, tDevice* pDevice, ULONG ulIoctl, void* pIn, ULONG ulInSize,
                       void* pOut, ULONG ulOutSize, ULONG* pulReturned)
{
  return LD_INTERNAL_ERROR;
}

LD_STATUS UmdMgrGetTimeStamp(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pRecord, ULONG* pReturnedSize)
{
  return LD_INVALID_FUNCTION;
}
