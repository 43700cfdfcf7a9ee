// The test driver's control device: its names, control codes and records,
// shared by the kernel driver and the user-mode client. Include after
// <windows.h> or <ntddk.h>.
#pragma once

#define TESTDRV_DEVICE_NAME L"\\Device\\DravTestDrv"
#define TESTDRV_LINK_NAME L"\\DosDevices\\DravTestDrv"
#define TESTDRV_CONTROL_PATH "\\\\.\\DravTestDrv"
#define TESTDRV_HARDWARE_ID "ROOT\\DRAVTESTBUS"

constexpr ULONG TESTDRV_MAX_DATA = 256;          // event packet, logged input, instance ID
constexpr ULONG TESTDRV_MAX_CHILDREN = 32;

enum : ULONG { TESTDRV_ANSWER = 0, TESTDRV_NEVER_ANSWER = 1, TESTDRV_FAIL = 2 };

// Buffered, any access, unknown device type: 0x00220000 | function << 2.
constexpr ULONG TestDrvCode(ULONG ulFunction) { return 0x00220000u | (ulFunction << 2); }
// Every control code takes one TestDrvCommand as input; the fields used and
// the output are given per code.
constexpr ULONG TESTDRV_PLUG = TestDrvCode(0x900);           // Data/ulSize: instance ID -> ULONG child id
constexpr ULONG TESTDRV_UNPLUG = TestDrvCode(0x901);         // ulChild
constexpr ULONG TESTDRV_QUEUE_EVENT = TestDrvCode(0x902);    // ulChild, Data/ulSize: packet
constexpr ULONG TESTDRV_SET_MODE = TestDrvCode(0x903);       // ulChild, ulValue: mode, lStatus: its failure
constexpr ULONG TESTDRV_SET_PARAM = TestDrvCode(0x904);      // ulChild, ulParam, Data/ulSize: value
constexpr ULONG TESTDRV_GET_PARAM = TestDrvCode(0x905);      // ulChild, ulParam -> TestDrvCommand, Data/ulSize
constexpr ULONG TESTDRV_SET_REPLY = TestDrvCode(0x906);      // ulChild, ulParam, ulValue: reply length, ~0u normal
constexpr ULONG TESTDRV_REQUEST_COUNT = TestDrvCode(0x907);  // -> ULONG
constexpr ULONG TESTDRV_GET_REQUEST = TestDrvCode(0x908);    // ulValue: index -> TestDrvRequest
constexpr ULONG TESTDRV_CLEAR_REQUESTS = TestDrvCode(0x909);
constexpr ULONG TESTDRV_PENDING_COUNT = TestDrvCode(0x90A);  // ulChild (0: all) -> ULONG
constexpr ULONG TESTDRV_HANDLE_COUNT = TestDrvCode(0x90B);   // ulChild -> ULONG
constexpr ULONG TESTDRV_INSTANCE_ID = TestDrvCode(0x90C);    // ulChild -> TestDrvCommand, Data: instance ID
constexpr ULONG TESTDRV_RESET = TestDrvCode(0x90D);

struct TestDrvCommand {
  ULONG ulChild;
  ULONG ulParam;
  ULONG ulValue;
  LONG lStatus;
  ULONG ulSize;
  UCHAR Data[TESTDRV_MAX_DATA];
};

// One request a child received; lStatus is STATUS_PENDING while it is open.
struct TestDrvRequest {
  ULONG ulChild;
  ULONG ulIoctl;
  ULONG ulInSize;
  UCHAR In[TESTDRV_MAX_DATA];   // first bytes of the input, as received
  ULONG ulOutSize;
  LONG lStatus;
};
