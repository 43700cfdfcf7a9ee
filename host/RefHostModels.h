// The reference host's model database: the model files of one folder loaded
// into a table, the find-model operation of the interface record (word 19)
// and the unsupported list.
#pragma once
#include <windows.h>

#include <cstdio>

#include "models/ModelInfo.h"
#include "plugin/HostApi.h"

// Loads every "*.INI" file of the folder into the host's table (models
// already loaded stay, the first definition of a model wins). Returns the
// number of models added.
ULONG RefHostModelsLoad(const char* sFolder, ULONG ulFlags, BOOL bWarnOverwrite);
// Frees the table and the unsupported list.
void RefHostModelsFree();

// Word 19: the first model where pfnCompare(model, ulKeySize, pKey) is TRUE,
// or null. The comparison runs under the database's shared lock, so it must
// not call back into the model database.
const tModelInfo* RefHostFindModel(ULONG ulZero, PFN_HOST_MODEL_COMPARE pfnCompare, ULONG ulKeySize,
                                   const void* pKey);

// Number of loaded models; the record at an index (null past the end).
ULONG RefHostModelsCount();
const tModelInfo* RefHostModelAt(ULONG ulIndex);
// TRUE when (type << 24) | (value & 0xFFFF) is in the unsupported list.
BOOL RefHostModelsIsUnsupported(ULONG ulType, ULONG ulValue);
ULONG RefHostModelsUnsupportedCount();

// Writes one line per model (and the unsupported list) to pOut.
void RefHostModelsPrint(FILE* pOut);
