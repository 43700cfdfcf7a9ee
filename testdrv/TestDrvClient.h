// User-mode side of the test kernel driver (dravtest.sys): installs it in the
// Wine prefix, plugs and unplugs its children, shapes their answers and reads
// back what they received. Children are named by the id the plug returns.
#pragma once
#include <windows.h>

#include "testdrv/TestDrvProtocol.h"

// Idempotent: creates the root bus device and installs the INF from sDir
// unless the driver runs already; returns once its control device opens.
BOOL TestDrvInstall(const char* sDir);
// Opens the control device; FALSE if the driver is not running.
BOOL TestDrvConnect();
void TestDrvDisconnect();
// A child with the full instance ID (device ID, backslash, instance part);
// returns its id (1-based) once its interface is present, else 0.
ULONG TestDrvPlug(const char* sInstanceId);
// Returns once the child's interface is no longer present.
BOOL TestDrvUnplug(ULONG ulChild);
// The path the Setup API gives the child's interface.
BOOL TestDrvInterfacePath(ULONG ulChild, char* sPath, ULONG cbPath);
// Unplugs every child and clears the request log.
void TestDrvReset();
// How the child answers every request but the event read from now on.
BOOL TestDrvSetMode(ULONG ulChild, ULONG ulMode, LONG lStatus);
BOOL TestDrvSetParam(ULONG ulChild, ULONG ulParam, const void* pData, ULONG ulSize);
// Copies the stored value; returns its size (0 when none is stored).
ULONG TestDrvGetParam(ULONG ulChild, ULONG ulParam, void* pOut, ULONG ulOutSize);
// Gets of ulParam reply with only ulLength bytes; ~0u restores the normal length.
BOOL TestDrvSetReplyLength(ULONG ulChild, ULONG ulParam, ULONG ulLength);
// Completes the child's oldest pending event read with the packet, or queues it.
BOOL TestDrvQueueEvent(ULONG ulChild, const void* pPacket, ULONG ulSize);

ULONG TestDrvRequestCount();
BOOL TestDrvGetRequest(ULONG ulIndex, TestDrvRequest* pRequest);
void TestDrvClearRequests();
// Requests the child holds (0: all children).
ULONG TestDrvPendingCount(ULONG ulChild);
// Handles opened on the child and not yet closed, as the driver counts them.
ULONG TestDrvOpenHandleCount(ULONG ulChild);
