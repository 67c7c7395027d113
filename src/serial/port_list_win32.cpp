// The serial ports of a Windows system: the COM devices the system has, with the friendly
// names Device Manager shows. None of them is opened to be listed.
#include <windows.h>
// After windows.h:
#include <devguid.h>
#include <setupapi.h>

#include <array>
#include <cctype>
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

std::string registry_property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
  std::array<char, 512> text{};
  if (!SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr, reinterpret_cast<BYTE*>(text.data()),
                                         static_cast<DWORD>(text.size() - 1), nullptr)) {
    return {};
  }
  return text.data();
}

// The four hexadecimal digits after "VID_" or "PID_" in a device id, or "".
std::string id_field(const std::string& id, const char* field) {
  const size_t at = id.find(field);
  if (at == std::string::npos || at + 8 > id.size()) return {};
  std::string digits = id.substr(at + 4, 4);
  for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return digits;
}

// USB ids and serial number from the device's instance id: "USB\VID_10C4&PID_EA60\0001" (the
// last part is the serial number unless the system made it up, with "&" in it), or the FTDI
// driver's "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000" (the serial number with the chip's port
// letter behind it).
void usb_identity(const std::string& instance, PortListing& port) {
  const std::string vid = id_field(instance, "VID_");
  const std::string pid = id_field(instance, "PID_");
  if (vid.empty() || pid.empty()) return;
  port.usb_id = vid + ":" + pid;
  if (_strnicmp(instance.c_str(), "FTDIBUS\\", 8) == 0) {
    const size_t plus = instance.find('+', instance.find("PID_"));
    const size_t slash = instance.find('\\', 8);
    if (plus != std::string::npos && slash != std::string::npos && slash > plus + 2) {
      port.serial = instance.substr(plus + 1, slash - plus - 2);
    }
  } else if (_strnicmp(instance.c_str(), "USB\\", 4) == 0) {
    const size_t slash = instance.rfind('\\');
    const std::string last = instance.substr(slash + 1);
    if (slash > 4 && last.find('&') == std::string::npos) port.serial = last;
  }
}

// A device key's values, read only: strings as they are, numbers in decimal.
DeviceValues registry_values(HKEY key) {
  return [key](const std::string& name) -> std::optional<std::string> {
    std::array<BYTE, 256> value{};
    DWORD size = static_cast<DWORD>(value.size() - 1);
    DWORD type = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, value.data(), &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      std::memcpy(&number, value.data(), sizeof number);
      return std::to_string(number);
    }
    if (type == REG_SZ) return std::string(reinterpret_cast<const char*>(value.data()));
    return std::nullopt;
  };
}

// The present ports of the Ports class, by COM number: friendly name, USB identity, driver
// service and the latency timer its driver keeps. Nothing is opened for writing.
std::map<int, PortListing> present_ports() {
  std::map<int, PortListing> ports;
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    const HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const DeviceValues values = registry_values(key);
    const int n = com_number(values("PortName").value_or("").c_str());
    if (n > 0) {
      PortListing& port = ports[n];
      port.number = n;
      port.name = registry_property(set, data, SPDRP_FRIENDLYNAME);
      port.driver = registry_property(set, data, SPDRP_SERVICE);
      std::array<char, 512> instance{};
      if (SetupDiGetDeviceInstanceIdA(set, &data, instance.data(), static_cast<DWORD>(instance.size() - 1),
                                      nullptr)) {
        usb_identity(instance.data(), port);
      }
      port.latency_timer_ms = adapter_latency_timer(values);
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ports;
}

}  // namespace

std::vector<PortListing> port_list() {
  std::map<int, PortListing> ports = present_ports();
  std::vector<PortListing> list;
  std::array<char, 512> target{};
  for (int n = 1; n <= 255; ++n) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "COM%d", n);
    target[0] = '\0';
    const bool present = QueryDosDeviceA(name.data(), target.data(), static_cast<DWORD>(target.size())) != 0;
    const auto found = ports.find(n);
    if (!present && found == ports.end()) continue;
    PortListing port = found != ports.end() ? found->second : PortListing{};
    port.path = std::string("\\\\.\\") + name.data();
    port.number = n;
    port.details = port_listing_details(port);
    if (port.details.empty()) port.details = target.data();  // what the system maps it to
    list.push_back(port);
  }
  return list;
}

std::optional<PortLatency> port_latency(const PortName& name) {
  if (name.by_path()) return std::nullopt;
  const std::map<int, PortListing> ports = present_ports();
  const auto found = ports.find(name.number);
  if (found == ports.end() || !found->second.latency_timer_ms) return std::nullopt;
  PortLatency latency;
  latency.timer_ms = *found->second.latency_timer_ms;
  latency.driver_setting = true;
  return latency;
}

// The device path the system itself uses for port n, as a user may copy it from elsewhere.
// Windows names a port by its number alone; a number the system has no device for is none.
std::string port_identity(const PortName& name) {
  if (name.net == NetParse::OK) return net_address_identity(name.address);
  if (name.by_path()) return name.path;
  const std::string com = "COM" + std::to_string(name.number);
  char target[512];
  if (QueryDosDeviceA(com.c_str(), target, sizeof target) == 0) return "";
  return com;
}

std::optional<PortName> port_name_of_word(const std::string& word) {
  if (word.size() < 5 || word.compare(0, 4, "\\\\.\\") != 0) return std::nullopt;
  const int n = com_number(word.c_str() + 4);
  if (n <= 0) return std::nullopt;
  return PortName(n);
}

}  // namespace korvo
