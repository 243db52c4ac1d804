// The typeface the dialogs are drawn in on this system. The templates name "宋体" (SimSun), as
// the program always has; a Windows that does not know the face by that name would have the
// font mapper put in whatever font it sees fit, with dialog units, and so every size, to
// match. So a template's face is kept where the system has it, else taken by its English
// name, else the system's own dialog font ("MS Shell Dlg", a name Windows maps to the dialog
// font of its language, linked to fonts for the full-width marks).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui {

// The face of an extended dialog template (DLGTEMPLATEEX) with a font; empty for any other.
std::wstring TemplateFace(const BYTE* bytes, std::size_t size);

// The template's bytes with its face replaced, DWORD-aligned as DialogBoxIndirectParamW needs
// them; empty when the template has no face to replace.
std::vector<DWORD> WithFace(const BYTE* bytes, std::size_t size, const std::wstring& face);

// The face to draw a template that names face in, on this system (asked once per face).
std::wstring DialogFace(const std::wstring& face);

}  // namespace ui
