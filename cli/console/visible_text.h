// Text that a device, a file or a server chose (an adapter's USB strings, file and port
// names, a device server's words), as it may be given to a terminal: shown, never done.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// text with each control character written out as a visible escape: the C0 controls and
// DEL as \xNN (tab, line feed and carriage return as \t, \n and \r), the C1 controls
// U+0080 to U+009F as \u0080 to \u009f, and each byte that is not part of UTF-8 as \xNN.
// Everything else stays as it is, "！" and CJK text included, and so does a backslash, so
// that a Windows path reads as the user wrote it.
std::string VisibleText(std::string_view text);

}  // namespace cli
