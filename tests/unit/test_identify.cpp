// Identification numbers out of instance IDs and the "DEPTH" placement.
#include <gtest/gtest.h>

#include <tuple>

#include "framework/UmdIdentify.h"

TEST(IdentifyTest, InstanceIdsGiveTheirNumbers)
{
  struct Case {
    const char* sId;   // as the parser gets it: upper case
    bool bIdentified;
    int vid, pid, rev, iface, col, slot;
    bool bSingle;
  } cases[] = {
    { "HID\\VID_3F1D&PID_1234&MI_01&COL02\\7&1A2B&0&0001", true, 0x3F1D, 0x1234, 0, 1, 2, 255, false },
    { "HID\\VID&00023F1D_PID&0B05\\1", true, 0x3F1D, 0x0B05, 0, 0, 0, 255, true },
    { "USB\\VID_045E&PID_00CB&REV_0100\\X", true, 0x045E, 0x00CB, 0x100, 0, 0, 255, true },
    { "HID\\VID_3F1D&PID_0042&MI_00&WI_04\\1", true, 0x3F1D, 0x42, 0, 0, 0, 4, false },
    // Truncated right after a marker, or without hex digits after it.
    { "HID\\VID_3F1D&PID_", false, 0x3F1D, 0, 0, 0, 0, 255, true },
    { "HID\\VID_XYZW&PID_1234", false, 0, 0x1234, 0, 0, 0, 255, true },
    { "HID\\VID_3F1D&PID_12&MI_", true, 0x3F1D, 0x12, 0, 0, 0, 255, false },
    { "HID\\VID_1&PID_2&COLZZ&REV_G1", true, 1, 2, 0, 0, 0, 255, true },
    { "HID\\VID_3F1D9&PID_1234&MI_012", true, 0x3F1D, 0x1234, 0, 1, 0, 255, false },   // at most the marker's width
    { "", false, 0, 0, 0, 0, 0, 255, true },
  };
  for (const Case& c : cases) {
    UmdIdentification id;
    UmdParseInstanceId(c.sId, &id);
    EXPECT_EQ(std::make_tuple(id.bIdentified, (int)id.usVid, (int)id.usPid, (int)id.usRev, (int)id.ucInterface,
                              (int)id.ucCollection, (int)id.ucTqIndex, id.bSingleInterface),
              std::make_tuple(c.bIdentified, c.vid, c.pid, c.rev, c.iface, c.col, c.slot, c.bSingle))
        << c.sId;
  }
}

TEST(IdentifyTest, DepthOverridePlacesTheDevice)
{
  struct Case {
    uint32_t ulOverride;
    uint8_t ucInterface, ucCollection;
    uint32_t ulIndexIn, ulDepth, ulType, ulIndex;
    int lastByte;                 // the last non-zero byte, as traced, and how it applied
    UmdOverrideOutcome lastOutcome;
    uint32_t ulLastIndexBefore;   // what the last byte found set: non-zero is reported as an error
  } cases[] = {
    { 0x00002103, 2, 0, 0, 3, 0, 1, 0x21, UMD_OVERRIDE_INTERFACE, 0 },
    { 0x00002103, 1, 0, 0, 3, 0, 0, 0x21, UMD_OVERRIDE_NO_MATCH, 0 },
    { 0x00003110, 0, 3, 0, 0, 1, 1, 0x31, UMD_OVERRIDE_COLLECTION, 0 },
    // With a collection, the interface nibble does not count.
    { 0x00002100, 2, 1, 0, 0, 0, 0, 0x21, UMD_OVERRIDE_NO_MATCH, 0 },
    { 0x00002100, 2, 16, 0, 0, 0, 0, 0x21, UMD_OVERRIDE_TOO_LARGE, 0 },
    // Bytes apply from the low one up: a later match replaces an earlier one,
    // and a receiver slot's index is replaced too.
    { 0x00232500, 2, 0, 0, 0, 0, 3, 0x23, UMD_OVERRIDE_INTERFACE, 5 },
    { 0x00002500, 2, 0, 260, 0, 0, 5, 0x25, UMD_OVERRIDE_INTERFACE, 260 },
    { 0x00000000, 2, 0, 260, 0, 0, 260, 0, UMD_OVERRIDE_NO_MATCH, 0 },
  };
  for (const Case& c : cases) {
    UmdPlacement p;
    UmdApplyDepthOverride(c.ulOverride, c.ucInterface, c.ucCollection, c.ulIndexIn, &p);
    const UmdOverrideStep last = p.ulStepCount > 0 ? p.Steps[p.ulStepCount - 1] : UmdOverrideStep{};
    EXPECT_EQ(
        std::make_tuple(p.ulDepth, p.ulTypeOverride, p.ulIndex, (int)last.ucByte, last.outcome, last.ulIndexBefore),
              std::make_tuple(c.ulDepth, c.ulType, c.ulIndex, c.lastByte, c.lastOutcome, c.ulLastIndexBefore))
        << std::hex << c.ulOverride << " if " << (int)c.ucInterface << " col " << (int)c.ucCollection;
  }
}
