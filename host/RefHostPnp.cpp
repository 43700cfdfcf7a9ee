// Configuration-manager words of the reference host. The answers come at once:
// a scripted time-out does not wait out its time, so tests stay quick.
#include "host/RefHostPnp.h"

#include <cfgmgr32.h>

#include "simdrv/SimDrv.h"

namespace {

constexpr ULONG CR_SUCCESS_VALUE = 0x00;
constexpr ULONG CR_INVALID_POINTER_VALUE = 0x03;
constexpr ULONG CR_NO_SUCH_DEVNODE_VALUE = 0x0D;
constexpr ULONG CR_CALL_NOT_IMPLEMENTED_VALUE = 0x34;
constexpr ULONG WAIT_NO_PENDING_TIMEOUT = 258;

volatile LONG s_lTimeoutsLeft = 0;
volatile LONG s_lFinal = 0;
volatile LONG s_lCalls = 0;
BOOL s_bSystemTree = FALSE;

}  // namespace

ULONG RefHostParentNodeOp(DWORD* pdiParent, DWORD diChild, ULONG ulFlags)
{
  if (pdiParent == nullptr) {
    return CR_INVALID_POINTER_VALUE;
  }
  if (s_bSystemTree) {
    return CM_Get_Parent(pdiParent, diChild, ulFlags);
  }
  return SimDrvGetParentNode(diChild, pdiParent) ? CR_SUCCESS_VALUE : CR_NO_SUCH_DEVNODE_VALUE;
}

void RefHostPnpUseSystemTree(BOOL bSystem)
{
  s_bSystemTree = bSystem;
}

ULONG RefHostUnusedCmOp()
{
  return CR_CALL_NOT_IMPLEMENTED_VALUE;
}

ULONG RefHostWaitNoPendingInstallOp(ULONG)
{
  InterlockedIncrement(&s_lCalls);
  if (InterlockedDecrement(&s_lTimeoutsLeft) >= 0) {
    return WAIT_NO_PENDING_TIMEOUT;
  }
  InterlockedIncrement(&s_lTimeoutsLeft);   // stays at 0
  return static_cast<ULONG>(s_lFinal);
}

void RefHostPnpSetInstallWait(ULONG ulTimeouts, ULONG ulFinal)
{
  InterlockedExchange(&s_lFinal, static_cast<LONG>(ulFinal));
  InterlockedExchange(&s_lTimeoutsLeft, static_cast<LONG>(ulTimeouts));
  InterlockedExchange(&s_lCalls, 0);
}

ULONG RefHostPnpInstallWaitCalls()
{
  return static_cast<ULONG>(s_lCalls);
}
