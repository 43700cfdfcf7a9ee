// Pure pieces of device identification: reading the numbers out of a device
// instance ID and placing a device from its model's "DEPTH" override value.
// No system calls, so they can be built natively and fuzzed.
#pragma once
#include <cstdint>

constexpr uint8_t UMD_NO_RECEIVER_SLOT = 255;
constexpr uint32_t UMD_RECEIVER_SLOT_BASE = 256;
constexpr uint16_t VENDOR_ID_OWN = 0x3F1D;

// One marker of the instance ID: the characters copied after it (at most 4)
// and, when they start with a hex digit, their value.
struct UmdIdField {
  bool bMarker;        // the marker occurs
  bool bRead;          // a hex digit followed it
  char sText[5];
  uint32_t ulValue;
};

enum UmdIdFieldIndex { UMD_ID_VID, UMD_ID_PID, UMD_ID_REV, UMD_ID_MI, UMD_ID_WI, UMD_ID_COL, UMD_ID_FIELD_COUNT };

struct UmdIdentification {
  UmdIdField Fields[UMD_ID_FIELD_COUNT];
  uint16_t usVid, usPid, usRev;
  uint8_t ucInterface, ucCollection, ucTqIndex;
  bool bSingleInterface;
  bool bIdentified;    // both vendor and product were read
};

// sUpper: the instance ID in upper case, zero-terminated. Values not found
// keep the defaults (revision, interface and collection 0, no receiver slot).
void UmdParseInstanceId(const char* sUpper, UmdIdentification* pId);

// How an override byte was applied, for the caller's trace.
enum UmdOverrideOutcome : uint8_t {
  UMD_OVERRIDE_NO_MATCH,
  UMD_OVERRIDE_TOO_LARGE,     // interface or collection above 15
  UMD_OVERRIDE_COLLECTION,
  UMD_OVERRIDE_INTERFACE,
};

struct UmdOverrideStep {
  uint8_t ucByte;
  UmdOverrideOutcome outcome;
  uint32_t ulIndexBefore;     // non-zero: an earlier byte had already set the index
  uint32_t ulIndexAfter;
};

struct UmdPlacement {
  uint32_t ulDepth;           // bits 0-3 of the override value
  uint32_t ulTypeOverride;    // bits 4-7; 0 = none
  uint32_t ulIndex;           // device index
  uint32_t ulStepCount;
  UmdOverrideStep Steps[3];
};

// ulIndex starts as the receiver-slot index (or 0); the override value's
// index bytes may replace it.
void UmdApplyDepthOverride(uint32_t ulOverride, uint8_t ucInterface, uint8_t ucCollection, uint32_t ulIndex,
                           UmdPlacement* pPlacement);
