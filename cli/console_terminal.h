// The few things the command line needs from the console it runs in.
#pragma once

#include <string>

namespace cli {

// True when progress goes to a terminal that can redraw a line.
bool StderrIsTerminal();

#ifdef _WIN32
// UTF-8 output, so that "！" and the key captions show as they are.
void PrepareConsole();
std::string Utf8FromWide(const wchar_t* text);
#endif

}  // namespace cli
