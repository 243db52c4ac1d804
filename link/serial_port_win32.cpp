#include <windows.h>

#include <string>

#include "link/network_address.h"
#include "link/serial_port.h"
#include "ui/win32/win32_text.h"

namespace comm {

namespace {

constexpr DWORD kWriteWaitMs = 5000;
constexpr DWORD kReadWaitMs = 2000;
constexpr DWORD kDriverQueue = 10000;

static_assert(sizeof(OVERLAPPED) <= 32, "the overlapped records must fit their storage");

OVERLAPPED* Request(unsigned char* storage) {
  return reinterpret_cast<OVERLAPPED*>(storage);
}

// Waits for an overlapped transfer for at most ms; one still pending then is cancelled and
// waited for, so it cannot complete later into a buffer that has been reused.
DWORD Finish(HANDLE handle, OVERLAPPED* request, HANDLE event, DWORD ms) {
  DWORD transferred = 0;
  if (WaitForSingleObject(event, ms) == WAIT_OBJECT_0) {
    GetOverlappedResult(handle, request, &transferred, FALSE);
    return transferred;
  }
  CancelIoEx(handle, request);
  GetOverlappedResult(handle, request, &transferred, TRUE);
  return transferred;
}

// For the tests only, never for a user: VESKER_LINK_TEST_COMM_EVENTS=1 makes the port wait
// for bytes with WaitCommEvent from the start, as it does on Windows' own drivers, so that
// the end-to-end tests run that path under Wine too (where a pending read serves instead).
bool WaitOnCommEventsForTests() {
  char value[8] = {};
  return GetEnvironmentVariableA("VESKER_LINK_TEST_COMM_EVENTS", value, sizeof(value)) == 1 &&
         value[0] == '1';
}

// A port keeps the settings of its last user (under Wine: whatever the tty was left in, a
// new adapter's XON/XOFF included), and XON/XOFF alone eats the 0x11 and 0x13 bytes of flash
// data and lets a stray XOFF stop our output. So the whole line is set, not just its speed:
// 8N1 binary, no flow control of either kind, no error or null handling, DTR and RTS on.
void SetWholeLine(DCB& dcb, int baud) {
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.ByteSize = 8;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  // Unused with flow control off, yet a driver checks them: SetCommState fails when the last
  // user left the two characters equal, or limits that do not fit the queue.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
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

}  // namespace

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
  handle_ = handle;
  *Request(readRequest_) = OVERLAPPED{};
  *Request(writeRequest_) = OVERLAPPED{};

  // Reads return at once with what is buffered; writes give up after 5 seconds.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = kWriteWaitMs;
  SetCommTimeouts(handle, &timeouts);

  readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Request(readRequest_)->hEvent = readEvent_;
  Request(writeRequest_)->hEvent = writeEvent_;

  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  // A name that opens but has no line behind it (under Wine, a COM port whose device is
  // gone) has no state to tell: it is no serial port at all.
  const bool serial = GetCommState(handle, &dcb) != FALSE;
  if (!serial) {
    Fail(PortFailure::kMissing, "not a serial port: " + ui::SystemErrorText(GetLastError()));
  }
  SetWholeLine(dcb, baud);
  const bool ok = serial && SetCommState(handle, &dcb) &&
                  SetupComm(handle, kDriverQueue, kDriverQueue) && readEvent_ != nullptr &&
                  writeEvent_ != nullptr;
  if (!ok) {
    if (serial) {
      Fail(PortFailure::kSettings, ui::SystemErrorText(GetLastError()));
    }
    open_ = 1;  // so that Close releases the handle too
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
  if (open_ && handle_ != nullptr) {
    CloseHandle(static_cast<HANDLE>(handle_));
  }
  if (readEvent_ != nullptr) {
    CloseHandle(static_cast<HANDLE>(readEvent_));
  }
  if (writeEvent_ != nullptr) {
    CloseHandle(static_cast<HANDLE>(writeEvent_));
  }
  if (waitEvent_ != nullptr) {
    CloseHandle(static_cast<HANDLE>(waitEvent_));
  }
  handle_ = readEvent_ = writeEvent_ = waitEvent_ = nullptr;
  waitsOnEvents_ = false;
  open_ = 0;
  queue_.Clear();
}

void SerialPort::WaitForArrival(std::chrono::milliseconds ms) {
  HANDLE handle = static_cast<HANDLE>(handle_);
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
    DWORD got = 0;
    OVERLAPPED* request = Request(readRequest_);
    if (ReadFile(handle, tail, 1, &got, request)) {
      queue_.Added(got);
      waitsOnEvents_ = got == 0;
      if (got != 0) {
        return;
      }
    } else if (GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(static_cast<HANDLE>(readEvent_), wait) != WAIT_OBJECT_0) {
        CancelIoEx(handle, request);
        GetOverlappedResult(handle, request, &got, TRUE);
        queue_.Added(got);
        return;
      }
      GetOverlappedResult(handle, request, &got, FALSE);
      queue_.Added(got);
      if (got != 0) {
        return;
      }
      // Done, and empty: a driver that keeps no read pending. Asking it again would spin
      // until the time is up; it is waited on with events from now on.
      waitsOnEvents_ = true;
    } else {
      Sleep(wait);
      return;
    }
  }
  if (waitEvent_ == nullptr) {
    waitEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (waitEvent_ == nullptr || !SetCommMask(handle, EV_RXCHAR)) {
      Sleep(wait);
      return;
    }
  }
  OVERLAPPED* request = Request(waitRequest_);
  *request = OVERLAPPED{};
  request->hEvent = waitEvent_;
  DWORD events = 0;
  if (WaitCommEvent(handle, &events, request)) {
    return;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    Sleep(wait);
    return;
  }
  // A byte that came just before the wait started raises no event: look once more.
  if (SystemCount() > 0 ||
      WaitForSingleObject(static_cast<HANDLE>(waitEvent_), wait) != WAIT_OBJECT_0) {
    // Cancelled, not ended by a new mask, which some drivers ignore: waiting for a wait that
    // never ends would hang the port.
    CancelIoEx(handle, request);
    GetOverlappedResult(handle, request, &events, TRUE);
  }
}

int SerialPort::SystemCount() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(static_cast<HANDLE>(handle_), &errors, &status)) {
    return 0;
  }
  return static_cast<int>(status.cbInQue);
}

void SerialPort::Drain() {
  // Only bytes already counted are asked for: under Wine a read on an empty queue would stay
  // pending instead of returning at once.
  HANDLE handle = static_cast<HANDLE>(handle_);
  while (queue_.Room() > 0) {
    const int waiting = SystemCount();
    if (waiting <= 0) {
      return;
    }
    std::size_t room = 0;
    unsigned char* tail = queue_.Tail(room);
    const DWORD wanted = static_cast<DWORD>(std::min(room, static_cast<std::size_t>(waiting)));
    DWORD got = 0;
    OVERLAPPED* request = Request(readRequest_);
    if (!ReadFile(handle, tail, wanted, &got, request)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        return;
      }
      got = Finish(handle, request, static_cast<HANDLE>(readEvent_), kReadWaitMs);
    }
    queue_.Added(got);
    if (got < wanted) {
      return;
    }
  }
}

int SerialPort::Write(const void* data, int count) {
  if (!open_ || handle_ == nullptr || data == nullptr || count <= 0) {
    return 0;
  }
  HANDLE handle = static_cast<HANDLE>(handle_);
  OVERLAPPED* request = Request(writeRequest_);
  DWORD written = 0;
  if (WriteFile(handle, data, static_cast<DWORD>(count), &written, request)) {
    return static_cast<int>(written);
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    return 0;
  }
  return static_cast<int>(Finish(handle, request, static_cast<HANDLE>(writeEvent_), kWriteWaitMs));
}

int SerialPort::SetBinaryMode(bool binary) {
  if (!open_ || handle_ == nullptr) {
    return 0;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(static_cast<HANDLE>(handle_), &dcb)) {
    return 0;
  }
  dcb.fBinary = binary ? 1 : 0;  // only this: the rest stays as Open set it
  return SetCommState(static_cast<HANDLE>(handle_), &dcb) ? 1 : 0;
}

}  // namespace comm
