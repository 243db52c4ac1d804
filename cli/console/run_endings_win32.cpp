#include <windows.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "cli/console/run_endings.h"
#include "cli/console/terminal.h"
#include "ui/headless/console_host.h"

namespace cli {

namespace {

// Windows ends the process once a close, log-off or shutdown handler returns, and ends it
// anyway after about five seconds: the run gets a little less, enough for a cancelled
// exchange to stop at its next step and for the log line.
constexpr DWORD kGraceMs = 4000;
constexpr DWORD kLookEveryMs = 50;

std::atomic<bool> runEnded{false};
std::atomic<bool> cancelled{false};

// The run is cancelled, and given its grace to end.
void AwaitRunEnd() {
  cancelled = true;
  ui::ConsoleHost::RequestCancel();
  for (DWORD waited = 0; waited < kGraceMs && !runEnded; waited += kLookEveryMs) {
    Sleep(kLookEveryMs);
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // The first closes the running dialog as its Cancel button would; the next is passed
      // on, and ends the program at once.
      if (cancelled.exchange(true)) {
        return FALSE;
      }
      ui::ConsoleHost::RequestCancel();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      AwaitRunEnd();
      RestoreConsole();
      return TRUE;
    default:
      return FALSE;
  }
}

// A program that loads the window system's libraries (this one does, through the dialog
// layer) is not sent the console's log-off and shutdown events: the session's end reaches it
// as WM_ENDSESSION, sent to its top-level windows. A hidden one, on a thread of its own that
// only pumps its messages, takes it.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE) {
        AwaitRunEnd();
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

constexpr wchar_t kWindowClass[] = L"VeskerLinkSessionEnd";

// The hidden window and its thread, for as long as the run.
class SessionWatch {
 public:
  SessionWatch() {
    std::promise<DWORD> started;
    std::future<DWORD> id = started.get_future();
    thread_ = std::thread([this, &started] { Pump(started); });
    threadId_ = id.get();
  }
  ~SessionWatch() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  SessionWatch(const SessionWatch&) = delete;
  SessionWatch& operator=(const SessionWatch&) = delete;

 private:
  static void Pump(std::promise<DWORD>& started) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = OnSessionMessage;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    // The thread's queue exists from here on, so the quit posted at the end is kept.
    MSG message{};
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    started.set_value(GetCurrentThreadId());
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      DispatchMessageW(&message);
    }
    if (window != nullptr) {
      DestroyWindow(window);
    }
    UnregisterClassW(kWindowClass, windowClass.hInstance);
  }

  std::thread thread_;
  DWORD threadId_ = 0;
};

std::unique_ptr<SessionWatch> sessionWatch;

}  // namespace

RunEndings::RunEndings() {
  runEnded = false;
  // Registered after PrepareConsole's handler, so this one is asked first.
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  sessionWatch = std::make_unique<SessionWatch>();
}

RunEndings::~RunEndings() {
  runEnded = true;
  sessionWatch.reset();
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace cli
