// Device-change processing: one owner drains the queue at a time, and a call
// that arrives meanwhile makes the owner look again before it lets go.
#include <windows.h>
#include <dbt.h>

#include "diag/Trace.h"
#include "framework/UmdChange.h"
#include "framework/UmdDiscover.h"
#include "framework/UmdLookup.h"
#include "plugin/LdCodes.h"
#include "system/WndMgr.h"

namespace {

constexpr DWORD UMD_INSTALL_WAIT_MS = 300000;
constexpr DWORD UMD_INSTALL_POLL_MS = 5000;

// TRUE when this call now owns the processing; FALSE when the owner will see its work.
bool UmdTakeProcessing(UmdGlobal* pUmdGlobal)
{
  for (;;) {
    LONG lState = InterlockedCompareExchange(&pUmdGlobal->DeviceChangeProcessingActive, DCPA_ACTIVE, DCPA_IDLE);
    if (lState == DCPA_IDLE) {
      return true;
    }
    if (lState == DCPA_CONTINUE) {
      break;
    }
    lState = InterlockedCompareExchange(&pUmdGlobal->DeviceChangeProcessingActive, DCPA_CONTINUE, DCPA_ACTIVE);
    if (lState == DCPA_CONTINUE) {
      break;
    }
    // Either the owner now has to look again (the next round sees CONTINUE),
    // or it finished meanwhile and this call can take over.
    TRACE_INFO("trying again to own processing task, state=%d", (int)lState);
  }
  TRACE_INFO("exit, letting currently active work item take care of it");
  return false;
}

}  // namespace

ULONG UmdProcessDeviceChanges(void* pContext)
{
  UmdGlobal* pUmdGlobal = static_cast<UmdGlobal*>(pContext);
  TRACE_INFO("enter, %s", pUmdGlobal->sName);
  if (!UmdTakeProcessing(pUmdGlobal)) {
    return 0;
  }
  TRACE_INFO("starting to processing device changes");
  tMain* pMain = HostMain(pUmdGlobal->pDevMgrApi);
  WndWaitForPendingInstall(pUmdGlobal->pDevMgrApi, pMain != nullptr ? pMain->hInstallWaitCancelEvent : nullptr,
                           UMD_INSTALL_WAIT_MS, UMD_INSTALL_POLL_MS);
  for (;;) {
    while (UmdDeviceChange* n = UmdDequeueDeviceChange(pUmdGlobal)) {
      DRAV_ASSERT_TEXT(n->path[0] != 0, "n->path[0] != 0");
      if (n->ulAction == DBT_DEVICEARRIVAL) {
        TRACE_INFO("processing DBT_DEVICEARRIVAL of %s", n->path);
        UmdEnumContext context = { n->path, pUmdGlobal };
        WndEnumerateInterfaces(&pUmdGlobal->InterfaceGuid, UmdFoundDevice, &context);
      } else if (n->ulAction == DBT_DEVICEREMOVECOMPLETE) {
        TRACE_INFO("processing DBT_DEVICEREMOVECOMPLETE of %s", n->path);
        tDevice* pDevice = UmdFindDeviceFromPath(pUmdGlobal, n->path, LOCK_UmdProcessDeviceChanges);
        if (pDevice == nullptr) {
          TRACE_WARNING("Device to be removed is already gone");
        } else {
          TRACE_INFO("UMD(%s) REMOVAL of DUID:0x%08X '%s'", UmdIndexToString(pUmdGlobal->ulUmdIndex),
                     (unsigned)pDevice->DUID, pDevice->sDeviceName);
          // The host's removal ends the lock the search took.
          BOOL bStatus = HostRemoveDevice(pUmdGlobal->pDevMgrApi, LOCK_UmdProcessDeviceChanges,
                                          pUmdGlobal->ulUmdIndex, pDevice);
          DRAV_ASSERT(bStatus);
        }
      } else {
        TRACE_ERROR("invalid queue item type %d", (int)n->ulAction);
      }
      UmdFreeDeviceChange(n);
    }
    if (InterlockedCompareExchange(&pUmdGlobal->DeviceChangeProcessingActive, DCPA_IDLE, DCPA_ACTIVE) == DCPA_ACTIVE) {
      break;
    }
    DRAV_ASSERT_TEXT(pUmdGlobal->DeviceChangeProcessingActive == DCPA_CONTINUE,
                     "pUmdGlobal->DeviceChangeProcessingActive == DCPA_CONTINUE");
    InterlockedExchange(&pUmdGlobal->DeviceChangeProcessingActive, DCPA_ACTIVE);
    TRACE_INFO("double checking list before we finish");
  }
  TRACE_INFO("exit");
  return 0;
}
