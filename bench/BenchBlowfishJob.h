// The Blowfish bench's job, shared by bench_blowfish.exe and the native
// OpenSSL run so that both cipher the same bytes with the same key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kBfJobBytes = 4u << 20;
constexpr int kBfJobRounds = 7;   // best of these is kept (the machine is shared)
constexpr char kBfJobKey[] = "Quillend-5C27A0F3-8E14-4b6d-A2C9-0D73E6F41B95";   // the model-file key

inline std::vector<uint8_t> BfJobPlainText()
{
  std::vector<uint8_t> plain(kBfJobBytes);
  uint32_t ulSeed = 0x9E3779B9;
  for (auto& b : plain) {
    ulSeed = ulSeed * 1664525u + 1013904223u;
    b = uint8_t(ulSeed >> 24);
  }
  return plain;
}
