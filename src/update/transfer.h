// The installation: bootloader entry, start command, every record as a packet, leave.
#pragma once

struct RunState;

// 0 when every record was accepted, -1 otherwise (the message has been printed).
[[nodiscard]] int transfer_firmware(RunState& run);
