// Identification numbers out of instance IDs and the "DEPTH" placement.
#include <gtest/gtest.h>

#include <string>

#include "framework/UmdIdentify.h"

TEST(IdentifyTest, InstanceIdsGiveTheirNumbers)
{
  struct Case {
    const char* sId;   // as the parser gets it: upper case
    bool bIdentified;
    uint16_t usVid, usPid, usRev;
    uint8_t ucInterface, ucCollection, ucSlot;
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
    { "", false, 0, 0, 0, 0, 0, 255, true },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sId);
    UmdIdentification id;
    UmdParseInstanceId(c.sId, &id);
    EXPECT_EQ(id.bIdentified, c.bIdentified);
    EXPECT_EQ(id.usVid, c.usVid);
    EXPECT_EQ(id.usPid, c.usPid);
    EXPECT_EQ(id.usRev, c.usRev);
    EXPECT_EQ(id.ucInterface, c.ucInterface);
    EXPECT_EQ(id.ucCollection, c.ucCollection);
    EXPECT_EQ(id.ucTqIndex, c.ucSlot);
    EXPECT_EQ(id.bSingleInterface, c.bSingle);
  }
  // The copied field texts are what the trace shows: at most the marker's width.
  UmdIdentification id;
  UmdParseInstanceId("HID\\VID_3F1D9&PID_1234&MI_012", &id);
  EXPECT_EQ(std::string(id.Fields[UMD_ID_VID].sText), "3F1D");
  EXPECT_EQ(std::string(id.Fields[UMD_ID_MI].sText), "01");
  EXPECT_FALSE(id.Fields[UMD_ID_REV].bMarker);
}

TEST(IdentifyTest, DepthOverridePlacesTheDevice)
{
  struct Case {
    uint32_t ulOverride;
    uint8_t ucInterface, ucCollection;
    uint32_t ulIndexIn;
    uint32_t ulDepth, ulType, ulIndex;
    UmdOverrideOutcome lastOutcome;
  } cases[] = {
    { 0x00002103, 2, 0, 0, 3, 0, 1, UMD_OVERRIDE_INTERFACE },
    { 0x00002103, 1, 0, 0, 3, 0, 0, UMD_OVERRIDE_NO_MATCH },
    { 0x00003110, 0, 3, 0, 0, 1, 1, UMD_OVERRIDE_COLLECTION },
    // With a collection, the interface nibble does not count.
    { 0x00002100, 2, 1, 0, 0, 0, 0, UMD_OVERRIDE_NO_MATCH },
    { 0x00002100, 2, 16, 0, 0, 0, 0, UMD_OVERRIDE_TOO_LARGE },
    // A later matching byte replaces an earlier one; a receiver slot's index is replaced too.
    { 0x00232500, 2, 0, 0, 0, 0, 3, UMD_OVERRIDE_INTERFACE },
    { 0x00002500, 2, 0, 260, 0, 0, 5, UMD_OVERRIDE_INTERFACE },
    { 0x00000000, 2, 0, 260, 0, 0, 260, UMD_OVERRIDE_NO_MATCH },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.ulOverride << " if " << (int)c.ucInterface << " col "
                                    << (int)c.ucCollection);
    UmdPlacement placement;
    UmdApplyDepthOverride(c.ulOverride, c.ucInterface, c.ucCollection, c.ulIndexIn, &placement);
    EXPECT_EQ(placement.ulDepth, c.ulDepth);
    EXPECT_EQ(placement.ulTypeOverride, c.ulType);
    EXPECT_EQ(placement.ulIndex, c.ulIndex);
    if (placement.ulStepCount > 0) {
      EXPECT_EQ(placement.Steps[placement.ulStepCount - 1].outcome, c.lastOutcome);
    }
  }
  // The second match sees the index the first one set (the caller reports it).
  UmdPlacement placement;
  UmdApplyDepthOverride(0x00232500, 2, 0, 0, &placement);
  ASSERT_EQ(placement.ulStepCount, 2u);
  EXPECT_EQ(placement.Steps[0].ucByte, 0x25);
  EXPECT_EQ(placement.Steps[1].ulIndexBefore, 5u);
}
