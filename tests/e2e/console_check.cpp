// vl-console-check.exe FILE: what the console it runs in is set to, as a program run before
// it in the same console left it, appended to FILE as a line: "code page 850, escape
// sequences off" (the output code page, and whether its error output takes escape
// sequences). The console's own screen is no place to read it back from.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    return 2;
  }
  DWORD mode = 0;
  GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
  std::FILE* out = _wfopen(argv[1], L"a");
  if (out == nullptr) {
    return 1;
  }
  std::fprintf(out, "code page %u, escape sequences %s\n", GetConsoleOutputCP(),
               (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ? "on" : "off");
  return std::fclose(out) == 0 ? 0 : 1;
}
