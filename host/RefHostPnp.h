// The reference host's configuration-manager words: parent node from the
// simulated device tree or the system's (word 44), two present placeholders (45, 46) and the
// wait for no pending installation (48).
#pragma once
#include <windows.h>

ULONG RefHostParentNodeOp(DWORD* pdiParent, DWORD diChild, ULONG ulFlags);
ULONG RefHostUnusedCmOp();
ULONG RefHostWaitNoPendingInstallOp(ULONG ulTimeoutMs);
// Parent nodes from the system's configuration manager (a host whose plug-in
// talks to a driver the system runs) instead of the simulated tree.
void RefHostPnpUseSystemTree(BOOL bSystem);

// Script of the installation wait: the next ulTimeouts calls answer 258
// (time-out), every later one answers ulFinal (0: nothing pending; anything
// else is a failure). (0, 0), the default, answers 0 at once. Resets the count.
void RefHostPnpSetInstallWait(ULONG ulTimeouts, ULONG ulFinal);
// Calls of the installation wait since the last script.
ULONG RefHostPnpInstallWaitCalls();
