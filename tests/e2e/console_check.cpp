// vl-console-check.exe: what the console it runs in is set to, as a program run before it in
// the same console left it: "code page 850, escape sequences off" (the output code page, and
// whether its error output takes escape sequences).
#include <windows.h>

#include <cstdio>

int main() {
  DWORD mode = 0;
  GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
  std::printf("code page %u, escape sequences %s\n", GetConsoleOutputCP(),
              (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ? "on" : "off");
  return 0;
}
