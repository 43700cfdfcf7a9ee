// The host's stand-in for discovery: devices for simulated driver paths.
#include <gtest/gtest.h>

#include <cstring>

#include "host/RefHost.h"
#include "plugin/LdCodes.h"
#include "simdrv/SimDrv.h"

TEST(RefHostSim, ADeviceForASimulatedPathIsOpenedAndFilledIn)
{
  SimDrvReset();
  RefHost* pHost = RefHostGet();
  ASSERT_TRUE(RefHostInit(pHost));
  const char sPath[] = "\\\\?\\HID#VID_1A2B&PID_0001#host#mouse0";
  tDevice* pDevice = RefHostAddSimDevice(pHost, sPath);
  ASSERT_NE(pDevice, nullptr);
  UmdDevInfo* pDevInfo = RefHostDevInfo(pDevice);
  ASSERT_NE(pDevInfo, nullptr);
  EXPECT_STREQ(pDevInfo->sPath, sPath);
  ASSERT_NE(pDevInfo->hHandle, nullptr);
  ASSERT_NE(pDevInfo->hHandle, INVALID_HANDLE_VALUE);
  ULONG ulSim = RefHostSimDeviceOf(pHost, pDevice);
  EXPECT_NE(ulSim, 0u);
  EXPECT_EQ(SimDrvDeviceOfHandle(pDevInfo->hHandle), ulSim);
  EXPECT_EQ(pDevice->RemoveLock[UMD_MOUFILT].lLock, 0);   // the creation hold is let go
  EXPECT_EQ(pDevice->UMDPresent[UMD_MOUFILT], 1u);
  EXPECT_EQ(pDevInfo->bVirtual, FALSE);

  // A second device is a second simulated device.
  tDevice* pSecond = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#host#mouse1", LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pSecond, nullptr);
  EXPECT_NE(RefHostSimDeviceOf(pHost, pSecond), ulSim);
  EXPECT_EQ(pSecond->ulDeviceType, (ULONG)LD_DEVICETYPE_KEYBOARD);

  // The host's removal closes what it opened.
  HANDLE hHandle = pDevInfo->hHandle;
  EXPECT_TRUE(RefHostRemoveDevice(pHost, pDevice, UMD_MOUFILT, FALSE, LOCK_DoNotAcquireLock));
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
  EXPECT_EQ(SimDrvDeviceOfHandle(hHandle), 0u);
  RefHostShutdown(pHost);
  SimDrvReset();
}
