#include "ui/win32/dialog_face.h"

#include <cstring>
#include <map>

namespace ui {

namespace {

// Where the face begins and where the first control's template begins in a DLGTEMPLATEEX, in
// bytes; false for a template of another kind or without a font.
bool FaceLayout(const BYTE* bytes, std::size_t size, std::size_t& faceAt, std::size_t& itemsAt) {
  const auto word = [&](std::size_t at) {
    WORD value = 0;
    std::memcpy(&value, bytes + at, sizeof(value));
    return value;
  };
  // dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy.
  constexpr std::size_t kHeader = 26;
  if (bytes == nullptr || size < kHeader || word(0) != 1 || word(2) != 0xFFFF) {
    return false;
  }
  DWORD style = 0;
  std::memcpy(&style, bytes + 12, sizeof(style));
  if ((style & DS_SETFONT) == 0) {
    return false;
  }
  std::size_t at = kHeader;
  // A string ends with a null; 0xFFFF is followed by an ordinal; 0 is none.
  const auto skipNameOrOrdinal = [&]() {
    if (at + 2 > size) {
      return false;
    }
    if (word(at) == 0xFFFF) {
      at += 4;
      return at <= size;
    }
    while (at + 2 <= size && word(at) != 0) {
      at += 2;
    }
    at += 2;
    return at <= size;
  };
  // The menu, the window class and the caption, then the point size, weight, italic and
  // character set before the face.
  if (!skipNameOrOrdinal() || !skipNameOrOrdinal() || !skipNameOrOrdinal() || at + 6 > size) {
    return false;
  }
  at += 6;
  faceAt = at;
  while (at + 2 <= size && word(at) != 0) {
    at += 2;
  }
  at += 2;
  itemsAt = (at + 3) & ~static_cast<std::size_t>(3);
  return itemsAt <= size;
}

bool SystemHasFace(const std::wstring& face) {
  if (face.empty() || face.size() >= LF_FACESIZE) {
    return false;
  }
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  std::memcpy(wanted.lfFaceName, face.c_str(), (face.size() + 1) * sizeof(wchar_t));
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    return false;
  }
  bool found = false;
  EnumFontFamiliesExW(
      screen, &wanted,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM result) -> int {
        *reinterpret_cast<bool*>(result) = true;  // NOLINT(performance-no-int-to-ptr)
        return 0;                                 // one is enough
      },
      reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

}  // namespace

std::wstring TemplateFace(const BYTE* bytes, std::size_t size) {
  std::size_t faceAt = 0;
  std::size_t itemsAt = 0;
  if (!FaceLayout(bytes, size, faceAt, itemsAt)) {
    return std::wstring();
  }
  std::wstring face;
  for (std::size_t at = faceAt; at + 2 <= size; at += 2) {
    wchar_t c = 0;
    std::memcpy(&c, bytes + at, sizeof(c));
    if (c == L'\0') {
      break;
    }
    face += c;
  }
  return face;
}

std::vector<DWORD> WithFace(const BYTE* bytes, std::size_t size, const std::wstring& face) {
  std::size_t faceAt = 0;
  std::size_t itemsAt = 0;
  if (!FaceLayout(bytes, size, faceAt, itemsAt)) {
    return {};
  }
  // The controls start on a DWORD boundary after the face, in the copy as in the original, so
  // everything within them keeps its alignment.
  const std::size_t newItemsAt =
      (faceAt + (face.size() + 1) * sizeof(wchar_t) + 3) & ~std::size_t{3};
  const std::size_t total = newItemsAt + (size - itemsAt);
  std::vector<DWORD> copy((total + 3) / 4, 0);
  auto* out = reinterpret_cast<BYTE*>(copy.data());
  std::memcpy(out, bytes, faceAt);
  std::memcpy(out + faceAt, face.c_str(), (face.size() + 1) * sizeof(wchar_t));
  std::memcpy(out + newItemsAt, bytes + itemsAt, size - itemsAt);
  return copy;
}

std::wstring DialogFace(const std::wstring& face) {
  static std::map<std::wstring, std::wstring> chosen;  // the user-interface thread's alone
  const auto known = chosen.find(face);
  if (known != chosen.end()) {
    return known->second;
  }
  std::wstring use = L"MS Shell Dlg";
  if (SystemHasFace(face)) {
    use = face;
  } else if (face == L"\u5B8B\u4F53" && SystemHasFace(L"SimSun")) {
    use = L"SimSun";
  }
  chosen.emplace(face, use);
  return use;
}

}  // namespace ui
