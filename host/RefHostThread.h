// The reference host's binding thread. The plug-in's message window belongs to
// the thread that binds it and the plug-in runs no message loop, so binding,
// unbinding and control commands all run on this one thread, which dispatches
// its window messages between calls. Other threads hand it calls and wait for
// them, bounded.
#pragma once
#include <windows.h>

#include "host/RefHost.h"

typedef void (*PFN_REFHOST_THREAD_CALL)(void* pContext);

// Room for a call's context: it is copied into the call and back, so a caller
// that gives up waiting leaves nothing of its own behind in the call.
constexpr ULONG REFHOST_CALL_CONTEXT_SIZE = 128;
constexpr DWORD REFHOST_CALL_TIMEOUT_MS = 150000;   // longer than an unbind's own bounds

struct RefHostCall;

struct RefHostThread {
  HANDLE hThread;
  DWORD dwThreadId;
  HANDLE hStopEvent;          // manual reset: the thread ends
  HANDLE hWorkEvent;          // auto reset: calls are queued
  CRITICAL_SECTION csCalls;   // guards the queue
  RefHostCall* pFirst;        // queued calls, oldest first
  RefHostCall* pLast;
};

BOOL RefHostThreadStart(RefHostThread* pThread);
// Ends the thread (calls still queued are not run); waits dwTimeoutMs, then
// terminates it. TRUE when it ended by itself. No call may be handed over
// while it stops.
BOOL RefHostThreadStop(RefHostThread* pThread, DWORD dwTimeoutMs = 10000);

// Runs pfn on the thread with a copy of cbContext bytes at pContext and copies
// them back when the call has run. FALSE when it did not run within
// dwTimeoutMs (a call not yet started is withdrawn) or the thread is stopping.
// Called on the thread itself, it runs at once.
BOOL RefHostThreadCall(RefHostThread* pThread, PFN_REFHOST_THREAD_CALL pfn, void* pContext, ULONG cbContext,
                       DWORD dwTimeoutMs = REFHOST_CALL_TIMEOUT_MS);

// Dispatches the calling thread's pending window messages.
void RefHostPumpMessages();

// The plug-in's entry points, run on the thread. A call that does not run
// answers 0.
ULONG RefHostThreadBind(RefHostThread* pThread, RefHost* pHost, const RefHostPlugin* pPlugin);
// MouMainExit, then the thread dispatches the window's close before it returns.
ULONG RefHostThreadUnbind(RefHostThread* pThread, const RefHostPlugin* pPlugin);
// MouControl; pData, when given, is two 32-bit words (only the version
// command uses it).
ULONG RefHostThreadControl(RefHostThread* pThread, const RefHostPlugin* pPlugin, ULONG ulCommand, ULONG* pData);
// A full enumeration (MouControl 6), which runs on the plug-in's work-item
// thread: TRUE once the host heard of its end within dwTimeoutMs.
BOOL RefHostThreadEnumerate(RefHostThread* pThread, const RefHostPlugin* pPlugin, DWORD dwTimeoutMs = 10000);
