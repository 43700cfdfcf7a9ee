// Reading the filter driver's event packets. Pure logic: no Windows headers,
// so it builds natively for the sanitizers and fuzzers too.
#pragma once
#include <cstdint>

// Report values of a chording packet's state.
constexpr uint32_t MOU_CHORDING_PRESSED = 0x10003;
constexpr uint32_t MOU_CHORDING_RELEASED = 0x20003;

struct MouEventPacket {
  uint32_t ulId;
  uint32_t ulState;   // 0 when the packet ends before it
};

// False when the packet is too short to hold its id.
bool MouDecodeEventPacket(const void* pBuffer, uint32_t ulBytes, MouEventPacket* pPacket);
// Pressed for state 1, released for 0, 0 for any other state.
uint32_t MouChordingReport(uint32_t ulState);
