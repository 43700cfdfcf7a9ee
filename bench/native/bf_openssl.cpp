// OpenSSL's Blowfish on the job bench_blowfish.exe times: CBC over the same
// 4 MiB of the same data with the same model-file key, encrypt then decrypt in
// place, best of 7. Built and run natively by scripts/run-bench.sh; prints
//   OPENSSL_BF <encrypt MB/s> <decrypt MB/s> <encrypt+decrypt MB/s> <FNV-1a of the ciphertext>
// The hash lets bench_blowfish.exe confirm both ciphers did the same work.
#define OPENSSL_SUPPRESS_DEPRECATED   // the BF_* calls are the plain cipher, no provider in between
#include <openssl/blowfish.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/BenchBlowfishJob.h"

static double Now()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int main()
{
  const size_t kBufferBytes = kBfJobBytes;
  const int kRounds = kBfJobRounds;
  BF_KEY key;
  BF_set_key(&key, sizeof kBfJobKey - 1, reinterpret_cast<const unsigned char*>(kBfJobKey));

  std::vector<uint8_t> plain = BfJobPlainText();
  std::vector<uint8_t> work(kBufferBytes);
  // The chain block 0x01234567, 0x89ABCDEF as OpenSSL's big-endian IV bytes.
  const unsigned char iv[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF };

  double dBestEnc = 1e9, dBestDec = 1e9;
  bool bRoundTrip = true;
  uint64_t ullHash = 0;
  for (int r = 0; r < kRounds; ++r) {
    unsigned char chain[8];
    memcpy(chain, iv, sizeof chain);
    double t0 = Now();
    BF_cbc_encrypt(plain.data(), work.data(), (long)kBufferBytes, &key, chain, BF_ENCRYPT);
    double t1 = Now();
    if (r == 0) {
      ullHash = 0xCBF29CE484222325ull;
      for (uint8_t b : work) ullHash = (ullHash ^ b) * 0x100000001B3ull;
    }
    memcpy(chain, iv, sizeof chain);
    BF_cbc_encrypt(work.data(), work.data(), (long)kBufferBytes, &key, chain, BF_DECRYPT);
    double t2 = Now();
    if (t1 - t0 < dBestEnc) dBestEnc = t1 - t0;
    if (t2 - t1 < dBestDec) dBestDec = t2 - t1;
    bRoundTrip = bRoundTrip && memcmp(work.data(), plain.data(), kBufferBytes) == 0;
  }
  if (!bRoundTrip) {
    fprintf(stderr, "bf_openssl: round trip failed\n");
    return 1;
  }
  const double dMB = (double)kBufferBytes / 1e6;
  printf("OPENSSL_BF %.1f %.1f %.1f %016llx\n", dMB / dBestEnc, dMB / dBestDec, 2 * dMB / (dBestEnc + dBestDec),
         (unsigned long long)ullHash);
  return 0;
}
