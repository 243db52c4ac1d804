#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "link/line_settings_win32.h"
#include "link/network_address.h"
#include "link/overlapped_request_win32.h"
#include "link/serial_port.h"
#include "ui/win32/win32_text.h"

namespace comm {

namespace {

constexpr DWORD kWriteWaitMs = 5000;
constexpr DWORD kReadWaitMs = 2000;
constexpr DWORD kDriverQueue = 10000;
// How long a driver may take to end a request once it is told to: a virtual COM port, a
// Bluetooth or a cheap USB driver may be slow to, or never do it. One that has not ended by
// then fails the port instead of freezing the window that waits for it.
constexpr DWORD kEndBoundMs = 1000;

// Ends a pending WaitCommEvent the documented way: setting the event mask again ends it.
BOOL EndEventWait(HANDLE port) {
  return SetCommMask(port, EV_RXCHAR);
}

// For the tests only, never for a user: VESKER_LINK_TEST_COMM_EVENTS=1 makes the port wait
// for bytes with WaitCommEvent from the start, as it does on Windows' own drivers, so that
// the end-to-end tests run that path under Wine too (where a pending read serves instead).
bool WaitOnCommEventsForTests() {
  char value[8] = {};
  return GetEnvironmentVariableA("VESKER_LINK_TEST_COMM_EVENTS", value, sizeof(value)) == 1 &&
         value[0] == '1';
}

// What an error from opening a COM port means to a user. Windows answers "access denied"
// for a port that another program holds.
PortFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortFailure::kBusy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_NAME:
      return PortFailure::kMissing;
    default:
      return PortFailure::kOther;
  }
}

// The driver's input queue in bytes, as it reports it; 0 when it does not say.
DWORD InputQueueSize(HANDLE handle) {
  COMMPROP properties{};
  properties.wPacketLength = sizeof(properties);
  return GetCommProperties(handle, &properties) ? properties.dwCurrentRxQueue : 0;
}

}  // namespace

void SerialPort::HandleCloser::operator()(void* handle) const {
  CloseHandle(static_cast<HANDLE>(handle));
}

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  Close();
}

void SerialPort::SetPortMapFolder(const std::string& /*folder*/) {}

std::string SerialPort::DevicePath(int port) {
  if (std::string device = MappedDevice(port); !device.empty()) {
    return device;
  }
  // Only COM1 to COM9 open by their bare names; the device name opens every COM port.
  return "\\\\.\\COM" + std::to_string(port);
}

int SerialPort::Open(int port, int baud) {
  if (open_) {
    Close();
  }
  Fail(PortFailure::kNone, std::string());
  if (IsNetworkPortName(DevicePath(port))) {
    // Windows reaches a serial device server through the server's own virtual COM driver.
    Fail(PortFailure::kOther,
         "network ports are for Linux; on Windows use the device server's "
         "virtual COM port");
    return 0;
  }
  HANDLE handle =
      CreateFileW(ui::Widen(DevicePath(port)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    Fail(FailureOf(error), ui::SystemErrorText(error));
    return 0;
  }
  handle_.reset(handle);

  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  // A name that opens but has no line behind it (under Wine, a COM port whose device is
  // gone) has no state to tell: it is no serial port at all.
  if (!GetCommState(handle, &dcb)) {
    Fail(PortFailure::kMissing, "not a serial port: " + ui::SystemErrorText(GetLastError()));
    Close();
    return 0;
  }
  // Only a wish: a driver keeps the queues it has (Wine's does nothing with it), and the port
  // keeps its own input queue anyway.
  SetupComm(handle, kDriverQueue, kDriverQueue);
  SetWholeLine(dcb, baud, InputQueueSize(handle));
  // Reads return at once with what is buffered; writes give up after 5 seconds.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = kWriteWaitMs;
  if (!SetCommState(handle, &dcb) || !SetCommTimeouts(handle, &timeouts)) {
    Fail(PortFailure::kSettings, ui::SystemErrorText(GetLastError()));
    Close();
    return 0;
  }
  read_ = OverlappedRequest::Make();
  write_ = OverlappedRequest::Make();
  if (!read_ || !write_) {
    Fail(PortFailure::kOther, ui::SystemErrorText(GetLastError()));
    Close();
    return 0;
  }
  // Under Wine the device behind the port may still hold bytes a receiver sent in an earlier
  // exchange: they are no answer to this one. What the port's last user sent is still on its
  // way out (an upgrade's CMD_STOP, then the connection test on a port of its own): that goes
  // on.
  PurgeComm(handle, PURGE_RXCLEAR);
  baud_ = baud;
  queue_.Clear();
  waitsOnEvents_ = WaitOnCommEventsForTests();
  open_ = 1;
  return 1;
}

void SerialPort::Close() {
  // No request is under way here: each ends (or is kept) before the call that began it returns.
  handle_.reset();
  read_.reset();
  write_.reset();
  wait_.reset();
  waitsOnEvents_ = false;
  open_ = 0;
  queue_.Clear();
}

void SerialPort::Abandon(std::unique_ptr<OverlappedRequest>& request, const char* what) {
  KeepUntilEnded(std::move(request));
  Fail(PortFailure::kOther, std::string("the serial port's driver did not end a cancelled ") +
                                what + " within a second, so the port was closed");
  Close();
}

void SerialPort::WaitForArrival(std::chrono::milliseconds ms) {
  HANDLE handle = static_cast<HANDLE>(handle_.get());
  const auto wait = static_cast<DWORD>(ms.count());
  std::size_t room = 0;
  unsigned char* tail = queue_.Tail(room);
  if (room == 0) {
    Sleep(wait);
    return;
  }
  if (!waitsOnEvents_) {
    // Under Wine a read of an empty line stays pending until a byte comes, so the read is
    // the wait. Windows' own drivers return it at once, empty: they wait on events below.
    if (!ReadFile(handle, read_->Bytes(1), 1, nullptr, read_->Start()) &&
        GetLastError() != ERROR_IO_PENDING) {
      Sleep(wait);
      return;
    }
    const RequestEnd end = FinishRequest(handle, *read_, wait, kEndBoundMs);
    if (!end.ended) {
      Abandon(read_, "read");
      return;
    }
    if (end.bytes != 0) {
      *tail = read_->Bytes()[0];
      queue_.Added(1);
      return;
    }
    if (end.cancelled) {
      return;  // the time is up, nothing came
    }
    // Done, and empty: a driver that keeps no read pending. Asking it again would spin until
    // the time is up; it is waited on with events from now on.
    waitsOnEvents_ = true;
  }
  if (!wait_) {
    wait_ = OverlappedRequest::Make();
    if (!wait_ || !SetCommMask(handle, EV_RXCHAR)) {
      wait_.reset();  // tried again next time
      Sleep(wait);
      return;
    }
  }
  if (!WaitCommEvent(handle, wait_->EventMask(), wait_->Start()) &&
      GetLastError() != ERROR_IO_PENDING) {
    Sleep(wait);
    return;
  }
  // A byte that came just before the wait began raises no event: look once more, and end the
  // wait at once when one is there.
  const DWORD waitMs = SystemCount() > 0 ? 0 : wait;
  if (!FinishRequest(handle, *wait_, waitMs, kEndBoundMs, EndEventWait).ended) {
    Abandon(wait_, "wait for line events");
  }
}

int SerialPort::SystemCount() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(static_cast<HANDLE>(handle_.get()), &errors, &status)) {
    return 0;
  }
  return static_cast<int>(status.cbInQue);
}

void SerialPort::Drain() {
  // Only bytes already counted are asked for: under Wine a read on an empty queue would stay
  // pending instead of returning at once.
  while (open_ && queue_.Room() > 0) {
    const int waiting = SystemCount();
    if (waiting <= 0) {
      return;
    }
    HANDLE handle = static_cast<HANDLE>(handle_.get());
    std::size_t room = 0;
    unsigned char* tail = queue_.Tail(room);
    const DWORD wanted = static_cast<DWORD>(std::min(room, static_cast<std::size_t>(waiting)));
    // Into the request's own bytes: a read the driver never ends may still write them.
    if (!ReadFile(handle, read_->Bytes(wanted), wanted, nullptr, read_->Start()) &&
        GetLastError() != ERROR_IO_PENDING) {
      return;
    }
    const RequestEnd end = FinishRequest(handle, *read_, kReadWaitMs, kEndBoundMs);
    if (!end.ended) {
      Abandon(read_, "read");
      return;
    }
    const DWORD got = std::min(end.bytes, wanted);
    std::memcpy(tail, read_->Bytes(), got);
    queue_.Added(got);
    if (got < wanted) {
      return;
    }
  }
}

int SerialPort::Write(const void* data, int count) {
  if (!open_ || !handle_ || data == nullptr || count <= 0) {
    return 0;
  }
  HANDLE handle = static_cast<HANDLE>(handle_.get());
  // Out of the request's own bytes: a write the driver never ends must not hold the caller's.
  const auto size = static_cast<DWORD>(count);
  unsigned char* bytes = write_->Bytes(size);
  std::memcpy(bytes, data, size);
  if (!WriteFile(handle, bytes, size, nullptr, write_->Start()) &&
      GetLastError() != ERROR_IO_PENDING) {
    return 0;
  }
  const RequestEnd end = FinishRequest(handle, *write_, kWriteWaitMs, kEndBoundMs);
  if (!end.ended) {
    Abandon(write_, "write");
    return 0;
  }
  return static_cast<int>(std::min(end.bytes, size));
}

int SerialPort::SetBinaryMode(bool binary) {
  if (!open_ || !handle_) {
    return 0;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(static_cast<HANDLE>(handle_.get()), &dcb)) {
    return 0;
  }
  dcb.fBinary = binary ? 1 : 0;  // only this: the rest stays as Open set it
  return SetCommState(static_cast<HANDLE>(handle_.get()), &dcb) ? 1 : 0;
}

}  // namespace comm
