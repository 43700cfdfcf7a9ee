// Channel to the debug viewer: a named shared ring of line records.
#pragma once
#include <windows.h>

extern volatile HANDLE g_hBsEvent;
extern void* volatile g_pBsData;   // mapped view, null until opened

void BsInitializeClient();
void BsInitializeServer();
void BsPostLine(DWORD dwCategory, const char* sLine);
BOOL BsShutdownServer();
BOOL BsGetStatistics(DWORD* pbDisabled, DWORD* pulViewerWord, DWORD* pulDropped);
void BsCloseEvent();
