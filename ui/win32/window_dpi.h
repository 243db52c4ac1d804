// The DPI a window is drawn at, and the system's sizes at that DPI: per monitor where Windows
// knows it (Windows 10 1607 and later), else the system's own. The program declares itself
// per-monitor aware, so each window is drawn for the monitor it is on.
#pragma once

#include <windows.h>

namespace ui {

UINT WindowDpi(HWND window);
// GetSystemMetrics' index at that DPI.
int MetricAtDpi(int index, UINT dpi);

}  // namespace ui
