// Blowfish CBC throughput over a 4 MiB buffer, encrypt and decrypt, with the
// model-file key; also the key schedule, which the loader runs once per file.
// Figures are in MB/s of 10^6 bytes. scripts/run-bench.sh times OpenSSL on the
// same job natively (bench/native/bf_openssl.cpp) and passes its figure and
// ciphertext hash:  bench_blowfish.exe [<OpenSSL MB/s> <hash>]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/BenchBlowfishJob.h"
#include "bench/BenchClock.h"
#include "bench/BenchRow.h"
#include "models/Blowfish.h"

static const size_t kBufferBytes = kBfJobBytes;
static const int kRounds = kBfJobRounds;

int main(int argc, char** argv)
{
  BlowfishCipher cipher;
  cipher.Initialize(reinterpret_cast<const uint8_t*>(kBfJobKey), sizeof kBfJobKey - 1);

  std::vector<uint8_t> plain = BfJobPlainText();
  std::vector<uint8_t> work(kBufferBytes);
  const CipherBlock iv{0x01234567, 0x89ABCDEF};

  double dBestEnc = 1e9, dBestDec = 1e9;
  bool bRoundTrip = true;
  uint64_t ullHash = 0;
  for (int r = 0; r < kRounds; ++r) {
    CipherBlock chain = iv;
    double t0 = BenchNow();
    cipher.EncryptCBC(plain.data(), work.data(), kBufferBytes, &chain);
    double t1 = BenchNow();
    if (r == 0) {
      ullHash = 0xCBF29CE484222325ull;   // FNV-1a
      for (uint8_t b : work) ullHash = (ullHash ^ b) * 0x100000001B3ull;
    }
    chain = iv;
    cipher.DecryptCBC(work.data(), work.data(), kBufferBytes, &chain);   // in place, as the loader may
    double t2 = BenchNow();
    if (t1 - t0 < dBestEnc) dBestEnc = t1 - t0;
    if (t2 - t1 < dBestDec) dBestDec = t2 - t1;
    bRoundTrip = bRoundTrip && std::memcmp(work.data(), plain.data(), kBufferBytes) == 0;
  }

  // Key schedule: 521 block encryptions each.
  const int kKeys = 2000;
  double dBestKey = 1e9;
  for (int r = 0; r < 3; ++r) {
    double t0 = BenchNow();
    for (int i = 0; i < kKeys; ++i) {
      cipher.Initialize(reinterpret_cast<const uint8_t*>(kBfJobKey), sizeof kBfJobKey - 1);
    }
    double dt = BenchNow() - t0;
    if (dt < dBestKey) dBestKey = dt;
  }

  const double dMB = (double)kBufferBytes / 1e6;
  printf("Blowfish CBC, %u bytes, best of %d (MB = 10^6 bytes):\n", unsigned(kBufferBytes), kRounds);
  printf("  ours    encrypt %8.1f MB/s   decrypt %8.1f MB/s   encrypt+decrypt %8.1f MB/s\n", dMB / dBestEnc,
         dMB / dBestDec, 2 * dMB / (dBestEnc + dBestDec));
  printf("  ours    key schedule %8.0f keys/s (45-byte key)\n", kKeys / dBestKey);
  if (!bRoundTrip) {
    printf("  round trip FAILED: the figures above are meaningless\n");
    return 1;
  }
  double dOurs = 2 * dMB / (dBestEnc + dBestDec);
  double dOpenSsl = argc >= 3 ? atof(argv[1]) : 0.0;
  char sHash[20];
  snprintf(sHash, sizeof sHash, "%016llx", (unsigned long long)ullHash);
  if (argc >= 3 && strcmp(argv[2], sHash) != 0) {
    printf("  OpenSSL's ciphertext differs (%s, ours %s): no comparison\n", argv[2], sHash);
    dOpenSsl = 0.0;
  }
  BenchRow("Blowfish CBC, 4 MiB, encrypt+decrypt", dOurs, "MB/s", "OpenSSL BF_cbc_encrypt, native, same job",
           dOpenSsl, 1);
  return 0;
}
