// Blowfish: the designer's published vectors, OpenSSL's answers for random
// keys and data (bin\bf_vectors.txt, made by scripts/bf-vectors.sh), and the
// buffer-mode rules the model-file loader relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
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

// Designer's ECB table: 8-byte keys.
struct EcbVector {
  const char* sKey;
  const char* sPlain;
  const char* sCipher;
};
const EcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
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

// The published chained-mode example: 16-byte key, IV FEDCBA9876543210, the
// 29-byte text "7654321 Now is the time for " with its NUL, zero-padded.
TEST(BlowfishVectors, PublishedCbcAndCfbExample)
{
  const BlowfishCipher c = Keyed(FromHex("0123456789ABCDEFF0E1D2C3B4A59687"));
  Bytes plain(32, 0);
  std::memcpy(plain.data(), "7654321 Now is the time for ", 29);
  Bytes out(32);

  CipherBlock chain = BlockFromHex("FEDCBA9876543210");
  c.EncryptCBC(plain.data(), out.data(), out.size(), &chain);
  EXPECT_EQ(ToHex(out), "6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC");
  chain = BlockFromHex("FEDCBA9876543210");
  c.DecryptCBC(out.data(), out.data(), out.size(), &chain);
  EXPECT_EQ(out, plain);

  // CFB-64 is a stream over whole blocks: the published 29 bytes are a prefix.
  chain = BlockFromHex("FEDCBA9876543210");
  c.EncryptCFB(plain.data(), out.data(), out.size(), &chain);
  EXPECT_EQ(ToHex(out).substr(0, 58), "E73214A2822139CAF26ECF6D2EB9E76E3DA3DE04D1517200519D57A6C3");
  chain = BlockFromHex("FEDCBA9876543210");
  c.DecryptCFB(out.data(), out.data(), out.size(), &chain);
  EXPECT_EQ(out, plain);
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
}

TEST(BlowfishCipher, KeyIsUsedWholeAndCyclically)
{
  const Bytes k56 = Pattern(56, 0x41);
  const Bytes k55(k56.begin(), k56.end() - 1);
  const CipherBlock probe{0xFEDCBA98, 0x76543210};
  // The 56th byte counts.
  EXPECT_NE(BlockHex(Keyed(k56).EncryptBlock(probe)), BlockHex(Keyed(k55).EncryptBlock(probe)));

  // Cyclic use over the 72 key bytes: K of 28 bytes is the same key as K K of
  // 56, and K of 18 the same as K K K of 54; a key is not zero-padded.
  const Bytes k28(k56.begin(), k56.begin() + 28);
  Bytes k28twice = k28;
  k28twice.insert(k28twice.end(), k28.begin(), k28.end());
  EXPECT_EQ(BlockHex(Keyed(k28).EncryptBlock(probe)), BlockHex(Keyed(k28twice).EncryptBlock(probe)));
  const Bytes k18(k56.begin(), k56.begin() + 18);
  Bytes k18thrice;
  for (int i = 0; i < 3; ++i) k18thrice.insert(k18thrice.end(), k18.begin(), k18.end());
  EXPECT_EQ(BlockHex(Keyed(k18).EncryptBlock(probe)), BlockHex(Keyed(k18thrice).EncryptBlock(probe)));
  Bytes k18padded = k18;
  k18padded.resize(36, 0);
  EXPECT_NE(BlockHex(Keyed(k18).EncryptBlock(probe)), BlockHex(Keyed(k18padded).EncryptBlock(probe)));

  // A second key starts again from the standard state.
  BlowfishCipher reused = Keyed(k55);
  reused.Initialize(k28.data(), k28.size());
  EXPECT_EQ(BlockHex(reused.EncryptBlock(probe)), BlockHex(Keyed(k28).EncryptBlock(probe)));
}

TEST(BlowfishCipher, PartialBlockIsRefusedBeforeAnythingIsWritten)
{
  const BlowfishCipher c = Keyed(Pattern(16, 9));
  const Bytes in = Pattern(16, 1);
  using Op = void (*)(const BlowfishCipher&, const uint8_t*, uint8_t*, size_t, CipherBlock*);
  const Op ops[] = {
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.EncryptECB(i, o, n); },
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock*) { b.DecryptECB(i, o, n); },
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCBC(i, o, n, ch); },
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCBC(i, o, n, ch); },
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.EncryptCFB(i, o, n, ch); },
      [](const BlowfishCipher& b, const uint8_t* i, uint8_t* o, size_t n, CipherBlock* ch) { b.DecryptCFB(i, o, n, ch); },
  };
  for (size_t k = 0; k < sizeof ops / sizeof ops[0]; ++k) {
    SCOPED_TRACE(k);
    Bytes out(16, 0xA5);
    CipherBlock chain{0x11111111, 0x22222222};
    EXPECT_EQ(ThrownMessage([&] { ops[k](c, in.data(), out.data(), 12, &chain); }),
              "Invalid buffer size was passed to a Blowfish encryption or decryption routine.");
    EXPECT_EQ(out, Bytes(16, 0xA5)) << "the first whole block must not have been written";
    EXPECT_EQ(chain.L, 0x11111111u);
    EXPECT_EQ(chain.R, 0x22222222u);

    // An empty buffer is a whole number of blocks: nothing to do, chain kept.
    EXPECT_EQ(ThrownMessage([&] { ops[k](c, in.data(), out.data(), 0, &chain); }), "(nothing thrown)");
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
  enum { ECB, CBC, CFB };
  for (int mode : {ECB, CBC, CFB}) {
    SCOPED_TRACE(mode);
    for (bool bEncrypt : {true, false}) {
      Bytes separate(64);
      Bytes inPlace = plain;
      CipherBlock chainA = iv, chainB = iv;
      switch (mode) {
        case ECB:
          bEncrypt ? c.EncryptECB(plain.data(), separate.data(), 64) : c.DecryptECB(plain.data(), separate.data(), 64);
          bEncrypt ? c.EncryptECB(inPlace.data(), inPlace.data(), 64) : c.DecryptECB(inPlace.data(), inPlace.data(), 64);
          break;
        case CBC:
          bEncrypt ? c.EncryptCBC(plain.data(), separate.data(), 64, &chainA)
                   : c.DecryptCBC(plain.data(), separate.data(), 64, &chainA);
          bEncrypt ? c.EncryptCBC(inPlace.data(), inPlace.data(), 64, &chainB)
                   : c.DecryptCBC(inPlace.data(), inPlace.data(), 64, &chainB);
          break;
        case CFB:
          bEncrypt ? c.EncryptCFB(plain.data(), separate.data(), 64, &chainA)
                   : c.DecryptCFB(plain.data(), separate.data(), 64, &chainA);
          bEncrypt ? c.EncryptCFB(inPlace.data(), inPlace.data(), 64, &chainB)
                   : c.DecryptCFB(inPlace.data(), inPlace.data(), 64, &chainB);
          break;
      }
      EXPECT_EQ(inPlace, separate) << (bEncrypt ? "encrypt" : "decrypt");
      EXPECT_NE(separate, plain);
      EXPECT_EQ(BlockHex(chainA), BlockHex(chainB));
    }
  }
}

// The loader encrypts the chain once more for its check words, so the chain
// left behind must be the last ciphertext block, and a run split in two must
// equal one run.
TEST(BlowfishCipher, ChainLeftAfterCbcIsTheLastCiphertextBlock)
{
  const BlowfishCipher c = Keyed(Pattern(45, 0x51));
  const Bytes plain = Pattern(48, 0x13);
  const CipherBlock iv{0x0BADF00D, 0xDEADBEEF};

  Bytes whole(48);
  CipherBlock chain = iv;
  c.EncryptCBC(plain.data(), whole.data(), 48, &chain);
  EXPECT_EQ(BlockHex(chain), ToHex(whole.data() + 40, 8));

  Bytes split(48);
  CipherBlock chainSplit = iv;
  c.EncryptCBC(plain.data(), split.data(), 16, &chainSplit);
  EXPECT_EQ(BlockHex(chainSplit), ToHex(split.data() + 8, 8));
  c.EncryptCBC(plain.data() + 16, split.data() + 16, 32, &chainSplit);
  EXPECT_EQ(split, whole);
  EXPECT_EQ(BlockHex(chainSplit), BlockHex(chain));

  // Deciphering ends on the same chain: the last block it read.
  Bytes back(48);
  CipherBlock decChain = iv;
  c.DecryptCBC(whole.data(), back.data(), 48, &decChain);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(BlockHex(decChain), BlockHex(chain));

  // Wrong chain: only the first block suffers.
  CipherBlock wrong{iv.L ^ 1, iv.R};
  c.DecryptCBC(whole.data(), back.data(), 48, &wrong);
  EXPECT_NE(ToHex(back.data(), 8), ToHex(plain.data(), 8));
  EXPECT_EQ(ToHex(back.data() + 8, 40), ToHex(plain.data() + 8, 40));
}
