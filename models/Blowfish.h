// Blowfish block cipher (64-bit block, 16 rounds), with ECB, CBC and CFB-64 over
// buffers. Blocks in buffers are two big-endian 32-bit words, L then R.
// Pure logic: no Windows headers. Refused keys and lengths raise BlowfishError.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>

struct CipherBlock {
  uint32_t L;
  uint32_t R;
};

class BlowfishError : public std::exception {
public:
  explicit BlowfishError(const char* sMessage) : m_sMessage(sMessage) {}
  const char* what() const noexcept override { return m_sMessage; }

private:
  const char* m_sMessage;
};

extern const char BLOWFISH_KEY_LENGTH_MESSAGE[];   // "Invalid key length used to initialize BlowFish."
extern const char BLOWFISH_BUFFER_SIZE_MESSAGE[];  // "Invalid buffer size was passed to a Blowfish encryption or decryption routine."

class BlowfishCipher {
public:
  BlowfishCipher();   // the standard initial state (digits of pi)

  void Initialize(const uint8_t* pKey, size_t ulKeyLength);   // 1 to 56 bytes

  CipherBlock EncryptBlock(CipherBlock block) const;
  CipherBlock DecryptBlock(CipherBlock block) const;

  // Lengths must be multiples of 8; input and output may be the same buffer.
  // A null chain starts from the zero block and returns nothing.
  void EncryptECB(const uint8_t* pIn, uint8_t* pOut, size_t ulLength) const;
  void DecryptECB(const uint8_t* pIn, uint8_t* pOut, size_t ulLength) const;
  void EncryptCBC(const uint8_t* pIn, uint8_t* pOut, size_t ulLength, CipherBlock* pChain) const;
  void DecryptCBC(const uint8_t* pIn, uint8_t* pOut, size_t ulLength, CipherBlock* pChain) const;
  void EncryptCFB(const uint8_t* pIn, uint8_t* pOut, size_t ulLength, CipherBlock* pChain) const;
  void DecryptCFB(const uint8_t* pIn, uint8_t* pOut, size_t ulLength, CipherBlock* pChain) const;

private:
  uint32_t m_P[18];
  uint32_t m_S[4][256];
};
