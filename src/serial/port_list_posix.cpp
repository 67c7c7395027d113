// The serial ports of a Linux system, from sysfs: listed without opening any of them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

#include "serial/port.h"
#include "serial/port_posix.h"

namespace korvo {

namespace {

namespace fs = std::filesystem;

std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string canonical_or_empty(const fs::path& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : real.string();
}

// The USB device above a tty in sysfs: its ids, maker and product, and serial number.
void usb_identity(const fs::path& device, PortListing& port) {
  std::error_code ec;
  for (fs::path p = fs::canonical(device, ec); !ec && p.has_relative_path(); p = p.parent_path()) {
    if (!fs::exists(p / "idVendor", ec)) continue;
    port.usb_id = first_line(p / "idVendor") + ":" + first_line(p / "idProduct");
    for (const char* field : {"manufacturer", "product"}) {
      const std::string value = first_line(p / field);
      if (value.empty()) continue;
      if (!port.name.empty()) port.name += " ";
      port.name += value;
    }
    port.serial = first_line(p / "serial");
    return;
  }
}

// A tty's attribute files: the usb-serial port device's own (where ftdi_sio keeps
// latency_timer), else the same folder under the usb-serial bus.
DeviceValues sysfs_values(const std::string& tty) {
  return [tty](const std::string& name) -> std::optional<std::string> {
    for (const fs::path& file : {fs::path("/sys/class/tty") / tty / "device" / name,
                                 fs::path("/sys/bus/usb-serial/devices") / tty / name}) {
      std::ifstream in(file);
      std::string line;
      if (in && std::getline(in, line)) return line;
    }
    return std::nullopt;
  };
}

// The driver of the hardware behind a tty (ftdi_sio, cp210x, serial8250). Newer kernels put
// serial core's own port and controller devices, on the bus serial-base, between the two:
// their drivers ("port", "ctrl") say nothing about the hardware, so look past them.
std::string device_driver(const fs::path& device) {
  std::error_code ec;
  for (fs::path p = fs::canonical(device, ec); !ec && p.has_relative_path(); p = p.parent_path()) {
    const fs::path driver = fs::canonical(p / "driver", ec);
    if (ec) return {};
    if (driver.parent_path().parent_path().filename() != "serial-base") return driver.filename().string();
  }
  return {};
}

void append(std::string& text, const std::string& part) {
  if (part.empty()) return;
  if (!text.empty()) text += ", ";
  text += part;
}

}  // namespace

std::vector<PortListing> port_list() {
  std::map<std::string, PortListing> ports;  // by device path, so the order is stable
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const fs::path device = entry.path() / "device";
    if (!fs::exists(device, ec)) continue;  // virtual terminals and ptys have no device
    const std::string name = entry.path().filename().string();
    const std::string driver = device_driver(device);
    // The legacy UART driver registers ports whether or not a UART answers: type 0 is none.
    if (driver == "serial8250" && first_line(entry.path() / "type") == "0") continue;
    const std::string path = "/dev/" + name;
    if (!fs::exists(path, ec)) continue;
    PortListing& port = ports[path];
    port.path = path;
    port.driver = driver;
    usb_identity(device, port);
    port.latency_timer_ms = adapter_latency_timer(sysfs_values(name));
    port.details = port_listing_details(port);
  }
  // The stable names udev gives USB adapters.
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const std::string target = canonical_or_empty(entry.path());
    const auto it = ports.find(target);
    if (it != ports.end()) append(it->second.details, "by-id " + entry.path().string());
  }
  // The COM numbers korvo answers to: KORVO_COM<n>, or /dev/ttyS<n-1>. A mapped device that
  // sysfs does not list (a pseudo-terminal, say) is shown too: it is what korvo would open.
  for (int n = 99; n >= 1; --n) {
    const std::string mapped = port_posix_device_path(n);
    const std::string real = canonical_or_empty(mapped);
    if (real.empty()) continue;
    auto it = ports.find(real);
    if (it == ports.end()) {
      const std::string variable = "KORVO_COM" + std::to_string(n);
      if (std::getenv(variable.c_str()) == nullptr) continue;
      PortListing mapped_port;
      mapped_port.path = real;
      mapped_port.details = variable + "=" + mapped;
      it = ports.emplace(real, mapped_port).first;
    }
    it->second.number = n;  // counting down: the lowest number that names it wins
  }
  std::vector<PortListing> list;
  for (auto& entry : ports) list.push_back(std::move(entry.second));
  return list;
}

// The timer of a USB adapter's driver, read after the open asked for low latency (which the
// common drivers answer by setting it to 1 ms).
std::optional<PortLatency> port_latency(const PortName& name) {
  if (name.network()) return std::nullopt;
  const std::string opened = name.by_path() ? name.path : port_posix_device_path(name.number);
  const std::string real = canonical_or_empty(opened);
  if (real.empty()) return std::nullopt;
  const std::string tty = fs::path(real).filename().string();
  const std::optional<uint32_t> timer = adapter_latency_timer(sysfs_values(tty));
  if (!timer) return std::nullopt;
  PortLatency latency;
  latency.timer_ms = *timer;
  latency.setting_path = "/sys/bus/usb-serial/devices/" + tty + "/latency_timer";
  return latency;
}

std::string port_identity(const PortName& name) {
  if (name.net == NetParse::OK) return net_address_identity(name.address);
  if (name.network()) return "";
  return canonical_or_empty(name.by_path() ? name.path : port_posix_device_path(name.number));
}

// "ttyUSB0" is what the kernel and the user call the device; a forgotten "/dev/" must not
// leave the word to read as 0, which searches COM1 to COM16 for some other device.
std::optional<PortName> port_name_of_word(const std::string& word) {
  if (word.empty() || word.find('/') != std::string::npos || word == "." || word == "..") {
    return std::nullopt;
  }
  const std::string path = "/dev/" + word;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  return PortName(path);
}

}  // namespace korvo
