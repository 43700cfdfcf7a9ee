// A fixture shared by the tests that run the linked plug-in code bound to the
// reference host and the simulated driver on the test's own thread.
#pragma once
#include <gtest/gtest.h>

#include "host/RefHost.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"

class BoundHostTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;

  void SetUp() override
  {
    SimDrvReset();
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
    pHost->pfnDeviceControl = MouDeviceControl;
    pHost->pfnDeviceCleanup = MouDeviceCleanup;
    ASSERT_EQ(MouMainInit(pHost->Api, 0, 0), 1u);
  }
  void TearDown() override
  {
    MouMainExit(0, 0);
    PumpMessages();   // the window's close
    RefHostShutdown(pHost);
    SimDrvReset();
  }
  static void PumpMessages()
  {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
};
