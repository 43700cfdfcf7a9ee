// Blowfish: OpenSSL's answers (bin\bf_vectors.txt, made by scripts/bf-vectors.sh,
// and a few more), and the buffer-mode rules the model-file loader relies on.
#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "models/Blowfish.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& s)
{
  Bytes v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
  return v;
}

std::string ToHex(const Bytes& v)
{
  std::string s;
  for (uint8_t b : v) s += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 0xF]};
  return s;
}

// Blocks as in a buffer: L from bytes 0-3, R from 4-7, big-endian.
CipherBlock BlockOf(const Bytes& b)
{
  return {uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3],
          uint32_t(b[4]) << 24 | uint32_t(b[5]) << 16 | uint32_t(b[6]) << 8 | b[7]};
}

std::string BlockHex(CipherBlock b)
{
  char s[17];
  snprintf(s, sizeof s, "%08X%08X", unsigned(b.L), unsigned(b.R));
  return s;
}

template <typename F>
std::string ThrownMessage(F f)
{
  try { f(); } catch (const BlowfishError& e) { return e.what(); }
  return "(nothing thrown)";
}

// Every buffer mode through one signature, encryption then decryption: ECB ignores the chain.
using Op = void (*)(const BlowfishCipher&, const uint8_t*, uint8_t*, size_t, CipherBlock*);
const Op kOps[] = {
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.EncryptECB(i, o, n); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.DecryptECB(i, o, n); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCBC(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCBC(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCFB(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCFB(i, o, n, ch); },
};

// OpenSSL's answers for key lengths its command line cannot give (it keys
// with 16 bytes; bf_vectors.txt covers 1, 2, 4, 8 and 16), in that file's form:
// the loader's 45-byte key, a 56-byte key and its first 55 bytes.
const char* const kLongKeyCases[] = {
    "ECB 5175696C6C656E642D35433237413046332D384531342D346236642D413243392D304437334536463431423935 - "
    "0000000000000000FEDCBA9876543210 7607561CB19C92DF105D08A3BFC26EB1",
    "ECB 0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D42678CB1D6FB20456A8FB4D9FE"
    " - 0000000000000000FEDCBA9876543210 87C43EFBD5B4C7B606DBDB54F0A4D95A",
    "ECB 0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AED3F81D42678CB1D6FB20456A8FB4D9"
    " - 0000000000000000FEDCBA9876543210 AA91CB730E5C2C413842E68D9E38CD26"};

}  // namespace

// Every case OpenSSL's command line produced at test set-up, and the ones
// above: our cipher must give its ciphertext, decipher it back, and leave the
// last ciphertext block as the chain in both directions.
TEST(BlowfishVectors, MatchesOpenSslReferenceCases)
{
  const std::string sPath = TestBinDir() + "\\bf_vectors.txt";
  std::ifstream file(sPath);
  ASSERT_TRUE(file.is_open()) << sPath << " is missing: ctest's bf_reference_vectors (scripts/bf-vectors.sh) makes it";
  std::vector<std::string> lines(std::begin(kLongKeyCases), std::end(kLongKeyCases));
  for (std::string sLine; std::getline(file, sLine);) lines.push_back(sLine);
  size_t ulCases = 0, ulChained = 0;
  for (const std::string& sLine : lines) {
    if (sLine.empty() || sLine[0] == '#') continue;
    SCOPED_TRACE(sLine.substr(0, 72));
    std::istringstream fields(sLine);
    std::string sMode, sKey, sIv, sPlain, sCipher, sExtra;
    ASSERT_TRUE((fields >> sMode >> sKey >> sIv >> sPlain >> sCipher) && !(fields >> sExtra)) << "malformed case";
    const Bytes plain = FromHex(sPlain), expected = FromHex(sCipher);
    ASSERT_TRUE(plain.size() == expected.size() && plain.size() % 8 == 0 && !plain.empty());
    const int k = sMode == "ECB" ? 0 : sMode == "CBC" ? 2 : sMode == "CFB" ? 4 : -1;
    ASSERT_TRUE(k >= 0 && (k == 0 ? sIv == "-" : sIv.size() == 16)) << "unknown mode or IV: " << sMode << " " << sIv;
    CipherBlock encChain = k == 0 ? CipherBlock{} : BlockOf(FromHex(sIv)), decChain = encChain;
    const Bytes key = FromHex(sKey);
    BlowfishCipher c;
    c.Initialize(key.data(), key.size());
    Bytes out(plain.size()), back(plain.size());
    kOps[k](c, plain.data(), out.data(), out.size(), &encChain);
    kOps[k + 1](c, expected.data(), back.data(), back.size(), &decChain);
    EXPECT_EQ(ToHex(out), sCipher);
    EXPECT_EQ(back, plain);
    ++ulCases;
    if (k != 0) {
      const std::string sLast = sCipher.substr(sCipher.size() - 16);
      EXPECT_EQ(BlockHex(encChain) + " " + BlockHex(decChain), sLast + " " + sLast);
      ++ulChained;
    }
  }
  EXPECT_TRUE(ulCases > ulChained && ulChained > 0) << sPath << " lacks ECB, CBC or CFB cases";
}

TEST(BlowfishCipher, KeysOfOneTo56BytesAndWholeBlocksOnly)
{
  Bytes key(57), plain(64);
  std::iota(key.begin(), key.end(), 3), std::iota(plain.begin(), plain.end(), 0x77);
  const CipherBlock probe{0x01234567, 0x89ABCDEF};
  // The two ends of the range are taken; a refused key leaves the cipher as it was.
  BlowfishCipher c;
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 1); }), "(nothing thrown)");
  const std::string sWithOneByte = BlockHex(c.EncryptBlock(probe));
  for (size_t n : {57, 0}) {
    EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), n); }), BLOWFISH_KEY_LENGTH_MESSAGE);
    EXPECT_EQ(BlockHex(c.EncryptBlock(probe)), sWithOneByte);
  }
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 56); }), "(nothing thrown)");
  // A second key starts again from the standard state, not from the first key's.
  BlowfishCipher fresh;
  fresh.Initialize(key.data(), 56);
  EXPECT_EQ(BlockHex(c.EncryptBlock(probe)), BlockHex(fresh.EncryptBlock(probe)));

  // Each mode: a partial block is refused before anything is written, an empty
  // buffer does nothing, in place gives what separate buffers give, and a null
  // chain starts from the zero block.
  const CipherBlock iv{0xA1B2C3D4, 0x01020304};
  for (size_t k = 0; k < std::size(kOps); ++k) {
    SCOPED_TRACE(k);
    for (size_t n : {12, 0}) {
      Bytes out(16, 0xA5);
      CipherBlock chain = iv;
      EXPECT_EQ(ThrownMessage([&] { kOps[k](c, plain.data(), out.data(), n, &chain); }),
                n ? BLOWFISH_BUFFER_SIZE_MESSAGE : "(nothing thrown)");
      EXPECT_EQ(ToHex(out) + BlockHex(chain), ToHex(Bytes(16, 0xA5)) + BlockHex(iv)) << "nothing written, the chain kept";
    }
    Bytes separate(64), inPlace = plain, withNull(64), withZero(64);
    CipherBlock chainA = iv, chainB = iv, zero{0, 0};
    kOps[k](c, plain.data(), separate.data(), 64, &chainA);
    kOps[k](c, inPlace.data(), inPlace.data(), 64, &chainB);
    kOps[k](c, plain.data(), withNull.data(), 64, nullptr);
    kOps[k](c, plain.data(), withZero.data(), 64, &zero);
    EXPECT_NE(separate, plain);
    EXPECT_EQ(ToHex(inPlace) + BlockHex(chainB) + ToHex(withNull), ToHex(separate) + BlockHex(chainA) + ToHex(withZero));
  }
}
