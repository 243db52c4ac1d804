#pragma once

namespace ui {

// Window caption and the caption of the program's message boxes (two blanks on purpose).
inline constexpr char kProgramTitle[] = "Vesker  Link 1.0";

}  // namespace ui
