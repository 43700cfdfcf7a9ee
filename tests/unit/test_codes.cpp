// Name lookups at their boundaries.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/LdCodes.h"

// One name per lookup proves it reads its own table; unassigned values print
// in decimal up to 100000, in hex above.
TEST(Codes, NamesAndFallbacksAtTheBoundaries)
{
  const auto S = LdStatusToString, F = LdFunctionToString, E = LdEventToString, U = UmdIndexToString,
             L = LockIdToString, D = DbtEventToString;
  const struct { const char* (*pfn)(uint32_t); uint32_t ul; const char* sName; } rows[] = {
    { S, 0x80000007, "LD_INVALID_FUNCTION" }, { S, 2, "2" }, { F, 0x1000036, "LD_SET_MOUSE_IN_USE_EVENT" },
    { F, 100000, "100000" }, { F, 100001, "0x000186A1" }, { E, 7, "LD_EVENT_DEVICE_DUMP" }, { U, 9, "UMD_MOUFILT" },
    { L, 68, "LOCK_HidMouseExtraButtonsCallback" }, { D, 0x8004, "DBT_DEVICEREMOVECOMPLETE" },
  };
  for (const auto& r : rows) EXPECT_STREQ(r.pfn(r.ul), r.sName) << r.ul;
  // A later miss in another table leaves this table's fallback text alone.
  const char* s = LdStatusToString(2);
  LdFunctionToString(200000);
  EXPECT_STREQ(s, "2");
}

TEST(Codes, GuidNames)
{
  EXPECT_STREQ(GuidToString(&GUID_INTERFACE_RAWPDO_VMOUFILT), "GUID_INTERFACE_RAWPDO_VMOUFILT");
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
