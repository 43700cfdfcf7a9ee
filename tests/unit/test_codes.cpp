// Name lookups at their boundaries, and the numbers the host's interface fixes.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/LdCodes.h"

TEST(Codes, NamesAndFallbacksAtTheBoundaries)
{
  // Unassigned values print in decimal up to 100000, in hex above.
  const auto S = LdStatusToString, F = LdFunctionToString, E = LdEventToString, U = UmdIndexToString,
             L = LockIdToString, D = DbtEventToString;
  const struct { const char* (*pfn)(uint32_t); uint32_t ul; const char* sName; } rows[] = {
    { S, 0x80000007, "LD_INVALID_FUNCTION" }, { S, LD_SUCCESS, "LD_SUCCESS" }, { S, LD_MUTEX_ERROR, "LD_MUTEX_ERROR" },
    { S, 30, "LD_FORWARD_TO_ANOTHER_UMD" }, { S, 2, "2" }, { S, 0x80000009, "0x80000009" },
    { F, 0x1000036, "LD_SET_MOUSE_IN_USE_EVENT" }, { F, 0, "LD_REGISTER_EVENT" }, { F, 24, "LD_GET_RADIO_SIGNAL" },
    { F, 25, "25" }, { F, 100000, "100000" }, { F, 100001, "0x000186A1" }, { F, 0x1000037, "0x01000037" },
    { F, LD_LAST_FUNCTION, "LD_LAST_FUNCTION" }, { F, 0x2000007, "LD_SET_KBD_TOUCHPAD_CONFIG" },
    { F, 0x5000002, "LD_SET_AUDIO_FEATURE" }, { E, 6, "6" }, { E, 7, "LD_EVENT_DEVICE_DUMP" },
    { E, 0x1000006, "LD_EVENT_MOUSE_GESTURE" }, { E, 0x6000001, "LD_EVENT_NO_EVENT" }, { U, 12, "12" },
    { U, 9, "UMD_MOUFILT" }, { U, 11, "UMD_HIDFILT_NONCC" }, { L, 79, "LOCK_Unknown17" }, { L, 99, "LOCK_Unknown144" },
    { L, 68, "LOCK_HidMouseExtraButtonsCallback" }, { L, 50, "50" }, { L, 109, "109" },   // used, but without a row
    { L, 10, "LOCK_DeviceMgrExclusiveRemovalThread" }, { D, 0x8004, "DBT_DEVICEREMOVECOMPLETE" },
    { D, 0xFFFF, "DBT_USERDEFINED" }, { D, 0x8007, "32775" },
  };
  for (const auto& r : rows) EXPECT_STREQ(r.pfn(r.ul), r.sName) << r.ul;
  // A later miss in another table leaves this table's fallback text alone.
  const char* s = LdStatusToString(2);
  LdFunctionToString(200000);
  EXPECT_STREQ(s, "2");
  EXPECT_STREQ(g_LdTypeNames[LD_DEVICETYPE_MOUSE], "LD_DEVICETYPE_MOUSE");
  EXPECT_STREQ(g_LdTypeNames[LD_BUS_NAME_BASE + LD_USB], "LD_USB");
  EXPECT_STREQ(g_LdTypeNames[9], "LD_BLUETOOTH");
  const uint32_t values[][2] = {
    { LD_SET_MOUSE_REPORT_RATE_ACC, 0x1000018 }, { LD_GET_MOUSE_WHEEL_ACCELERATION, 0x1000023 },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0x100002F }, { LD_SET_CHORDING_PARMS, 0x1000031 },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 0x1000032 }, { LD_GET_TIME_STAMP, 23 }, { LD_SET_RCV_FLOCK_STATE, 0x3000003 },
    { LD_SET_DISPLAY_TEMP_FORMAT, 0x4000009 },
  };
  for (const auto& v : values) EXPECT_EQ(v[0], v[1]) << LdFunctionToString(v[0]);
}

TEST(Codes, GuidNames)
{
  EXPECT_STREQ(GuidToString(&GUID_INTERFACE_RAWPDO_VMOUFILT), "GUID_INTERFACE_RAWPDO_VMOUFILT");
  EXPECT_STREQ(GuidToString(&GUID_CLASS_VANTORIX_USB_KBD), "GUID_CLASS_VANTORIX_USB_KBD");
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
