// The Win32 serial backend: one COM device opened for overlapped I/O, every read and write
// bounded by a wait of PORT_IO_WAIT_MS on the transfer's own event.
#include <windows.h>

#include <string>

#include "serial/net.h"
#include "serial/port.h"
#include "serial/port_win32.h"
#include "serial/stop.h"

namespace korvo {

namespace {

struct Win32Port final : PortBackend {
  HANDLE handle = nullptr;
  OVERLAPPED read_overlapped{};
  OVERLAPPED write_overlapped{};

  ~Win32Port() override { close(); }

  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override;
  bool set_baud(uint32_t baud) override;
  void close() override;
  bool has_handle() const override { return handle != nullptr; }
  int32_t write(const uint8_t* data, int32_t count) override;
  int32_t read(uint8_t* buffer, int32_t count) override;
  int32_t available() override;
};

// The one release path: used by close and by every failure during open or a speed change,
// so it copes with a half-built record and never releases anything twice.
void release(Win32Port& port) {
  for (OVERLAPPED* ov : {&port.read_overlapped, &port.write_overlapped}) {
    if (ov->hEvent != nullptr) CloseHandle(ov->hEvent);
    ov->hEvent = nullptr;
  }
  if (port.handle != nullptr) CloseHandle(port.handle);
  port.handle = nullptr;
}

// A fresh record for the next transfer: an earlier one may have left its counts behind. Its
// event needs no reset here: ReadFile and WriteFile clear it as they begin, and under Wine
// every extra call on the event is a round trip to its server, several for each packet.
void prepare(OVERLAPPED& ov) {
  const HANDLE event = ov.hEvent;
  ov = OVERLAPPED{};
  ov.hEvent = event;
}

// Waits up to ms for the transfer's event, or for a stop; true when the transfer ended.
bool transfer_ended(HANDLE event, DWORD ms) {
  const HANDLE stop = port_win32_stop_event();
  if (stop == nullptr) return WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
  const HANDLE both[2] = {event, stop};
  // The transfer's own event first: of the two at once, a completed transfer counts.
  return WaitForMultipleObjects(2, both, FALSE, ms) == WAIT_OBJECT_0;
}

// Starts one overlapped transfer on `ov` and waits at most PORT_IO_WAIT_MS for its end, or
// until a stop. A transfer still running when the wait ends is cancelled and its end
// collected, so it cannot touch the caller's buffer later and the record is idle again. Gives
// the bytes moved, or -1. Nothing starts once a stop is asked for.
template <typename Start>
int32_t transfer(HANDLE handle, OVERLAPPED& ov, bool is_write, Start start) {
  if (port_stop_requested()) return -1;
  prepare(ov);
  if (!start(ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (!transfer_ended(ov.hEvent, PORT_IO_WAIT_MS)) {
      CancelIoEx(handle, &ov);
      DWORD moved = 0;
      const BOOL finished = GetOverlappedResult(handle, &ov, &moved, TRUE);
      // A read may have placed bytes in the buffer before it was stopped: they have left
      // the driver's queue, so they are handed over rather than lost. A write that did
      // not finish in time is a failed write, whatever part of it went out.
      if (!is_write) return static_cast<int32_t>(moved);
      return finished ? static_cast<int32_t>(moved) : -1;
    }
  }
  if (is_write) FlushFileBuffers(handle);
  DWORD moved = 0;
  if (!GetOverlappedResult(handle, &ov, &moved, TRUE)) return -1;
  return static_cast<int32_t>(moved);
}

bool configure(HANDLE handle, uint32_t baud, bool full) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  // Settings that cannot be read cannot be changed field by field: a failed configuration.
  if (!GetCommState(handle, &dcb)) return false;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  if (full) {
    // No flow control that could hold output back, DTR raised while the port is open;
    // parity, stop bits and RTS stay as the port has them.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
  }
  return SetCommState(handle, &dcb) != 0;
}

// The system's words for an error code, without the line end it brings.
std::string system_text(DWORD error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
    reason.pop_back();
  }
  return reason;
}

void describe(OpenFailure& failure, DWORD error) {
  failure.reason = system_text(error);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      failure.error = OpenError::MISSING;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // A COM device opened unshared by another program answers "access denied".
      failure.error = OpenError::IN_USE;
      break;
    default:
      failure.error = OpenError::FAILED;
      break;
  }
}

bool Win32Port::open(const PortName& name, uint32_t baud, OpenFailure& failure) {
  release(*this);
  char path[32];
  if (name.by_path() || name.number < 1) {
    failure.error = OpenError::MISSING;
    return false;
  }
  wsprintfA(path, "\\\\.\\COM%d", name.number);
  failure.path = path;
  if (port_stop_requested()) {
    failure.error = OpenError::FAILED;
    failure.reason = "korvo is stopping";
    return false;
  }
  const HANDLE opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    describe(failure, GetLastError());
    return false;
  }
  handle = opened;
  read_overlapped = OVERLAPPED{};
  write_overlapped = OVERLAPPED{};

  // A read waits for its first byte with no limit of the driver's own, then ends
  // PORT_READ_INTERVAL_MS after the last byte; the bound is the wait in transfer().
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = PORT_READ_INTERVAL_MS;
  SetCommTimeouts(handle, &timeouts);

  read_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  write_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  const bool configured = configure(handle, baud, true);
  const bool queues = configured && SetupComm(handle, PORT_QUEUE_BYTES, PORT_QUEUE_BYTES) != 0;
  if (!queues || read_overlapped.hEvent == nullptr || write_overlapped.hEvent == nullptr) {
    failure.error = OpenError::FAILED;
    failure.reason = "the port's settings could not be made";
    release(*this);
    return false;
  }
  return true;
}

bool Win32Port::set_baud(uint32_t baud) {
  if (configure(handle, baud, false)) return true;
  release(*this);
  return false;
}

void Win32Port::close() { release(*this); }

int32_t Win32Port::write(const uint8_t* data, int32_t count) {
  if (count <= 0) return 0;
  const int32_t n = transfer(handle, write_overlapped, true, [&](OVERLAPPED& ov) {
    return WriteFile(handle, data, static_cast<DWORD>(count), nullptr, &ov) != 0;
  });
  return n < 0 ? 0 : n;
}

int32_t Win32Port::read(uint8_t* buffer, int32_t count) {
  if (count <= 0) return 0;
  const ULONGLONG start = GetTickCount64();
  const int32_t n = transfer(handle, read_overlapped, false, [&](OVERLAPPED& ov) {
    return ReadFile(handle, buffer, static_cast<DWORD>(count), nullptr, &ov) != 0;
  });
  if (n > 0) return n;
  // A read never ends empty on a working port (the first byte is waited for), so an early
  // empty end is a failure, such as a device that went away. Its callers read again until
  // their own limit: wait out the rest of the read's time so that they never spin.
  const ULONGLONG spent = GetTickCount64() - start;
  if (spent < PORT_IO_WAIT_MS) clock_system().sleep_ms(static_cast<uint32_t>(PORT_IO_WAIT_MS - spent));
  return 0;
}

int32_t Win32Port::available() {
  COMSTAT status{};
  DWORD errors = 0;
  if (!ClearCommError(handle, &errors, &status)) return 0;
  return static_cast<int32_t>(status.cbInQue);
}

}  // namespace

std::unique_ptr<PortBackend> port_backend_serial() { return std::make_unique<Win32Port>(); }

// Windows names ports by number only; "/?" and other slashes are options there.
const bool PORT_PATHS_ALLOWED = false;

}  // namespace korvo
