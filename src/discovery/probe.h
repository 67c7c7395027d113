// Is the application running, the bootloader, or nothing?
#pragma once

struct RunState;

enum ProbeState { PROBE_NONE = 0, PROBE_APPLICATION = 1, PROBE_BOOTLOADER = 2 };

// 0 a device answered; 1 port not usable; 3, 4, 5 a speed change failed (port closed);
// 6 nothing answered (port back at 19200).
[[nodiscard]] int device_probe(RunState& run);
