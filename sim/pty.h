// The pseudo-terminal the receiver sits on: the state its program's end starts in, and the
// symbolic link that names it.
#pragma once

#include <termios.h>

#include <string>

namespace sim {

// The state the program's end of the line is in when the receiver comes up.
enum class LineState {
  kRaw,   // raw 8N1 at the line's speed
  kNew,   // as the kernel sets up a newly plugged adapter: XON/XOFF, CR translation, echo,
          // line editing, 38400 baud
  kLeft,  // as another program left it: parity, two stop bits, RTS/CTS and XON/XOFF, ISTRIP,
          // 7 bits, 9600 baud (a pty keeps all but the parity and the 7 bits)
};

// Puts a fresh pty's line into the state (the program's end of it, as seen from either end).
bool SetLineState(int fd, LineState state);

class Pty {
 public:
  Pty() = default;
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // A new pty whose program's end starts in the state given.
  bool Open(LineState state, std::string& error);
  // Closes both ends: the program's port is left on a dead line. The link stays.
  void Close();
  bool IsOpen() const { return master_ >= 0; }
  // The receiver's end; -1 while closed.
  int Master() const { return master_; }
  // The program's end, kept after a close.
  const std::string& Path() const { return path_; }
  // The settings of the program's end now; false when there is no line.
  bool ProgramEnd(termios& settings) const;

  // Points a symbolic link at the pty, replacing whatever was there in one step.
  bool LinkAs(const std::string& linkPath, std::string& error);
  // Points the link, if there is one, at the pty now open.
  bool Relink(std::string& error);
  // Removes the link, if there is one, as when an adapter goes away.
  void Unlink() const;

 private:
  int master_ = -1;
  int slave_ = -1;  // held open so the line stays up while the program closes and reopens
  std::string path_;
  std::string linkPath_;
};

}  // namespace sim
