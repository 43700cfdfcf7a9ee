// How the filter driver answers its parameter protocol: the parameter table,
// the store of values, and the replies to get, set, register and unregister.
// The simulated driver and the test kernel driver both answer through this
// unit, so they answer byte for byte alike. No system calls and no heap: a
// store is a fixed block inside its device, usable in kernel mode.
#pragma once
#include <stdint.h>

constexpr uint32_t DRV_IOCTL_REGISTER = 0x00220404;
constexpr uint32_t DRV_IOCTL_UNREGISTER = 0x00220408;
constexpr uint32_t DRV_IOCTL_EVENT_READ = 0x0022040C;
constexpr uint32_t DRV_IOCTL_GET = 0x00220410;
constexpr uint32_t DRV_IOCTL_SET = 0x00220414;

constexpr uint32_t DRV_ID_EVENT_CHORDING_BUTTON = 3112;
constexpr uint32_t DRV_ID_TIME_STAMP = 4000;
constexpr uint32_t DRV_MAX_PARAM_BYTES = 132;
constexpr uint32_t DRV_PARAM_COUNT = 12;   // entries of the parameter table
constexpr uint32_t DRV_REPLY_NORMAL = ~0u;

// Outcome of a request; each driver maps it to its own error codes.
enum DrvResult : uint32_t {
  DRV_OK = 0,
  DRV_BAD_PARAMETER,      // short input, unknown parameter or event, wrong length
  DRV_BUFFER_TOO_SMALL,   // the reply does not fit the output buffer
  DRV_UNKNOWN_REQUEST,    // not a control code of the protocol
};

struct DrvParam {
  uint32_t ulSize;          // bytes stored (0: none)
  uint32_t ulReplyLength;   // forced short reply, DRV_REPLY_NORMAL if none
  uint8_t Value[DRV_MAX_PARAM_BYTES];
};
// One device's values, slot i for entry i of the parameter table.
struct DrvParamStore {
  DrvParam Params[DRV_PARAM_COUNT];
  uint64_t ullTimeStamp;    // next time stamp a get of 4000 answers
};

// A device's values as it comes up.
void DrvStoreInit(DrvParamStore* pStore);
// What a get of ulId answers from now on. Fails for an unknown parameter, the
// time stamp, more than DRV_MAX_PARAM_BYTES or null data with a size.
bool DrvStoreSet(DrvParamStore* pStore, uint32_t ulId, const void* pData, uint32_t ulSize);
// Copies up to ulOutSize bytes of the stored value; returns its size.
uint32_t DrvStoreGet(const DrvParamStore* pStore, uint32_t ulId, void* pOut, uint32_t ulOutSize);
// Gets of ulId reply with only ulLength bytes; DRV_REPLY_NORMAL restores them.
bool DrvStoreSetReplyLength(DrvParamStore* pStore, uint32_t ulId, uint32_t ulLength);

// Answers any request but the event read. pIn and pOut may be one buffer (a
// kernel driver's buffered I/O): the input is read before the reply is written.
// *pulReturned gets the reply's length (0 unless DRV_OK).
DrvResult DrvAnswer(DrvParamStore* pStore, uint32_t ulIoctl, const void* pIn, uint32_t ulInSize, void* pOut,
                    uint32_t ulOutSize, uint32_t* pulReturned);
