// What the command line of vesker-link asks for, and its usage and help texts.
#pragma once

#include <string>
#include <vector>

namespace cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitReceiver = 1,  // time-out, wrong answer, variant mismatch, blocks that differ
  kExitUsage = 2,
  kExitRomFile = 3,
  kExitPort = 4,
  kExitFileWrite = 5,
};

struct CommandLine {
  std::string port;  // empty: the port index of Pelto.cfg in the current directory
  int baud = 115200;
  bool json = false;
  bool quiet = false;
  bool fast = false;
  bool noBackup = false;
  bool help = false;
  bool version = false;
  int repeat = 1;
  int gapMs = 300;
  std::string command;
  std::vector<std::string> arguments;
};

// Options may come before or after the command; "--" ends them. False with the reason for
// anything it cannot take, including a command's missing or surplus arguments.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error);

// A port as the user names it: 1 to 4 or COMn give n, a device path gives 0; false for
// anything that looks like neither (a bare digit beyond 4, COM with no number).
bool ParsePortName(const std::string& text, int& comNumber);

extern const char kUsageLine[];
extern const char kHelpText[];

}  // namespace cli
