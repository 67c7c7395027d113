// A stop asked for the whole process, such as Ctrl-C while several ports are in use: from then
// on no port of any thread reads, writes or opens, and the real clock no longer sleeps, so
// every run ends within a few ms and leaves its device where it was.
#pragma once

namespace korvo {

// Async-signal-safe on POSIX; callable from the console handler's thread on Windows. Reads and
// writes under way return as failures at once, later ones and every open fail, sleeps of the
// real clock end early. port_available keeps working. Bytes handed to a port before the stop
// still leave; nothing written after it is sent.
void port_request_stop();
// A stop was asked for (and not cleared).
[[nodiscard]] bool port_stop_requested();
// Takes the stop back. For tests: a real run never resumes after a stop.
void port_stop_clear();

}  // namespace korvo
