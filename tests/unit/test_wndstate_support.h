// Helpers of the system-service tests: raw registry values, saved before a
// case and put back after it.
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
  RawValue v;
  DWORD cb = 0;
  const DWORD dwFlags = RRF_RT_ANY | RRF_NOEXPAND;
  v.bPresent = RegGetValueA(hRoot, sKey, sName, dwFlags, &v.dwType, nullptr, &cb) == ERROR_SUCCESS;
  v.data.resize(cb);
  v.bPresent = v.bPresent && RegGetValueA(hRoot, sKey, sName, dwFlags, &v.dwType, v.data.data(), &cb) == ERROR_SUCCESS;
  v.data.resize(cb);
  return v;
}

// A REG_DWORD value, or -1 when absent or of another form.
inline LONG ReadDword(HKEY hRoot, const char* sKey, const char* sName)
{
  LONG l = -1;
  DWORD cb = sizeof l;
  return RegGetValueA(hRoot, sKey, sName, RRF_RT_REG_DWORD, nullptr, &l, &cb) == ERROR_SUCCESS ? l : -1;
}

inline bool KeyExists(HKEY hRoot, const char* sKey)
{
  HKEY hKey;
  return RegOpenKeyExA(hRoot, sKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS && RegCloseKey(hKey) == ERROR_SUCCESS;
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
      RegDeleteKeyValueA(hRoot, sKey, name.c_str());
    }
  }
  ~RegBackup()
  {
    HKEY hKey;
    if (RegCreateKeyExA(m_hRoot, m_sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
      for (size_t i = 0; i < m_names.size(); ++i) {
        const RawValue& v = m_values[i];
        v.bPresent ? RegSetValueExA(hKey, m_names[i].c_str(), 0, v.dwType, v.data.data(), (DWORD)v.data.size())
                   : RegDeleteValueA(hKey, m_names[i].c_str());
      }
      RegCloseKey(hKey);
    }
    if (!m_bKeyExisted) RegDeleteKeyA(m_hRoot, m_sKey.c_str());   // only succeeds when it has no subkeys
  }
  RegBackup(const RegBackup&) = delete;

private:
  HKEY m_hRoot;
  std::string m_sKey;
  std::vector<std::string> m_names;
  bool m_bKeyExisted;
  std::vector<RawValue> m_values;
};

}  // namespace wndtest
