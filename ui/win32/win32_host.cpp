#include "ui/win32/win32_host.h"

#include <windows.h>
// after windows.h, which they need
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <memory>
#include <type_traits>
#include <vector>

#include "res/resource.h"
#include "ui/win32/dialog_face.h"
#include "ui/win32/win32_text.h"
#include "ui/win32/window_dpi.h"

namespace ui {

// A control whose key-downs go to its dialog.
struct Capture {
  Dialog* dialog;
  int id;
};

struct IconDestroyer {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};
using OwnedIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;

// Posted once the dialog manager has scaled a dialog to a new monitor's DPI.
constexpr UINT kDpiSettled = WM_APP + 1;

// One running dialog's window, handed to the dialog object while DialogBoxParamW runs.
class Win32Window : public DialogWindow {
 public:
  Win32Window(Win32Host& host, Dialog& dialog) : host_(host), dialog_(dialog) {}

  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  void SetCaption(const std::string& text) override { SetWindowTextW(hwnd_, Widen(text).c_str()); }
  void SetItemText(int id, const std::string& text) override {
    SetDlgItemTextW(hwnd_, id, Widen(text).c_str());
  }
  std::string ItemText(int id) const override {
    HWND item = GetDlgItem(hwnd_, id);
    const int length = item ? GetWindowTextLengthW(item) : 0;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = item ? GetWindowTextW(item, text.data(), length + 1) : 0;
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return Narrow(text);
  }
  void CheckRadio(int firstId, int lastId, int checkedId) override {
    for (int id = firstId; id <= lastId; ++id) {
      if (GetDlgItem(hwnd_, id) != nullptr) {
        CheckDlgButton(hwnd_, id, id == checkedId ? BST_CHECKED : BST_UNCHECKED);
      }
    }
  }
  bool IsChecked(int id) const override { return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED; }
  void SetListItems(int id, const std::vector<std::string>& items) override;
  void SelectListItem(int id, int index) override {
    SendDlgItemMessageW(hwnd_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
  int ListSelection(int id) const override {
    const LRESULT index = SendDlgItemMessageW(hwnd_, id, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
  }
  void EnableItem(int id, bool enabled) override {
    EnableWindow(GetDlgItem(hwnd_, id), enabled ? TRUE : FALSE);
  }
  void SetProgress(int id, int position) override {
    SendDlgItemMessageW(hwnd_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  void ShowItem(int id, bool visible) override {
    ::ShowWindow(GetDlgItem(hwnd_, id), visible ? SW_SHOW : SW_HIDE);
  }
  void Show(bool visible) override { ::ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE); }
  void SetAppIcon(bool smallOnly) override;
  // What is drawn at the window's DPI (its icons) and what is measured at it (a drop-down
  // list's width) anew, as a new window or one moved to a monitor of another scale needs.
  void FitToDpi();
  void CaptureKeys(int id) override;
  void Center() override;
  void CenterOver(HWND owner);
  void Repaint() override {
    InvalidateRect(hwnd_, nullptr, TRUE);
    UpdateWindow(hwnd_);
  }
  void RepaintItem(int id) override {
    // The control invalidated itself when its text or position changed.
    if (HWND item = GetDlgItem(hwnd_, id)) {
      UpdateWindow(item);
    }
  }
  void SetTimer(int id, unsigned periodMs) override {
    ::SetTimer(hwnd_, static_cast<UINT_PTR>(id), periodMs, nullptr);
  }
  void KillTimer(int id) override { ::KillTimer(hwnd_, static_cast<UINT_PTR>(id)); }
  void SetWaitCursor(bool on) override {
    waitCursor_ = on;
    SetCursor(LoadCursorW(nullptr, on ? IDC_WAIT : IDC_ARROW));
  }
  void Pause(unsigned milliseconds) override { Sleep(milliseconds); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    MessageBoxW(hwnd_, Widen(text).c_str(), Widen(caption).c_str(), MB_OK);
  }
  bool AskFileName(const FileDialogRequest& request, bool save, std::string& path) override;
  void End(int result) override { EndDialog(hwnd_, result); }

 private:
  Win32Host& host_;
  Dialog& dialog_;
  HWND hwnd_ = nullptr;
  bool waitCursor_ = false;
  enum class AppIcon { kNone, kSmall, kBoth } appIcon_ = AppIcon::kNone;
  // The icons drawn at the window's DPI; the window and its controls only borrow them.
  std::vector<OwnedIcon> icons_;
  // Outlive the controls: those are destroyed before the modal run returns.
  std::vector<std::unique_ptr<Capture>> captures_;
};

namespace {

// Dialog procedures reach the dialog layer's protected entry points through this.
class Dispatcher : public Host {
 public:
  using Host::Command;
  using Host::ControlKeyDown;
  using Host::Init;
  using Host::PreviewKey;
  using Host::Timer;
};

// A control whose key-downs the dialog sees: Enter and Esc are kept from the dialog manager
// (which would turn them into OK and Cancel) and from the edit control (a multi-line edit
// closes its dialog on Esc); other keys run the control's own processing first.
LRESULT CALLBACK CaptureProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR subclass, DWORD_PTR data) {
  auto* capture = reinterpret_cast<Capture*>(data);  // NOLINT(performance-no-int-to-ptr)
  switch (message) {
    case WM_GETDLGCODE: {
      const auto* msg = reinterpret_cast<const MSG*>(lParam);  // NOLINT(performance-no-int-to-ptr)
      LRESULT code = DefSubclassProc(hwnd, message, wParam, lParam);
      if (msg != nullptr && msg->message == WM_KEYDOWN &&
          (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
        code |= DLGC_WANTMESSAGE;
      }
      return code;
    }
    case WM_KEYDOWN: {
      const auto key = static_cast<unsigned>(wParam);
      if (Dispatcher::PreviewKey(*capture->dialog, capture->id, key)) {
        return 0;
      }
      const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
      Dispatcher::ControlKeyDown(*capture->dialog, capture->id, key);
      return result;
    }
    case WM_CHAR:
      if (wParam == '\r' || wParam == 0x1B) {
        return 0;  // their key-downs were taken as receiver keys
      }
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, CaptureProcedure, subclass);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

bool IsComboBox(HWND control) {
  wchar_t name[16] = {};
  return control != nullptr && GetClassNameW(control, name, 16) > 0 &&
         _wcsicmp(name, WC_COMBOBOXW) == 0;
}

// A drop-down list opens as wide as its longest item, so that each is read whole however
// narrow the closed box is.
void FitDroppedWidth(HWND combo) {
  HDC dc = GetDC(combo);
  if (dc == nullptr) {
    return;
  }
  // WM_GETFONT answers with a handle in its result.
  const auto font = reinterpret_cast<HGDIOBJ>(  // NOLINT(performance-no-int-to-ptr)
      SendMessageW(combo, WM_GETFONT, 0, 0));
  const HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  LONG widest = 0;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (length == CB_ERR) {
      continue;
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                 reinterpret_cast<LPARAM>(text.data()));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(length), &size);
    widest = std::max(widest, size.cx);
  }
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  if (previous != nullptr) {
    SelectObject(dc, previous);
  }
  ReleaseDC(combo, dc);
  // The item's margins and a scroll bar beside it, at the control's own scale.
  const LONG margins =
      2 * metrics.tmAveCharWidth + MetricAtDpi(SM_CXVSCROLL, WindowDpi(GetParent(combo)));
  SendMessageW(combo, CB_SETDROPPEDWIDTH,
               static_cast<WPARAM>(widest) + static_cast<WPARAM>(margins), 0);
}

}  // namespace

void Win32Window::SetListItems(int id, const std::vector<std::string>& items) {
  HWND combo = GetDlgItem(hwnd_, id);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item).c_str()));
  }
  FitDroppedWidth(combo);
}

INT_PTR CALLBACK Win32Window::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // An exception must not cross the dialog manager: it would end the program. The handlers
  // already end their dialog when they throw; this holds for the host's own steps too.
  try {
    return Handle(hwnd, message, wParam, lParam);
  } catch (...) {
    EndDialog(hwnd, IDCANCEL);
    return TRUE;
  }
}

INT_PTR Win32Window::Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* window = reinterpret_cast<Win32Window*>(lParam);  // NOLINT(performance-no-int-to-ptr)
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    window->hwnd_ = hwnd;
    window->host_.running_.push_back(hwnd);
    // The usual place of a modal dialog: centred over its owner. A dialog that places
    // itself does so in its own initialisation, which runs next.
    window->CenterOver(GetWindow(hwnd, GW_OWNER));
    const bool focusBySystem = Dispatcher::Init(window->dialog_, window);
    window->FitToDpi();
    return focusBySystem ? TRUE : FALSE;
  }
  auto* window = reinterpret_cast<Win32Window*>(  // NOLINT(performance-no-int-to-ptr)
      GetWindowLongPtrW(hwnd, DWLP_USER));
  if (window == nullptr) {
    return FALSE;
  }
  switch (message) {
    case WM_COMMAND:
      // A notification's lParam is the control's window.
      if (HIWORD(wParam) == BN_CLICKED ||
          (HIWORD(wParam) == CBN_SELCHANGE &&
           IsComboBox(reinterpret_cast<HWND>(lParam)))) {  // NOLINT(performance-no-int-to-ptr)
        Dispatcher::Command(window->dialog_, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      Dispatcher::Timer(window->dialog_, static_cast<int>(wParam));
      return TRUE;
    case WM_DPICHANGED:
      // The dialog manager scales the dialog, its controls and its font; what it does not
      // draw follows once it has.
      PostMessageW(hwnd, kDpiSettled, 0, 0);
      return FALSE;
    case kDpiSettled:
      window->FitToDpi();
      return TRUE;
    case WM_HELP:
      return TRUE;  // the program has no help
    case WM_SETCURSOR:
      if (window->waitCursor_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY: {
      auto& running = window->host_.running_;
      running.erase(std::remove(running.begin(), running.end(), hwnd), running.end());
      return FALSE;
    }
    default:
      return FALSE;
  }
}

void Win32Window::CaptureKeys(int id) {
  HWND control = GetDlgItem(hwnd_, id);
  if (control != nullptr) {
    captures_.push_back(std::make_unique<Capture>(Capture{&dialog_, id}));
    SetWindowSubclass(control, CaptureProcedure, 1,
                      reinterpret_cast<DWORD_PTR>(captures_.back().get()));
  }
}

void Win32Window::SetAppIcon(bool smallOnly) {
  appIcon_ = smallOnly ? AppIcon::kSmall : AppIcon::kBoth;
  FitToDpi();
}

void Win32Window::FitToDpi() {
  const UINT dpi = WindowDpi(hwnd_);
  auto* instance = static_cast<HINSTANCE>(host_.instance_);
  // Drawn at its size from the icon's own image of that size, never scaled (not shared: a
  // shared icon keeps the size it was first loaded at).
  auto load = [&](int width, int height) {
    icons_.emplace_back(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                      IMAGE_ICON, MetricAtDpi(width, dpi),
                                                      MetricAtDpi(height, dpi), LR_DEFAULTCOLOR)));
    return icons_.back().get();
  };
  std::vector<OwnedIcon> previous;
  previous.swap(icons_);  // in use until replaced below
  if (appIcon_ != AppIcon::kNone) {
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(load(SM_CXSMICON, SM_CYSMICON)));
  }
  if (appIcon_ == AppIcon::kBoth) {
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(load(SM_CXICON, SM_CYICON)));
  }
  for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    if (_wcsicmp(name, WC_STATICW) == 0 && (style & SS_TYPEMASK) == SS_ICON) {
      SendMessageW(child, STM_SETICON, reinterpret_cast<WPARAM>(load(SM_CXICON, SM_CYICON)), 0);
    } else if (IsComboBox(child)) {
      FitDroppedWidth(child);
    }
  }
}

void Win32Window::Center() {
  CenterOver(nullptr);
}

void Win32Window::CenterOver(HWND owner) {
  RECT window{};
  GetWindowRect(hwnd_, &window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromWindow(owner ? owner : hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& area = monitor.rcWork;
  RECT around = area;
  if (owner != nullptr) {
    GetWindowRect(owner, &around);
  }
  const LONG width = window.right - window.left;
  const LONG height = window.bottom - window.top;
  LONG x = around.left + (around.right - around.left - width) / 2;
  LONG y = around.top + (around.bottom - around.top - height) / 2;
  // Keep the whole dialog on the screen.
  x = std::min(x, area.right - width);
  y = std::min(y, area.bottom - height);
  SetWindowPos(hwnd_, nullptr, std::max(x, area.left), std::max(y, area.top), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Win32Window::AskFileName(const FileDialogRequest& request, bool save, std::string& path) {
  std::wstring filter = Widen(request.filter);
  std::replace(filter.begin(), filter.end(), L'|', L'\0');
  const std::wstring title = Widen(request.title);
  const std::wstring extension = Widen(request.defaultExtension.value_or(std::string()));
  // Room for long paths; the dialog reports a longer name as an error, never cuts it.
  std::vector<wchar_t> name(32768, L'\0');
  const std::wstring initial = Widen(request.initialName);
  std::copy_n(initial.begin(), std::min(initial.size(), name.size() - 1), name.begin());

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = request.defaultExtension ? extension.c_str() : nullptr;
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
  if (request.mustExist) {
    ofn.Flags |= OFN_FILEMUSTEXIST;
  }
  if (request.overwritePrompt) {
    ofn.Flags |= OFN_OVERWRITEPROMPT;
  }
  const BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!chosen) {
    return false;
  }
  path = Narrow(name.data());
  return true;
}

Win32Host::Win32Host() : instance_(GetModuleHandleW(nullptr)) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);
}

int Win32Host::RunModal(Dialog& dialog) {
  HWND owner = nullptr;
  if (dialog.HasOwner() && !running_.empty()) {
    owner = static_cast<HWND>(running_.back());
  }
  auto* instance = static_cast<HINSTANCE>(instance_);
  Win32Window window(*this, dialog);
  INT_PTR result = -1;
  // The template as it stands where the system has its face; else a copy in a face it has.
  std::vector<DWORD> inOtherFace;
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(dialog.TemplateId()), RT_DIALOG);
  HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
  const auto* bytes = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (bytes != nullptr) {
    const std::size_t size = SizeofResource(instance, found);
    const std::wstring face = TemplateFace(bytes, size);
    if (!face.empty() && DialogFace(face) != face) {
      inOtherFace = WithFace(bytes, size, DialogFace(face));
    }
  }
  if (!inOtherFace.empty()) {
    result =
        DialogBoxIndirectParamW(instance, reinterpret_cast<const DLGTEMPLATE*>(inOtherFace.data()),
                                owner, &Win32Window::Procedure, reinterpret_cast<LPARAM>(&window));
  } else {
    result = DialogBoxParamW(instance, MAKEINTRESOURCEW(dialog.TemplateId()), owner,
                             &Win32Window::Procedure, reinterpret_cast<LPARAM>(&window));
  }
  Detach(dialog);
  return static_cast<int>(result);
}

void Win32Host::ShowMessage(const std::string& text, const std::string& caption) {
  MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(), MB_OK);
}

}  // namespace ui
