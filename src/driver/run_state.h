// Everything that lives for the whole run, in one record: a test starts from a fresh one.
#pragma once

#include <cstdint>

#include "discovery/probe.h"
#include "driver/console.h"
#include "images/image.h"
#include "protocol/boot.h"
#include "protocol/device_info.h"
#include "serial/port.h"

struct RunState {
  SerialPort port;
  uint32_t current_baud = 0;  // 19200, 115200, or 0 when the port is not usable
  ProbeState probe_state = PROBE_NONE;
  DeviceInfo device;
  BootInfo boot_info{};
  CommandBuffer command{};
  const ImageTable* images = nullptr;
  const Image* selected_image = nullptr;
  bool wait_for_key = false;
  uint32_t first_port = 0;
  uint32_t last_port = 0;
  uint32_t found_port = 0;  // where the scan stopped
  Clock* clock = nullptr;
  Console* console = nullptr;
  ConsoleOut out;
};
