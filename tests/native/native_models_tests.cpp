// Key-sequence bound of the model-file parser, natively under the sanitizers:
// each value in a buffer of exactly its size. Random and damaged model files
// are the fuzz targets' work (tests/fuzz).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "models/IniMgr.h"

// Every length of a too-long step list stops at the 800-byte bound.
TEST(NativeModels, LongSequencesStopAtTheBound)
{
  tKeySequence* pSeq = static_cast<tKeySequence*>(calloc(1, sizeof(tKeySequence)));
  for (int n = 1; n < 400; n += 7) {
    std::string value = "0x3A";
    for (int k = 0; k < n; ++k) value += (k % 3 == 0) ? ",0x04" : "+0x05";
    char* p = strdup(value.c_str());
    BOOL bOk = ParseKeySequence(pSeq, p);
    ASSERT_LE(pSeq->ulLength, KEY_SEQUENCE_MAX_STEP_BYTES);
    // 200 words: about 150 entries with their step headers.
    if (!bOk) {
      ASSERT_GT(n, 100);
    }
    if (n > 200) {
      ASSERT_FALSE(bOk);
    }
    free(p);
  }
  free(pSeq);
}
