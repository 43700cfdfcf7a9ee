// Shared pieces of the settings-handler tests: the simulated driver's request
// log read as words.
#pragma once
#include <windows.h>

#include <cstring>
#include <vector>

#include "mouio/MouIo.h"
#include "simdrv/SimDrv.h"

inline std::vector<SimDrvRequest> SimRequests()
{
  std::vector<SimDrvRequest> all;
  ULONG n = SimDrvRequestCount();
  for (ULONG i = 0; i < n; ++i) {
    SimDrvRequest r = {};
    if (SimDrvGetRequest(i, &r)) all.push_back(r);
  }
  return all;
}

inline ULONG SimWord(const SimDrvRequest& r, ULONG ulIndex)
{
  ULONG ul = 0;
  memcpy(&ul, r.In + 4 * ulIndex, sizeof ul);
  return ul;
}

// Requests of one control code for one parameter, optionally of one device.
inline std::vector<SimDrvRequest> SimRequestsFor(DWORD dwIoctl, ULONG ulParam, ULONG ulDevice = 0)
{
  std::vector<SimDrvRequest> out;
  for (const SimDrvRequest& r : SimRequests()) {
    if (r.dwIoctl == dwIoctl && r.ulInSize >= 4 && SimWord(r, 0) == ulParam &&
        (ulDevice == 0 || r.ulDevice == ulDevice)) {
      out.push_back(r);
    }
  }
  return out;
}

inline std::vector<SimDrvRequest> SimSets(ULONG ulParam, ULONG ulDevice = 0)
{
  return SimRequestsFor(IOCTL_RAWPDO_SET, ulParam, ulDevice);
}

inline std::vector<SimDrvRequest> SimGets(ULONG ulParam, ULONG ulDevice = 0)
{
  return SimRequestsFor(IOCTL_RAWPDO_GET, ulParam, ulDevice);
}

inline ULONG SimSetCount()
{
  ULONG n = 0;
  for (const SimDrvRequest& r : SimRequests()) n += r.dwIoctl == IOCTL_RAWPDO_SET;
  return n;
}

inline ULONG FloatWord(float f)
{
  ULONG ul;
  memcpy(&ul, &f, sizeof ul);
  return ul;
}
