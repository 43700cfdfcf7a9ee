// Acceleration curves: the six slots of the device record, their built-in
// defaults, and the get and set handlers.
#include <atomic>
#include <cstring>

#include "mouio/MouIoInternal.h"

// The slots live in the host's shared memory, where another process may
// write them at any time: a size is read once and used as read, and the
// points are in place before a size announces them.
static ULONG SlotSize(const tAccelCurveSlot* pSlot)
{
  ULONG ulBytes = *reinterpret_cast<const volatile ULONG*>(&pSlot->ulCurveSize);
  std::atomic_thread_fence(std::memory_order_acquire);
  return ulBytes;
}

static void PublishSlot(tAccelCurveSlot* pSlot, const void* pPoints, ULONG ulBytes)
{
  if (ulBytes != 0) {
    memcpy(pSlot->CurveData, pPoints, ulBytes);
  }
  std::atomic_thread_fence(std::memory_order_release);
  *reinterpret_cast<volatile ULONG*>(&pSlot->ulCurveSize) = ulBytes;
}

// A point is (low 16 bits, high 16 bits); the driver reads both halves.
#define PT(low, high) ((ULONG)(low) | ((ULONG)(high) << 16))

static const ULONG s_Curve1[] = { PT(16, 256),  PT(80, 320),  PT(112, 384), PT(144, 448), PT(176, 512),
                                  PT(592, 576), PT(624, 640), PT(656, 704), PT(688, 768) };
static const ULONG s_Curve2[] = { PT(16, 256),  PT(144, 320), PT(192, 384), PT(240, 448), PT(288, 512),
                                  PT(336, 576), PT(384, 640), PT(432, 704), PT(480, 768), PT(528, 832),
                                  PT(592, 896), PT(656, 960), PT(736, 1024) };
static const ULONG s_Curve3[] = { PT(16, 256),   PT(32, 320),   PT(48, 384),   PT(64, 448),   PT(80, 512),
                                  PT(112, 576),  PT(144, 640),  PT(176, 704),  PT(208, 768),  PT(256, 832),
                                  PT(304, 896),  PT(352, 960),  PT(400, 1024), PT(448, 1088), PT(496, 1152),
                                  PT(560, 1216), PT(624, 1280), PT(688, 1344), PT(768, 1408), PT(848, 1472),
                                  PT(960, 1536) };
static const ULONG s_Curve4[] = { PT(0, 96),    PT(16, 96),   PT(48, 112),  PT(80, 128),
                                  PT(128, 144), PT(240, 160), PT(352, 176), PT(384, 192),
                                  PT(432, 224), PT(512, 256), PT(656, 256) };
static const ULONG s_Curve5[] = { PT(0, 96),    PT(16, 96),    PT(48, 112),  PT(80, 128), PT(128, 176),
                                  PT(192, 208), PT(368, 240),  PT(464, 272), PT(656, 320) };
static const ULONG s_Curve6[] = { PT(0, 96),    PT(16, 96),   PT(48, 112),  PT(80, 128),  PT(208, 224),
                                  PT(288, 256), PT(368, 256), PT(448, 256), PT(592, 352), PT(688, 384) };
#undef PT

const MouDefaultCurve g_MouDefaultCurves[CURVE_COUNT] = {
  { s_Curve1, sizeof s_Curve1 }, { s_Curve2, sizeof s_Curve2 }, { s_Curve3, sizeof s_Curve3 },
  { s_Curve4, sizeof s_Curve4 }, { s_Curve5, sizeof s_Curve5 }, { s_Curve6, sizeof s_Curve6 },
};

LD_STATUS MouIoGetAccelerationTable(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_STATUS);

  auto* pRecord = static_cast<MouCurveRecord*>(pBuffer);
  ULONG ulCurve = pRecord->ulCurve;
  if (ulCurve == 0 || ulCurve > CURVE_COUNT) {
    TRACE_INFO("Curve Index (%d) is out of range.", (int)ulCurve);
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));
    return LD_INVALID_PARAMETER;
  }
  ULONG i = ulCurve - 1;
  TRACE_INFO("Curve index : %d.", (int)i);
  tAccelCurveSlot* pSlot = &pDevice->AccelCurves[i];
  ULONG ulBytes = SlotSize(pSlot);
  if (ulBytes > CURVE_MAX_BYTES) {
    TRACE_ERROR("Curve %d holds %d bytes, more than the slot (%d). Using Default curves.", (int)i, (int)ulBytes,
                (int)CURVE_MAX_BYTES);
    ulBytes = 0;
  }
  if (ulBytes == 0) {
    TRACE_INFO("Curve %d is Empty. Using Default curves.", (int)i);
    const MouDefaultCurve& def = g_MouDefaultCurves[i];
    if (def.ulBytes >= 1 && def.ulBytes <= CURVE_MAX_BYTES) {
      PublishSlot(pSlot, def.pPoints, def.ulBytes);
      ulBytes = def.ulBytes;
    } else {
      TRACE_INFO("Default curve# %d is too large(%d) for the tDevice buffer (%d). Acceleration is disabled.", (int)i,
                 (int)def.ulBytes, (int)CURVE_MAX_BYTES);
      DRAV_ASSERT_TEXT(FALSE, "FALSE");
      PublishSlot(pSlot, nullptr, 0);
    }
  }
  memcpy(pRecord->Points, pSlot->CurveData, ulBytes);
  pRecord->ulPoints = ulBytes / sizeof(ULONG);
  TRACE_INFO("Curve has %d points.", (int)pRecord->ulPoints);
  *pReturnedSize = MOU_CURVE_RECORD_SIZE;
  TRACE_INFO("exit, status=%s", LdStatusToString(LD_SUCCESS));
  return LD_SUCCESS;
}

LD_STATUS MouIoSetAccelerationTable(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_STATUS);

  const auto* pRecord = static_cast<const MouCurveRecord*>(pBuffer);
  ULONG ulCurve = pRecord->ulCurve;
  if (ulCurve == 0 || ulCurve > CURVE_COUNT || pRecord->ulPoints > CURVE_MAX_POINTS) {
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));
    return LD_INVALID_PARAMETER;
  }
  tAccelCurveSlot* pSlot = &pDevice->AccelCurves[ulCurve - 1];
  PublishSlot(pSlot, pRecord->Points, pRecord->ulPoints * sizeof(ULONG));

  // Reading it back refills an emptied slot with the default at once.
  MouCurveRecord readBack = {};
  readBack.ulSize = MOU_CURVE_RECORD_SIZE;
  readBack.ulCurve = ulCurve;
  ULONG ulSize = 0;
  MouIoGetAccelerationTable(pDevice, &readBack, &ulSize);

  MouValueRecord level = { MOU_VALUE_RECORD_SIZE, 0 };
  LD_STATUS status = MouIoGetAcceleration(pDevice, &level, &ulSize);
  if (status == LD_SUCCESS && level.ulValue == ulCurve) {
    // The active curve changed: the driver gets it with its level again.
    status = MouIoSetAcceleration(pDevice, &level, &ulSize);
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}
