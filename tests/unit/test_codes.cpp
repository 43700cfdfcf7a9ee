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

// A known GUID by name; one byte off, every field in hex. The storage is read
// as the platform lays a GUID out.
TEST(Codes, GuidNames)
{
  LdGuid near = GUID_INTERFACE_RAWPDO_VMOUFILT;
  near.Data4[7] ^= 1;
  EXPECT_STREQ(GuidToString(&near), "{5A486531-0201-43E0-BD81-D544BB08D0DD}");
  const unsigned char raw[16] = { 0x31, 0x65, 0x48, 0x5A, 0x01, 0x02, 0xE0, 0x43,
                                  0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC };
  EXPECT_STREQ(GuidToString(raw), "GUID_INTERFACE_RAWPDO_VMOUFILT");
}
