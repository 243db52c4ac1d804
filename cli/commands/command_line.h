// What the command line of vesker-link asks for, and its usage and help texts.
#pragma once

#include <string>
#include <vector>

#include "cli/console/exit_code.h"
#include "cli/ports/port_names.h"

namespace cli {

struct CommandLine {
  // Each port the command runs on, side by side; none: the port index of Pelto.cfg in the
  // current directory.
  std::vector<std::string> ports;
  int baud = 115200;
  bool json = false;
  bool quiet = false;
  bool fast = true;       // each answer taken as soon as it is complete (--tick: on the tick)
  bool listOnly = false;  // probe: the serial ports found, without opening them
  bool noBackup = false;
  bool once = false;      // a read is one pass, trusted as it came
  bool noVerify = false;  // an upgrade is not read back
  bool force = false;     // an upgrade writes even what the receiver already holds
  int restartWaitSeconds = 120;
  int count = 0;        // watch: the receivers to handle in all before it ends; 0: until stopped
  std::string logPath;  // one JSON line per port and run is appended here
  // Folders of ROM images a read may equal, which then proves it in one pass (--known).
  std::vector<std::string> knownFolders;
  // watch: where the bench's page is served (--serve [ADDR:]PORT); servePort -1: nowhere.
  std::string serveHost;
  int servePort = -1;
  bool help = false;
  bool version = false;
  int repeat = 1;
  int gapMs = 300;
  std::string command;
  std::vector<std::string> arguments;

  // The arguments as given, for a command that retries some of the ports: which of them
  // name ports, and which one is the command's file (-1: none).
  std::vector<std::string> given;
  std::vector<bool> givenPort;
  int givenFile = -1;
};

// The arguments that run the same command again on just these ports (as the user named
// them); a read of several ports retried on one keeps that port's file name.
std::vector<std::string> RetryArguments(const CommandLine& line,
                                        const std::vector<std::string>& ports);

// Options may come before or after the command; "--" ends them. False with the reason for
// anything it cannot take, including a command's missing or surplus arguments.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error);

extern const char kUsageLine[];
extern const char kHelpText[];

}  // namespace cli
