// Helpers of the system-service tests: raw registry values and the user's
// system mouse settings, saved before a case and put back after it.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace wndtest {

constexpr const char* kDravKey = "SOFTWARE\\Vantorix\\DRAV";
constexpr const char* kCplKey = "SOFTWARE\\Vantorix\\DRAV\\LastMouseCPLInteraction";

struct RawValue {
  bool bPresent = false;
  DWORD dwType = REG_NONE;
  std::vector<BYTE> data;
};

inline RawValue ReadRaw(HKEY hRoot, const char* sKey, const char* sName)
{
  RawValue value;
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, sKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return value;
  }
  DWORD cb = 0;
  if (RegQueryValueExA(hKey, sName, nullptr, &value.dwType, nullptr, &cb) == ERROR_SUCCESS) {
    value.data.resize(cb);
    if (RegQueryValueExA(hKey, sName, nullptr, &value.dwType, value.data.data(), &cb) == ERROR_SUCCESS) {
      value.data.resize(cb);
      value.bPresent = true;
    }
  }
  RegCloseKey(hKey);
  return value;
}

// A REG_DWORD value, or -1 when absent or of another form.
inline LONG ReadDword(HKEY hRoot, const char* sKey, const char* sName)
{
  RawValue raw = ReadRaw(hRoot, sKey, sName);
  LONG l = -1;
  if (raw.bPresent && raw.dwType == REG_DWORD && raw.data.size() == 4) {
    memcpy(&l, raw.data.data(), 4);
  }
  return l;
}

inline bool KeyExists(HKEY hRoot, const char* sKey)
{
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, sKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(hKey);
  return true;
}

// Saves named values of one key and whether the key existed, deletes the
// values so that a case starts without them, and puts them back.
class RegBackup {
public:
  RegBackup(HKEY hRoot, const char* sKey, std::vector<std::string> names)
      : m_hRoot(hRoot), m_sKey(sKey), m_names(std::move(names)), m_bKeyExisted(KeyExists(hRoot, sKey))
  {
    for (const auto& name : m_names) {
      m_values.push_back(ReadRaw(hRoot, sKey, name.c_str()));
    }
    SetValues(false);
  }
  ~RegBackup()
  {
    SetValues(true);
    if (!m_bKeyExisted) {
      RegDeleteKeyA(m_hRoot, m_sKey.c_str());  // only succeeds when it has no subkeys
    }
  }
  RegBackup(const RegBackup&) = delete;
  RegBackup& operator=(const RegBackup&) = delete;

private:
  void SetValues(bool bRestore)
  {
    HKEY hKey;
    const LONG lOpened =
        bRestore ? RegCreateKeyExA(m_hRoot, m_sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr)
                 : RegOpenKeyExA(m_hRoot, m_sKey.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    if (lOpened != ERROR_SUCCESS) {
      return;
    }
    for (size_t i = 0; i < m_names.size(); ++i) {
      const RawValue& v = m_values[i];
      if (bRestore && v.bPresent) {
        RegSetValueExA(hKey, m_names[i].c_str(), 0, v.dwType, v.data.data(), (DWORD)v.data.size());
      } else {
        RegDeleteValueA(hKey, m_names[i].c_str());
      }
    }
    RegCloseKey(hKey);
  }

  HKEY m_hRoot;
  std::string m_sKey;
  std::vector<std::string> m_names;
  bool m_bKeyExisted;
  std::vector<RawValue> m_values;
};

// The user's system mouse settings as the system reports them.
struct SystemMouse {
  int iSpeed = 0;
  int aAccel[3] = {0, 0, 0};
  int iSwap = 0;
  UINT uiWheelLines = 0;
  UINT uiWheelChars = 0;
};

inline SystemMouse ReadSystemMouse()
{
  SystemMouse m;
  SystemParametersInfoA(0x70, 0, &m.iSpeed, 0);
  SystemParametersInfoA(0x03, 0, m.aAccel, 0);
  m.iSwap = GetSystemMetrics(SM_SWAPBUTTON);
  SystemParametersInfoA(0x68, 0, &m.uiWheelLines, 0);
  SystemParametersInfoA(0x6C, 0, &m.uiWheelChars, 0);
  return m;
}

inline void WriteSystemMouse(const SystemMouse& m)
{
  // Wine takes the speed from uiParam, Windows from pvParam.
  SystemParametersInfoA(0x71, (UINT)m.iSpeed, (PVOID)(INT_PTR)m.iSpeed, SPIF_UPDATEINIFILE);
  int aAccel[3] = {m.aAccel[0], m.aAccel[1], m.aAccel[2]};
  SystemParametersInfoA(0x04, 0, aAccel, SPIF_UPDATEINIFILE);
  SystemParametersInfoA(0x21, (UINT)m.iSwap, nullptr, SPIF_UPDATEINIFILE);
  SystemParametersInfoA(0x69, m.uiWheelLines, nullptr, SPIF_UPDATEINIFILE);
  SystemParametersInfoA(0x6D, m.uiWheelChars, nullptr, SPIF_UPDATEINIFILE);
}

}  // namespace wndtest
