#include "ui/win32/window_dpi.h"

namespace ui {

namespace {

// Found at run time: the program starts on Windows versions that lack them.
template <typename Function>
Function User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 != nullptr
             ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
             : nullptr;
}

using DpiForWindow = UINT(WINAPI*)(HWND);
using MetricsForDpi = int(WINAPI*)(int, UINT);

}  // namespace

UINT WindowDpi(HWND window) {
  static const auto dpiForWindow = User32Function<DpiForWindow>("GetDpiForWindow");
  if (dpiForWindow != nullptr && window != nullptr) {
    if (const UINT dpi = dpiForWindow(window); dpi != 0) {
      return dpi;
    }
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) {
    ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

int MetricAtDpi(int index, UINT dpi) {
  static const auto metricsForDpi = User32Function<MetricsForDpi>("GetSystemMetricsForDpi");
  if (metricsForDpi != nullptr) {
    return metricsForDpi(index, dpi);
  }
  return GetSystemMetrics(index);  // the system's DPI is the only one there is
}

}  // namespace ui
