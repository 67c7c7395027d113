// The serial ports of a Windows system: the COM devices the system has, with the friendly
// names Device Manager shows. None of them is opened to be listed.
#include <windows.h>
// After windows.h:
#include <devguid.h>
#include <setupapi.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "serial/port.h"

namespace korvo {

namespace {

// COM number from "COM12", or 0.
int com_number(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return 0;
  int n = 0;
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || n > 1000) return 0;
    n = n * 10 + (*p - '0');
  }
  return n;
}

// Friendly names of the present ports, by COM number.
std::map<int, std::string> friendly_names() {
  std::map<int, std::string> names;
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    std::array<char, 256> friendly{};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(friendly.data()),
                                           static_cast<DWORD>(friendly.size() - 1), nullptr)) {
      continue;
    }
    const HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    std::array<char, 32> port{};
    DWORD size = static_cast<DWORD>(port.size() - 1);
    DWORD type = 0;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port.data()), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
      const int n = com_number(port.data());
      if (n > 0) names[n] = friendly.data();
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

}  // namespace

std::vector<PortListing> port_list() {
  const std::map<int, std::string> names = friendly_names();
  std::vector<PortListing> list;
  std::array<char, 512> target{};
  for (int n = 1; n <= 255; ++n) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "COM%d", n);
    const bool present = QueryDosDeviceA(name.data(), target.data(), static_cast<DWORD>(target.size())) != 0;
    const auto friendly = names.find(n);
    if (!present && friendly == names.end()) continue;
    std::string details = friendly != names.end() ? friendly->second : std::string(target.data());
    list.push_back({std::string("\\\\.\\") + name.data(), n, details});
  }
  return list;
}

// The device path the system itself uses for port n, as a user may copy it from elsewhere.
std::optional<PortName> port_name_of_word(const std::string& word) {
  if (word.size() < 5 || word.compare(0, 4, "\\\\.\\") != 0) return std::nullopt;
  const int n = com_number(word.c_str() + 4);
  if (n <= 0) return std::nullopt;
  return PortName(n);
}

}  // namespace korvo
