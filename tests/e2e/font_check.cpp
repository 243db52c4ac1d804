// vl-font-check.exe: the program's dialog templates in another face, as a Windows without the
// templates' own face gets them, made by the real dialog manager beside the templates as they
// stand: each must have the same controls, with the same ids, classes, styles and texts, in
// the face it was given. Prints "N templates: the same controls in MS Shell Dlg", then the
// face this system draws the templates' "宋体" in and the one a face it lacks falls back to.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "res/resource.h"
#include "ui/win32/dialog_face.h"
#include "ui/win32/win32_text.h"

namespace {

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

std::wstring Face(HWND dialog) {
  LOGFONTW font{};
  const auto handle = reinterpret_cast<HGDIOBJ>(  // NOLINT(performance-no-int-to-ptr)
      SendMessageW(dialog, WM_GETFONT, 0, 0));
  return handle != nullptr && GetObjectW(handle, sizeof(font), &font) != 0 ? font.lfFaceName : L"";
}

// Each control as "id class style text", in order.
std::vector<std::wstring> Controls(HWND dialog) {
  std::vector<std::wstring> controls;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t kind[64] = {};
    wchar_t text[512] = {};
    GetClassNameW(child, kind, 64);
    GetWindowTextW(child, text, 512);
    controls.push_back(std::to_wstring(GetDlgCtrlID(child)) + L" " + kind + L" " +
                       std::to_wstring(GetWindowLongPtrW(child, GWL_STYLE)) + L" " + text);
  }
  return controls;
}

}  // namespace

int main() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const std::wstring shellFace = L"MS Shell Dlg";
  int same = 0;
  int failed = 0;
  for (const int id : {IDD_ABOUTBOX, IDD_CONTROL_PANEL, IDD_REMOTE_PANEL, IDD_UPGRADE,
                       IDD_READ_SOFTWARE, IDD_PORT_SETUP, IDD_CONNECT}) {
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), RT_DIALOG);
    const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(instance, found)));
    const std::size_t size = SizeofResource(instance, found);
    const std::vector<DWORD> copy = ui::WithFace(bytes, size, shellFace);
    HWND original = CreateDialogParamW(instance, MAKEINTRESOURCEW(id), nullptr, Quiet, 0);
    HWND other = copy.empty() ? nullptr
                              : CreateDialogIndirectParamW(
                                    instance, reinterpret_cast<const DLGTEMPLATE*>(copy.data()),
                                    nullptr, Quiet, 0);
    const bool ok = original != nullptr && other != nullptr &&
                    ui::TemplateFace(bytes, size) == L"\u5B8B\u4F53" &&
                    Controls(original) == Controls(other) && Face(other) == shellFace;
    if (ok) {
      ++same;
    } else {
      ++failed;
      std::printf("template %d: %s\n", id,
                  other == nullptr ? "not made" : ui::Narrow(Face(other)).c_str());
    }
    if (original != nullptr) {
      DestroyWindow(original);
    }
    if (other != nullptr) {
      DestroyWindow(other);
    }
  }
  std::printf("%d templates: the same controls in %s\n", same, ui::Narrow(shellFace).c_str());
  std::printf("drawn in: %s\n", ui::Narrow(ui::DialogFace(L"\u5B8B\u4F53")).c_str());
  std::printf("without the face: %s\n",
              ui::Narrow(ui::DialogFace(L"A face no system has")).c_str());
  return failed == 0 ? 0 : 1;
}
