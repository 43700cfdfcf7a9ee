// The reference host's use of the debug viewer: it starts VantBshw.exe on the
// channel region before it binds the plug-in, so that every line the plug-in
// posts is shown, and asks it to leave at the end.
#pragma once
#include <windows.h>

struct RefHostViewer {
  HANDLE hProcess;
  HANDLE hMapping;
  void* pView;          // the channel region, mapped while the viewer runs
};

// Starts "<sFolder>\VantBshw.exe MEM:<region> -stay -t 120000 -o <sOutFile>"
// (it leaves by itself after two minutes) and waits (at most dwWaitMs) until
// it has claimed the region. FALSE if it did not start or never claimed the
// region; the record is then empty.
BOOL RefHostViewerStart(RefHostViewer* pViewer, const char* sFolder, const char* sOutFile, DWORD dwWaitMs);

// Sets the region's shutdown flag, wakes the viewer and waits (at most
// dwWaitMs) for it to leave; a viewer that does not is terminated. TRUE if it
// left on its own.
BOOL RefHostViewerStop(RefHostViewer* pViewer, DWORD dwWaitMs);
