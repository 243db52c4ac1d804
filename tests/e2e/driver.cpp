// vl-driver.exe: drives VeskerLink.exe like a user, from inside the same Wine session.
// Each call does one thing and prints what it found on stdout as UTF-8:
//   wait TITLE [MS]           wait for a visible top-level window with this caption
//   waitfor TITLE ID [MS]     wait for such a window that has control ID
//   gone TITLE [MS]           wait until no such window is left
//   absent TITLE ID           succeed when no visible such window has control ID
//   text TITLE ID             print a control's text
//   where TITLE ID            print the screen position of a control's middle: "x y"
//   key TITLE KEY             a key press into the window's focused control: enter, esc,
//                             space, arrows, delete, tab, f1, a, 0-9, numpad0-numpad9
//   close TITLE               the window's close box
//   message [MS]              wait for a message box, print "caption|text|owner caption", press
//                             its default button (OK, or Yes where it asks)
//   nomessage [MS]            fail if a message box shows up within MS
//   visible TITLE             print 1 or 0
//   filename TITLE PATH       answer a file dialog with this path
//   hold PATH MS              hold a file open, sharing nothing, for MS milliseconds
//   checked TITLE ID          print 1 when the button is checked, else 0
//   enabled TITLE ID          print 1 when the control takes input, else 0
//   items TITLE ID            print a drop-down list's items, one a line
//   selected TITLE ID         print the item chosen in a drop-down list, "none" for none
//   whereitem TITLE ID N      print the screen position of item N of a drop-down list that
//                             is open: "x y"
//   shown TITLE ID            print 1 when the control is visible, else 0
//   border TITLE ID           print 1 when the control has a border of any kind, else 0
//   focus TITLE               print the id of the control with the keyboard focus ("window"
//                             for the window itself, "none" when nothing has it)
//   dpi TITLE                 print the window's DPI and how its program is aware of it:
//                             "144 per-monitor", "96 system", "96 unaware"
//   clipped TITLE FACE POINTS print each label, button, radio button and group box whose text
//                             does not fit its control, drawn in FACE at POINTS at the
//                             window's DPI (as the dialog manager makes a template's font):
//                             "ID text", one a line
// Exit code 0 on success, 1 when the window or control is not there in time.
#include <windows.h>

#include "ui/win32/win32_text.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const std::wstring& wide) {
  return ui::Narrow(wide);
}

void Print(const std::string& text) {
  DWORD written = 0;
  const std::string line = text + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
}

std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[4096] = {};
  GetWindowTextW(hwnd, buffer, 4096);
  return buffer;
}

// A control's text from another process: an edit control keeps its text to itself, so ask it.
std::wstring ControlText(HWND control) {
  DWORD_PTR length = 0;
  SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

// A drop-down list's item, asked of the list in its own process.
std::wstring ListItemText(HWND list, LRESULT index) {
  const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) {
    return std::wstring();
  }
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::wstring ClassName(HWND hwnd) {
  wchar_t buffer[256] = {};
  GetClassNameW(hwnd, buffer, 256);
  return buffer;
}

struct Search {
  const wchar_t* title;  // null: any message box
  int controlId;         // when not 0, only a window with this control
  HWND found;
};

// A message box is a dialog with the static text control 0xFFFF that holds its text.
bool IsMessageBox(HWND hwnd) {
  return ClassName(hwnd) == L"#32770" && GetDlgItem(hwnd, 0xFFFF) != nullptr;
}

BOOL CALLBACK Visit(HWND hwnd, LPARAM lParam) {
  auto* search = reinterpret_cast<Search*>(lParam);  // NOLINT(performance-no-int-to-ptr)
  if (!IsWindowVisible(hwnd)) {
    return TRUE;
  }
  const bool match =
      search->title ? WindowText(hwnd) == search->title &&
                          (search->controlId == 0 || GetDlgItem(hwnd, search->controlId) != nullptr)
                    : IsMessageBox(hwnd);
  if (match) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND FindTop(const wchar_t* title, int controlId = 0) {
  Search search{title, controlId, nullptr};
  EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitFor(const wchar_t* title, DWORD ms, int controlId = 0) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND hwnd = FindTop(title, controlId)) {
      return hwnd;
    }
    if (GetTickCount() - start >= ms) {
      return nullptr;
    }
    Sleep(50);
  }
}

DWORD Milliseconds(int argc, wchar_t** argv, int index, DWORD fallback) {
  return argc > index ? static_cast<DWORD>(std::wcstoul(argv[index], nullptr, 10)) : fallback;
}

// Found at run time, as Windows versions before 10 lack them.
template <typename Function>
Function User32Function(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT WindowDpi(HWND window) {
  const auto dpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (dpiForWindow != nullptr) {
    return dpiForWindow(window);
  }
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return static_cast<UINT>(dpi);
}

std::string Awareness(HWND window) {
  using Context = void*;
  const auto contextOf = User32Function<Context(WINAPI*)(HWND)>("GetWindowDpiAwarenessContext");
  const auto awarenessOf =
      User32Function<int(WINAPI*)(Context)>("GetAwarenessFromDpiAwarenessContext");
  if (contextOf == nullptr || awarenessOf == nullptr) {
    return "unknown";
  }
  switch (awarenessOf(contextOf(window))) {
    case 0:
      return "unaware";
    case 1:
      return "system";
    case 2:
      return "per-monitor";
    default:
      return "unknown";
  }
}

// The controls of a dialog whose text its control cannot show whole, in the dialog's font.
std::string ClippedLabels(HWND dialog, const std::wstring& face, int points) {
  const UINT dpi = WindowDpi(dialog);
  HFONT font = CreateFontW(-MulDiv(points, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE,
                           FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face.c_str());
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ previous = SelectObject(dc, font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  const auto scaled = [dpi](int pixels) { return MulDiv(pixels, static_cast<int>(dpi), 96); };
  std::string clipped;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = ControlText(child);
    const std::wstring kind = ClassName(child);
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
    RECT box{};
    GetClientRect(child, &box);
    if (text.empty()) {
      continue;
    }
    UINT format = DT_CALCRECT | DT_EXPANDTABS;
    LONG room = box.right;  // what the text may take of the control's width
    bool wraps = false;
    if (_wcsicmp(kind.c_str(), L"Button") == 0) {
      const DWORD type = style & BS_TYPEMASK;
      if (type == BS_GROUPBOX) {
        room -= 2 * metrics.tmAveCharWidth;  // the frame's corner and a blank either side
      } else if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON || type == BS_CHECKBOX ||
                 type == BS_AUTOCHECKBOX) {
        room -= scaled(13) + scaled(4);  // the box and the gap after it
      } else {
        room -= 2 * scaled(3);  // the button's edges
      }
      format |= DT_SINGLELINE;
    } else if (_wcsicmp(kind.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) <= SS_RIGHT) {
      wraps = true;
      format |= DT_WORDBREAK;
    } else {
      continue;
    }
    if (wraps && (style & SS_NOPREFIX) != 0) {
      format |= DT_NOPREFIX;
    }
    RECT need{0, 0, wraps ? room : 0, 0};
    DrawTextW(dc, text.c_str(), -1, &need, format);
    if (need.right > room || need.bottom > box.bottom) {
      clipped += std::to_string(GetDlgCtrlID(child)) + " " + Utf8(text) + "\n";
    }
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
  DeleteObject(font);
  return clipped;
}

int Fail(const std::string& why) {
  Print("driver: " + why);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return Fail("no command");
  }
  const std::wstring command = argv[1];
  const DWORD fallback = 10000;

  if (command == L"message" || command == L"nomessage") {
    const DWORD ms = Milliseconds(argc, argv, 2, command == L"message" ? fallback : 1000);
    HWND box = WaitFor(nullptr, ms);
    if (command == L"nomessage") {
      return box ? Fail("unexpected message: " + Utf8(WindowText(GetDlgItem(box, 0xFFFF)))) : 0;
    }
    if (!box) {
      return Fail("no message box");
    }
    HWND owner = GetWindow(box, GW_OWNER);
    Print(Utf8(WindowText(box)) + "|" + Utf8(WindowText(GetDlgItem(box, 0xFFFF))) + "|" +
          (owner ? Utf8(WindowText(owner)) : std::string()));
    const LRESULT defaultButton = SendMessageW(box, DM_GETDEFID, 0, 0);
    const WORD button = HIWORD(defaultButton) == DC_HASDEFID ? LOWORD(defaultButton) : IDOK;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return 0;
  }
  if (command == L"hold" && argc > 3) {
    // Another program holding a file open and sharing nothing, for MS milliseconds.
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return Fail("cannot open the file to hold");
    }
    Print("holding");
    Sleep(Milliseconds(argc, argv, 3, 0));
    CloseHandle(file);
    return 0;
  }
  if (argc < 3) {
    return Fail("no window title");
  }
  const wchar_t* title = argv[2];
  if (command == L"absent") {
    const int control = argc > 3 ? static_cast<int>(std::wcstol(argv[3], nullptr, 10)) : 0;
    return FindTop(title, control) ? Fail("a visible window has control " + std::to_string(control))
                                   : 0;
  }
  if (command == L"gone") {
    const DWORD start = GetTickCount();
    while (FindTop(title)) {
      if (GetTickCount() - start >= Milliseconds(argc, argv, 3, fallback)) {
        return Fail("window still there");
      }
      Sleep(50);
    }
    return 0;
  }
  // Windows may share a title (the remote panel takes the program's): a command about a
  // control looks for a window that has it.
  const bool aboutControl = command == L"text" || command == L"where" || command == L"checked" ||
                            command == L"waitfor" || command == L"items" ||
                            command == L"selected" || command == L"enabled" ||
                            command == L"whereitem";
  const int id = argc > 3 ? static_cast<int>(std::wcstol(argv[3], nullptr, 10)) : 0;
  DWORD ms = fallback;
  if (command == L"wait") {
    ms = Milliseconds(argc, argv, 3, fallback);
  } else if (command == L"waitfor") {
    ms = Milliseconds(argc, argv, 4, fallback);
  }
  HWND window = WaitFor(title, ms, aboutControl ? id : 0);
  if (!window) {
    return Fail("no window \"" + Utf8(title) + "\"" +
                (aboutControl ? " with control " + std::to_string(id) : std::string()));
  }
  if (command == L"wait" || command == L"waitfor") {
    return 0;
  }
  if (command == L"visible") {
    Print(IsWindowVisible(window) ? "1" : "0");
    return 0;
  }
  if (command == L"dpi") {
    Print(std::to_string(WindowDpi(window)) + " " + Awareness(window));
    return 0;
  }
  if (command == L"clipped") {
    const std::string clipped = ClippedLabels(window, argc > 3 ? argv[3] : L"",
                                              argc > 4 ? std::wcstol(argv[4], nullptr, 10) : 9);
    if (!clipped.empty()) {
      Print(clipped.substr(0, clipped.size() - 1));
    }
    return 0;
  }
  if (command == L"focus") {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread);
    const HWND focus = thread.hwndFocus;
    Print(focus == nullptr         ? "none"
          : focus == window        ? "window"
          : IsChild(window, focus) ? std::to_string(GetDlgCtrlID(focus))
                                   : "elsewhere");
    return 0;
  }
  // Like a user, act only once the window takes input: a window under a modal dialog is
  // disabled, and keys typed while another dialog still holds the focus go to that dialog.
  const DWORD start = GetTickCount();
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  for (;;) {
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    const bool focused = info.hwndFocus == window || IsChild(window, info.hwndFocus);
    if (IsWindowEnabled(window) && (focused || command != L"key")) {
      break;
    }
    if (GetTickCount() - start >= fallback) {
      return Fail("window does not take input");
    }
    Sleep(20);
  }
  if (command == L"close") {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  if (command == L"key") {
    const std::wstring name = argc > 3 ? argv[3] : L"";
    WPARAM key = 0;
    const struct {
      const wchar_t* name;
      WPARAM key;
    } names[] = {
        {L"enter", VK_RETURN}, {L"esc", VK_ESCAPE},  {L"space", VK_SPACE}, {L"left", VK_LEFT},
        {L"up", VK_UP},        {L"right", VK_RIGHT}, {L"down", VK_DOWN},   {L"delete", VK_DELETE},
        {L"tab", VK_TAB},      {L"f1", VK_F1},       {L"a", 'A'}};
    for (const auto& n : names) {
      if (name == n.name) {
        key = n.key;
      }
    }
    if (name.size() == 1 && name[0] >= L'0' && name[0] <= L'9') {
      key = name[0];
    } else if (name.size() == 7 && name.rfind(L"numpad", 0) == 0 && name[6] >= L'0' &&
               name[6] <= L'9') {
      key = VK_NUMPAD0 + (name[6] - L'0');
    }
    if (key == 0) {
      return Fail("unknown key");
    }
    // Keys go to the focused control of the window's thread, as the keyboard would send them.
    HWND target = info.hwndFocus;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    return 0;
  }
  if (command == L"filename") {
    // A common file dialog: type the name into its file name box, then press its OK button.
    const std::wstring path = argc > 3 ? argv[3] : L"";
    HWND box = GetDlgItem(window, 0x47C);  // the file name combo box
    if (box == nullptr) {
      box = GetDlgItem(window, 0x480);  // older dialogs: a plain edit
    }
    if (box == nullptr) {
      return Fail("no file name box");
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    return 0;
  }
  HWND control = GetDlgItem(window, id);
  if (!control) {
    return Fail("no control " + std::to_string(id));
  }
  if (command == L"text") {
    Print(Utf8(ControlText(control)));
    return 0;
  }
  if (command == L"where") {
    RECT rect{};
    GetWindowRect(control, &rect);
    Print(std::to_string((rect.left + rect.right) / 2) + " " +
          std::to_string((rect.top + rect.bottom) / 2));
    return 0;
  }
  if (command == L"shown") {
    Print(IsWindowVisible(control) ? "1" : "0");
    return 0;
  }
  if (command == L"border") {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
    const auto extended = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_EXSTYLE));
    const bool framed = (style & (WS_BORDER | WS_DLGFRAME)) != 0 ||
                        (extended & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE | WS_EX_WINDOWEDGE)) != 0;
    Print(framed ? "1" : "0");
    return 0;
  }
  if (command == L"checked") {
    Print(SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0");
    return 0;
  }
  if (command == L"enabled") {
    Print(IsWindowEnabled(control) ? "1" : "0");
    return 0;
  }
  if (command == L"items") {
    const LRESULT count = SendMessageW(control, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      Print(Utf8(ListItemText(control, i)));
    }
    return 0;
  }
  if (command == L"selected") {
    const LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
    Print(index == CB_ERR ? "none" : Utf8(ListItemText(control, index)));
    return 0;
  }
  if (command == L"whereitem") {
    // The open list hangs below the box, one item height a line, inside a one-pixel border.
    const LRESULT index = argc > 4 ? std::wcstol(argv[4], nullptr, 10) : 0;
    const auto height = static_cast<LONG>(SendMessageW(control, CB_GETITEMHEIGHT, 0, 0));
    RECT rect{};
    GetWindowRect(control, &rect);
    Print(std::to_string((rect.left + rect.right) / 2) + " " +
          std::to_string(rect.bottom + 1 + height * static_cast<LONG>(index) + height / 2));
    return 0;
  }
  return Fail("unknown command");
}
