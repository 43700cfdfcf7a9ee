// Blowfish: a few of the designer's published vectors, OpenSSL's answers for
// random keys and data (bin\bf_vectors.txt, made by scripts/bf-vectors.sh), and
// the buffer-mode rules the model-file loader relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
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
  EXPECT_EQ(s.size() % 2, 0u) << s;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    v.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
  }
  return v;
}

std::string ToHex(const uint8_t* p, size_t n)
{
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0xF];
  }
  return s;
}
std::string ToHex(const Bytes& v) { return ToHex(v.data(), v.size()); }

CipherBlock BlockFromHex(const std::string& s)
{
  const Bytes b = FromHex(s);
  return CipherBlock{uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3],
                     uint32_t(b[4]) << 24 | uint32_t(b[5]) << 16 | uint32_t(b[6]) << 8 | b[7]};
}

std::string BlockHex(CipherBlock b)
{
  char s[17];
  snprintf(s, sizeof s, "%08X%08X", unsigned(b.L), unsigned(b.R));
  return s;
}

BlowfishCipher Keyed(const Bytes& key)
{
  BlowfishCipher c;
  c.Initialize(key.data(), key.size());
  return c;
}

// Patterned data of n bytes.
Bytes Pattern(size_t n, uint8_t seed)
{
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = uint8_t(seed + i * 29 + (i >> 3));
  }
  return v;
}

template <typename F>
std::string ThrownMessage(F f)
{
  try {
    f();
  } catch (const BlowfishError& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// Every buffer mode through one signature: ECB ignores the chain.
using Op = void (*)(const BlowfishCipher&, const uint8_t*, uint8_t*, size_t, CipherBlock*);
const Op kOps[] = {
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.EncryptECB(i, o, n); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.DecryptECB(i, o, n); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCBC(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCBC(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCFB(i, o, n, ch); },
    [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCFB(i, o, n, ch); },
};

// Designer's ECB table, 8-byte keys: the ends of the range and the weak keys;
// the OpenSSL cases cover random keys of 1 to 16 bytes in every mode.
struct EcbVector {
  const char* sKey;
  const char* sPlain;
  const char* sCipher;
};
const EcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
};

// Designer's variable-key table: the first n bytes of one key, one plaintext.
const char kVarKey[] = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
const char kVarPlain[] = "FEDCBA9876543210";
const char* const kVarCipher[24] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
    "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
    "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
    "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
    "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

}  // namespace

TEST(BlowfishVectors, DesignerEcbTableBothDirections)
{
  for (const EcbVector& v : kEcbVectors) {
    SCOPED_TRACE(v.sKey);
    const BlowfishCipher c = Keyed(FromHex(v.sKey));
    EXPECT_EQ(BlockHex(c.EncryptBlock(BlockFromHex(v.sPlain))), v.sCipher);
    EXPECT_EQ(BlockHex(c.DecryptBlock(BlockFromHex(v.sCipher))), v.sPlain);

    // The same through a buffer: L from bytes 0-3, R from 4-7, big-endian.
    Bytes buf = FromHex(v.sPlain);
    c.EncryptECB(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(ToHex(buf), v.sCipher);
    c.DecryptECB(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(ToHex(buf), v.sPlain);
  }
}

TEST(BlowfishVectors, DesignerVariableKeyLengthTable)
{
  const Bytes full = FromHex(kVarKey);
  for (size_t n = 1; n <= 24; ++n) {
    SCOPED_TRACE(n);
    const BlowfishCipher c = Keyed(Bytes(full.begin(), full.begin() + n));
    EXPECT_EQ(BlockHex(c.EncryptBlock(BlockFromHex(kVarPlain))), kVarCipher[n - 1]);
    EXPECT_EQ(BlockHex(c.DecryptBlock(BlockFromHex(kVarCipher[n - 1]))), kVarPlain);
  }
}

// Keys longer than the published tables go, answers from OpenSSL's Blowfish
// with the key length set explicitly. The 45-byte key is the loader's.
TEST(BlowfishVectors, LongKeysAgainstOpenSsl)
{
  const char sLoaderKey[] = "Quillend-5C27A0F3-8E14-4b6d-A2C9-0D73E6F41B95";
  const Bytes k45(sLoaderKey, sLoaderKey + 45);
  const Bytes k56 = FromHex(
      "0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C6186ABD0F51A3F6489AE"
      "D3F81D42678CB1D6FB20456A8FB4D9FE");
  const Bytes k55(k56.begin(), k56.end() - 1);
  ASSERT_EQ(k56.size(), 56u);

  const BlowfishCipher c45 = Keyed(k45);
  EXPECT_EQ(BlockHex(c45.EncryptBlock({0, 0})), "7607561CB19C92DF");
  EXPECT_EQ(BlockHex(c45.EncryptBlock(BlockFromHex("FEDCBA9876543210"))), "105D08A3BFC26EB1");
  const BlowfishCipher c56 = Keyed(k56);
  EXPECT_EQ(BlockHex(c56.EncryptBlock({0, 0})), "87C43EFBD5B4C7B6");
  EXPECT_EQ(BlockHex(c56.EncryptBlock(BlockFromHex("FEDCBA9876543210"))), "06DBDB54F0A4D95A");
  const BlowfishCipher c55 = Keyed(k55);
  EXPECT_EQ(BlockHex(c55.EncryptBlock({0, 0})), "AA91CB730E5C2C41");
  EXPECT_EQ(BlockHex(c55.EncryptBlock(BlockFromHex("FEDCBA9876543210"))), "3842E68D9E38CD26");
}

// Every case OpenSSL's command line produced at test set-up: our cipher must
// give its ciphertext, decipher it back, and leave the last ciphertext block
// as the chain in both directions.
TEST(BlowfishVectors, MatchesOpenSslReferenceCases)
{
  const std::string sPath = TestBinDir() + "\\bf_vectors.txt";
  std::ifstream file(sPath);
  ASSERT_TRUE(file.is_open()) << sPath << " is missing: ctest's bf_reference_vectors (scripts/bf-vectors.sh) makes it";

  size_t ulCases = 0;
  size_t ulChained = 0;
  std::string sLine;
  size_t ulLineNo = 0;
  while (std::getline(file, sLine)) {
    ++ulLineNo;
    if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
    if (sLine.empty() || sLine[0] == '#') continue;
    SCOPED_TRACE("line " + std::to_string(ulLineNo) + ": " + sLine.substr(0, 72));

    std::istringstream fields(sLine);
    std::string sMode, sKey, sIv, sPlain, sCipher, sExtra;
    ASSERT_TRUE(fields >> sMode >> sKey >> sIv >> sPlain >> sCipher) << "malformed case";
    ASSERT_FALSE(fields >> sExtra) << "malformed case";
    const Bytes key = FromHex(sKey);
    const Bytes plain = FromHex(sPlain);
    const Bytes expected = FromHex(sCipher);
    ASSERT_EQ(plain.size(), expected.size());
    ASSERT_EQ(plain.size() % 8, 0u);
    ASSERT_GT(plain.size(), 0u);
    ++ulCases;

    const BlowfishCipher c = Keyed(key);
    Bytes out(plain.size());
    Bytes back(plain.size());
    if (sMode == "ECB") {
      ASSERT_EQ(sIv, "-");
      c.EncryptECB(plain.data(), out.data(), out.size());
      c.DecryptECB(expected.data(), back.data(), back.size());
    } else {
      ASSERT_TRUE(sMode == "CBC" || sMode == "CFB") << "unknown mode " << sMode;
      ASSERT_EQ(sIv.size(), 16u);
      const CipherBlock iv = BlockFromHex(sIv);
      const CipherBlock lastCipher = BlockFromHex(sCipher.substr(sCipher.size() - 16));
      CipherBlock encChain = iv;
      CipherBlock decChain = iv;
      if (sMode == "CBC") {
        c.EncryptCBC(plain.data(), out.data(), out.size(), &encChain);
        c.DecryptCBC(expected.data(), back.data(), back.size(), &decChain);
      } else {
        c.EncryptCFB(plain.data(), out.data(), out.size(), &encChain);
        c.DecryptCFB(expected.data(), back.data(), back.size(), &decChain);
      }
      EXPECT_EQ(BlockHex(encChain), BlockHex(lastCipher));
      EXPECT_EQ(BlockHex(decChain), BlockHex(lastCipher));
      ++ulChained;
    }
    EXPECT_EQ(ToHex(out), sCipher);
    EXPECT_EQ(back, plain);
  }
  EXPECT_GT(ulCases, 0u) << sPath << " holds no cases";
  EXPECT_GT(ulChained, 0u) << sPath << " holds no CBC or CFB case";
}

TEST(BlowfishCipher, KeyLengthOutsideOneTo56IsRefused)
{
  const Bytes key = Pattern(57, 3);
  BlowfishCipher c;
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 57); }),
            "Invalid key length used to initialize BlowFish.");
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 0); }),
            "Invalid key length used to initialize BlowFish.");
  EXPECT_STREQ(BLOWFISH_KEY_LENGTH_MESSAGE, "Invalid key length used to initialize BlowFish.");

  // The two ends of the range are taken; a refused key leaves the cipher as it was.
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 1); }), "(nothing thrown)");
  const CipherBlock withOneByte = c.EncryptBlock({0x01234567, 0x89ABCDEF});
  EXPECT_THROW(c.Initialize(key.data(), 57), BlowfishError);
  EXPECT_EQ(BlockHex(c.EncryptBlock({0x01234567, 0x89ABCDEF})), BlockHex(withOneByte));
  EXPECT_EQ(ThrownMessage([&] { c.Initialize(key.data(), 56); }), "(nothing thrown)");
  // A second key starts again from the standard state, not from the first key's.
  EXPECT_EQ(BlockHex(c.EncryptBlock({0x01234567, 0x89ABCDEF})),
            BlockHex(Keyed(Bytes(key.begin(), key.begin() + 56)).EncryptBlock({0x01234567, 0x89ABCDEF})));
}

TEST(BlowfishCipher, PartialBlockIsRefusedBeforeAnythingIsWritten)
{
  const BlowfishCipher c = Keyed(Pattern(16, 9));
  const Bytes in = Pattern(16, 1);
  for (size_t k = 0; k < std::size(kOps); ++k) {
    SCOPED_TRACE(k);
    Bytes out(16, 0xA5);
    CipherBlock chain{0x11111111, 0x22222222};
    EXPECT_EQ(ThrownMessage([&] { kOps[k](c, in.data(), out.data(), 12, &chain); }),
              "Invalid buffer size was passed to a Blowfish encryption or decryption routine.");
    EXPECT_EQ(out, Bytes(16, 0xA5)) << "the first whole block must not have been written";
    EXPECT_EQ(chain.L, 0x11111111u);
    EXPECT_EQ(chain.R, 0x22222222u);

    // An empty buffer is a whole number of blocks: nothing to do, chain kept.
    EXPECT_EQ(ThrownMessage([&] { kOps[k](c, in.data(), out.data(), 0, &chain); }), "(nothing thrown)");
    EXPECT_EQ(out, Bytes(16, 0xA5));
    EXPECT_EQ(chain.L, 0x11111111u);
  }
  EXPECT_STREQ(BLOWFISH_BUFFER_SIZE_MESSAGE,
               "Invalid buffer size was passed to a Blowfish encryption or decryption routine.");
}

TEST(BlowfishCipher, NullChainStartsFromTheZeroBlock)
{
  const BlowfishCipher c = Keyed(Pattern(20, 7));
  const Bytes plain = Pattern(40, 5);
  Bytes withNull(40), withZero(40);
  CipherBlock zero{0, 0};

  c.EncryptCBC(plain.data(), withNull.data(), 40, nullptr);
  c.EncryptCBC(plain.data(), withZero.data(), 40, &zero);
  EXPECT_EQ(withNull, withZero);
  Bytes first(plain.begin(), plain.begin() + 8);   // first CBC block under a zero chain is plain ECB
  c.EncryptECB(first.data(), first.data(), 8);
  EXPECT_EQ(ToHex(withNull).substr(0, 16), ToHex(first));
  Bytes back(40);
  c.DecryptCBC(withNull.data(), back.data(), 40, nullptr);
  EXPECT_EQ(back, plain);

  zero = {0, 0};
  c.EncryptCFB(plain.data(), withNull.data(), 40, nullptr);
  c.EncryptCFB(plain.data(), withZero.data(), 40, &zero);
  EXPECT_EQ(withNull, withZero);
  const CipherBlock pad = c.EncryptBlock({0, 0});   // first CFB block: plain xor E(0)
  const CipherBlock p0 = BlockFromHex(ToHex(plain.data(), 8));
  EXPECT_EQ(ToHex(withNull).substr(0, 16), BlockHex({p0.L ^ pad.L, p0.R ^ pad.R}));
  c.DecryptCFB(withNull.data(), back.data(), 40, nullptr);
  EXPECT_EQ(back, plain);
}

TEST(BlowfishCipher, InPlaceGivesTheSameAsSeparateBuffers)
{
  const BlowfishCipher c = Keyed(Pattern(45, 0x30));
  const Bytes plain = Pattern(64, 0x77);
  const CipherBlock iv{0xA1B2C3D4, 0x01020304};
  for (size_t k = 0; k < std::size(kOps); ++k) {
    SCOPED_TRACE(k);
    Bytes separate(64);
    Bytes inPlace = plain;
    CipherBlock chainA = iv, chainB = iv;
    kOps[k](c, plain.data(), separate.data(), 64, &chainA);
    kOps[k](c, inPlace.data(), inPlace.data(), 64, &chainB);
    EXPECT_EQ(inPlace, separate);
    EXPECT_NE(separate, plain);
    EXPECT_EQ(BlockHex(chainA), BlockHex(chainB));
  }
}
