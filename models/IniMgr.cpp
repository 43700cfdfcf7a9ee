// Model files on disk: the folder walk, reading, the enciphered rewrite and
// publishing the model table.
#include "models/IniMgr.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "diag/Trace.h"
#include "models/IniPlatform.h"

// ---- Files ----------------------------------------------------------------------

// Reads a whole file into a new heap block of size + 1 bytes (terminated).
static char* IniReadWholeFile(const char* sFileName, size_t* pulSize)
{
  *pulSize = 0;
  HANDLE hFile = CreateFileA(sFileName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    INI_TRACE_AS(INI_LOADER_NAME, "IniLoadFilesFromPath - Cannot open '%s' (%lu).\n", sFileName, GetLastError());
    return nullptr;
  }
  LARGE_INTEGER liSize = {};
  char* pBuffer = nullptr;
  if (!GetFileSizeEx(hFile, &liSize) || liSize.QuadPart < 0 || liSize.QuadPart > 0x7FFFFFF0LL) {
    INI_TRACE_AS(INI_LOADER_NAME, "IniLoadFilesFromPath - Unusable file size of '%s'.\n", sFileName);
  } else {
    DWORD dwSize = (DWORD)liSize.QuadPart;
    pBuffer = static_cast<char*>(IniHeapAlloc((size_t)dwSize + 1));
    if (pBuffer == nullptr) {
      INI_ERROR_AS(INI_LOADER_NAME, "Failed to allocated %d bytes. Reason:%d.", (int)dwSize + 1, (int)GetLastError());
    } else {
      DWORD dwRead = 0;
      BOOL bRead = ReadFile(hFile, pBuffer, dwSize, &dwRead, nullptr);
      if (!bRead || dwRead != dwSize) {
        DWORD dwError = bRead ? ERROR_HANDLE_EOF : GetLastError();
        INI_ASSERT_TEXT_AS(INI_LOADER_NAME, FALSE, "FALSE");
        INI_TRACE_AS(INI_LOADER_NAME, "IniLoadFilesFromPath - ReadFile Failed %d.\n", (int)dwError);
        IniHeapFree(pBuffer);
        pBuffer = nullptr;
      } else {
        INI_TRACE_AS(INI_LOADER_NAME, "IniLoadFilesFromPath - Read %d bytes from file.\n", (int)dwRead);
        *pulSize = dwSize;
      }
    }
  }
  CloseHandle(hFile);
  return pBuffer;
}

// Replaces a plain model file by its enciphered form. The image goes to a
// file beside it first, under a name the "*.INI" walk never matches, and
// replaces the original in one step once it is whole on disk: a failure at
// any point leaves the original as it was.
static void IniRewriteEnciphered(const char* sFileName, const char* pText, size_t ulSize)
{
  size_t ulImage = 0;
  uint8_t* pImage = IniEnvelopeSeal(pText, ulSize, &ulImage);
  if (pImage == nullptr) {
    INI_ERROR_AS(INI_LOADER_NAME, "Enciphered form of '%s' not written: no memory.", sFileName);
    return;
  }
  char sTemp[MAX_PATH];
  int n = snprintf(sTemp, sizeof sTemp, "%s.new", sFileName);
  const char* sStep = "name";
  DWORD dwError = ERROR_FILENAME_EXCED_RANGE;
  bool bDone = false;
  if (n > 0 && n < (int)sizeof sTemp) {
    sStep = "create";
    HANDLE hFile = CreateFileA(sTemp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    dwError = GetLastError();
    if (hFile != INVALID_HANDLE_VALUE) {
      sStep = "write";
      bool bWritten = IniWriteFile(hFile, pImage, (uint32_t)ulImage);
      if (bWritten) {
        sStep = "flush";
        bWritten = FlushFileBuffers(hFile) != FALSE;
      }
      dwError = GetLastError();
      CloseHandle(hFile);
      if (bWritten) {
        sStep = "replace";
        bDone = MoveFileExA(sTemp, sFileName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        dwError = GetLastError();
      }
      if (!bDone) {
        DeleteFileA(sTemp);
      }
    }
  }
  if (bDone) {
    INI_TRACE_AS(INI_LOADER_NAME, "IniLoadFilesFromPath - Wrote %d enciphered bytes.\n", (int)ulImage);
  } else {
    INI_ERROR_AS(INI_LOADER_NAME, "Enciphered form of '%s' not written (%s failed, %lu); the file stays as it was.",
                 sFileName, sStep, dwError);
  }
  IniHeapFree(pImage);
}

ULONG IniLoadFile(tModelInfo** ppModelTable, ULONG* pulModelTableCount, ULONG** ppulUnsupported,
                  ULONG* pulUnsupportedCount, const char* sFileName, ULONG ulFlags, BOOL bWarnOverwrite)
{
  TRACE_INFO("Entry - '%s'.", sFileName != nullptr ? sFileName : "(null)");
  if (sFileName == nullptr || ppModelTable == nullptr || pulModelTableCount == nullptr) {
    TRACE_ERROR("NULL Pointer.");
    return 0;
  }
  if (sFileName[0] == '\0') {
    TRACE_ERROR("EMPTY String.");
    return 0;
  }
  IniWorkArea work = {};
  work.pRecords = static_cast<tModelInfo*>(IniHeapAlloc(INI_WORK_AREA_SIZE));
  if (work.pRecords == nullptr) {
    TRACE_ERROR("Failed to allocated %d bytes. Reason:%d.", (int)INI_WORK_AREA_SIZE, (int)GetLastError());
    return 0;
  }

  // Earlier files' records are copied by value; the old array stays the
  // published table until the new one replaces it.
  tModelInfo* pOldTable = *ppModelTable;
  ULONG ulOldCount = *pulModelTableCount;
  bool bCarried = false;
  if (pOldTable != nullptr && ulOldCount < INI_MAX_MODELS) {
    memcpy(static_cast<void*>(work.pRecords), pOldTable, (size_t)ulOldCount * sizeof(tModelInfo));
    work.ulCount = ulOldCount;
    bCarried = true;
    DRAV_ASSERT_TEXT(ulOldCount > 0, "ulCount > 0");
    TRACE_CATEGORY(TRACE_CAT_INI, "IniLoadFilesFromPath - Found %d device from previous file(s).\n", (int)ulOldCount);
  } else {
    DRAV_ASSERT(*pulModelTableCount == 0);
  }
  ULONG ulCarried = work.ulCount;

  ULONG ulAdded = 0;
  size_t ulSize = 0;
  char* pFile = IniReadWholeFile(sFileName, &ulSize);
  if (pFile != nullptr) {
    char* pText = pFile;
    bool bPlain = ulSize >= 5 && memcmp(pFile, INI_PLAIN_SIGNATURE, 5) == 0;
    if (!bPlain) {
      size_t ulTextLength = 0;
      BOOL bCheckOk = FALSE;
      if (!IniEnvelopeOpen(reinterpret_cast<const uint8_t*>(pFile), ulSize, &pText, &ulTextLength, &bCheckOk)) {
        pText = nullptr;
      }
      IniHeapFree(pFile);
      pFile = nullptr;
    } else if (ulFlags & INI_FLAG_ENCRYPT_PLAIN) {
      IniRewriteEnciphered(sFileName, pFile, ulSize);
    }
    if (pText != nullptr) {
      IniStripComments(pText);
      ulAdded = IniMergeText(&work, ppulUnsupported, pulUnsupportedCount, pText, bWarnOverwrite);
      IniHeapFree(pText);
    }
  }

  // Publish.
  if (work.ulCount == 0) {
    if (bCarried || pOldTable == nullptr) {
      IniHeapFree(pOldTable);
      *ppModelTable = nullptr;
      *pulModelTableCount = 0;
    }
    // Otherwise a full table that was not carried over stays: this file
    // brought nothing to replace it with.
  } else {
    auto* pTable = static_cast<tModelInfo*>(IniHeapAlloc((size_t)work.ulCount * sizeof(tModelInfo)));
    if (pTable == nullptr) {
      // Keep the published table rather than losing every model.
      DRAV_ASSERT_TEXT(FALSE, "FALSE");
      TRACE_ERROR("Model table of %d records not published; the previous table stays.", (int)work.ulCount);
      for (ULONG i = ulCarried; i < work.ulCount; ++i) {
        IniFreeModelInfo(&work.pRecords[i]);
      }
      ulAdded = 0;
    } else {
      memcpy(static_cast<void*>(pTable), work.pRecords, (size_t)work.ulCount * sizeof(tModelInfo));
      *ppModelTable = pTable;
      *pulModelTableCount = work.ulCount;
      if (bCarried) {
        IniHeapFree(pOldTable);                    // its records live on in the new table
      } else if (pOldTable != nullptr) {
        IniFreeModelTable(pOldTable, ulOldCount);  // a full table that was not carried over
      }
    }
  }
  IniHeapFree(work.pRecords);
  TRACE_INFO("Exit %d.", (int)ulAdded);
  return ulAdded;
}

ULONG IniLoadFilesFromPath(tModelInfo** ppModelTable, ULONG* pulModelTableCount, ULONG** ppulUnsupported,
                           ULONG* pulUnsupportedCount, const char* sPath, ULONG ulFlags, BOOL bWarnOverwrite)
{
  TRACE_INFO("Entry - '%s'.", sPath != nullptr ? sPath : "(null)");
  if (sPath == nullptr) {
    TRACE_ERROR("NULL Pointer.");
    return 0;
  }
  char sFolder[MAX_PATH];
  size_t ulLength = strlen(sPath);
  bool bSlash = ulLength > 0 && (sPath[ulLength - 1] == '\\' || sPath[ulLength - 1] == '/');
  if (ulLength + (bSlash ? 0 : 1) + 5 >= MAX_PATH) {
    TRACE_ERROR("Path too long: '%s'.", sPath);
    return 0;
  }
  memcpy(sFolder, sPath, ulLength);
  if (!bSlash) sFolder[ulLength++] = '\\';
  sFolder[ulLength] = '\0';
  char sPattern[MAX_PATH];
  snprintf(sPattern, sizeof sPattern, "%s*.INI", sFolder);

  ULONG ulTotal = 0;
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA(sPattern, &fd);
  if (hFind != INVALID_HANDLE_VALUE) {
    do {
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        continue;
      }
      char sFile[MAX_PATH];
      int n = snprintf(sFile, sizeof sFile, "%s%s", sFolder, fd.cFileName);
      if (n < 0 || n >= (int)sizeof sFile) {
        TRACE_ERROR("Path too long: '%s%s'.", sFolder, fd.cFileName);
        continue;
      }
      ulTotal += IniLoadFile(ppModelTable, pulModelTableCount, ppulUnsupported, pulUnsupportedCount, sFile, ulFlags,
                             bWarnOverwrite);
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
  }
  TRACE_INFO("Exit %d.", (int)ulTotal);
  return ulTotal;
}
