// Installs the test driver from the folder of this program (the driver lane's
// first step); exit status 0 once its control device opens.
#include <cstdio>
#include <cstring>

#include "testdrv/TestDrvClient.h"

int main()
{
  char sDir[MAX_PATH];
  DWORD dwLength = GetModuleFileNameA(nullptr, sDir, sizeof sDir);
  char* pSlash = dwLength > 0 && dwLength < sizeof sDir ? strrchr(sDir, '\\') : nullptr;
  if (pSlash == nullptr) {
    return 2;
  }
  *pSlash = '\0';
  const ULONG64 ullStart = GetTickCount64();
  if (!TestDrvInstall(sDir)) {
    fprintf(stderr, "testdrv_install: the test driver did not come up (error %lu)\n", GetLastError());
    return 1;
  }
  printf("testdrv_install: driver running after %llu ms\n", GetTickCount64() - ullStart);
  return 0;
}
