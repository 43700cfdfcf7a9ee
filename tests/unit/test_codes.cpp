// Name lookups at their boundaries.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/LdCodes.h"

TEST(Codes, StatusNamesAndFallbacks)
{
  EXPECT_STREQ(LdStatusToString(0x80000007), "LD_INVALID_FUNCTION");
  EXPECT_STREQ(LdStatusToString(LD_SUCCESS), "LD_SUCCESS");
  EXPECT_STREQ(LdStatusToString(LD_MUTEX_ERROR), "LD_MUTEX_ERROR");
  EXPECT_STREQ(LdStatusToString(30), "LD_FORWARD_TO_ANOTHER_UMD");
  EXPECT_STREQ(LdStatusToString(2), "2");                  // unassigned
  EXPECT_STREQ(LdStatusToString(0x80000009), "0x80000009"); // unassigned, above 100000
}

TEST(Codes, FunctionNamesAtTheDecimalBoundary)
{
  EXPECT_STREQ(LdFunctionToString(0x1000036), "LD_SET_MOUSE_IN_USE_EVENT");
  EXPECT_STREQ(LdFunctionToString(0), "LD_REGISTER_EVENT");
  EXPECT_STREQ(LdFunctionToString(24), "LD_GET_RADIO_SIGNAL");
  EXPECT_STREQ(LdFunctionToString(25), "25");
  EXPECT_STREQ(LdFunctionToString(100000), "100000");
  EXPECT_STREQ(LdFunctionToString(100001), "0x000186A1");
  EXPECT_STREQ(LdFunctionToString(0x1000037), "0x01000037");
  EXPECT_STREQ(LdFunctionToString(LD_LAST_FUNCTION), "LD_LAST_FUNCTION");
  EXPECT_STREQ(LdFunctionToString(0x2000007), "LD_SET_KBD_TOUCHPAD_CONFIG");
  EXPECT_STREQ(LdFunctionToString(0x5000002), "LD_SET_AUDIO_FEATURE");
}

TEST(Codes, FunctionValuesKeepTheirNumbers)
{
  EXPECT_EQ(LD_SET_MOUSE_REPORT_RATE_ACC, 0x1000018u);
  EXPECT_EQ(LD_GET_MOUSE_WHEEL_ACCELERATION, 0x1000023u);
  EXPECT_EQ(LD_GET_MOUSE_ACCELERATION_CURVE, 0x100002Fu);
  EXPECT_EQ(LD_SET_CHORDING_PARMS, 0x1000031u);
  EXPECT_EQ(LD_GET_MOUSE_WHEEL_RESOLUTION, 0x1000032u);
  EXPECT_EQ(LD_GET_TIME_STAMP, 23u);
  EXPECT_EQ(LD_SET_RCV_FLOCK_STATE, 0x3000003u);
  EXPECT_EQ(LD_SET_DISPLAY_TEMP_FORMAT, 0x4000009u);
}

TEST(Codes, EventUmdAndLockNames)
{
  EXPECT_STREQ(LdEventToString(6), "6");
  EXPECT_STREQ(LdEventToString(7), "LD_EVENT_DEVICE_DUMP");
  EXPECT_STREQ(LdEventToString(0x1000006), "LD_EVENT_MOUSE_GESTURE");
  EXPECT_STREQ(LdEventToString(0x6000001), "LD_EVENT_NO_EVENT");
  EXPECT_STREQ(UmdIndexToString(12), "12");
  EXPECT_STREQ(UmdIndexToString(9), "UMD_MOUFILT");
  EXPECT_STREQ(UmdIndexToString(11), "UMD_HIDFILT_NONCC");
  EXPECT_STREQ(LockIdToString(79), "LOCK_Unknown17");
  EXPECT_STREQ(LockIdToString(99), "LOCK_Unknown144");
  EXPECT_STREQ(LockIdToString(68), "LOCK_HidMouseExtraButtonsCallback");
  EXPECT_STREQ(LockIdToString(50), "50");
  EXPECT_STREQ(LockIdToString(109), "109");   // used, but without a row
  EXPECT_STREQ(LockIdToString(10), "LOCK_DeviceMgrExclusiveRemovalThread");
  EXPECT_STREQ(DbtEventToString(0x8004), "DBT_DEVICEREMOVECOMPLETE");
  EXPECT_STREQ(DbtEventToString(0xFFFF), "DBT_USERDEFINED");
  EXPECT_STREQ(DbtEventToString(0x8007), "32775");
}

TEST(Codes, FallbackBufferIsPerTable)
{
  // A later miss in another table leaves this table's text alone.
  const char* s = LdStatusToString(2);
  LdFunctionToString(200000);
  EXPECT_STREQ(s, "2");
}

TEST(Codes, GuidNames)
{
  EXPECT_STREQ(GuidToString(&GUID_INTERFACE_RAWPDO_VMOUFILT), "GUID_INTERFACE_RAWPDO_VMOUFILT");
  EXPECT_STREQ(GuidToString(&GUID_CLASS_VANTORIX_USB_KBD), "GUID_CLASS_VANTORIX_USB_KBD");
  LdGuid zero = {};
  EXPECT_STREQ(GuidToString(&zero), "{00000000-0000-0000-0000-000000000000}");
  LdGuid g = { 0x01020304, 0xA0B0, 0x0C0D, { 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33 } };
  EXPECT_STREQ(GuidToString(&g), "{01020304-A0B0-0C0D-DEAD-BEEF00112233}");
  // One byte off from a known GUID is not that GUID.
  LdGuid near = GUID_INTERFACE_RAWPDO_VMOUFILT;
  near.Data4[7] ^= 1;
  EXPECT_STREQ(GuidToString(&near), "{5A486531-0201-43E0-BD81-D544BB08D0DD}");
  // The GUID's storage is read as the platform lays it out.
  const unsigned char raw[16] = { 0x31, 0x65, 0x48, 0x5A, 0x01, 0x02, 0xE0, 0x43,
                                  0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC };
  EXPECT_STREQ(GuidToString(raw), "GUID_INTERFACE_RAWPDO_VMOUFILT");
}

TEST(Codes, TypeNamesTable)
{
  EXPECT_STREQ(g_LdTypeNames[LD_DEVICETYPE_MOUSE], "LD_DEVICETYPE_MOUSE");
  EXPECT_STREQ(g_LdTypeNames[LD_BUS_NAME_BASE + LD_USB], "LD_USB");
  EXPECT_STREQ(g_LdTypeNames[9], "LD_BLUETOOTH");
}
