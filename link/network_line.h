// A serial line behind a serial device server, reached over TCP: by RFC 2217, where this
// end sets the line, or as raw bytes. The serial port uses it as it uses a tty: what has
// arrived, bounded waits for more, bounded writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "link/network_address.h"
#include "link/port_failure.h"

struct gensio;
struct gensio_iod;
struct gensio_os_funcs;
struct gensio_waiter;

namespace comm {

class NetworkLine {
 public:
  // answerWait: how long the line's framing may take to be confirmed before it is taken as
  // set (a test may make it 0: nothing is awaited).
  explicit NetworkLine(std::chrono::milliseconds answerWait = std::chrono::milliseconds(1000))
      : answerWait_(answerWait) {}
  NetworkLine(const NetworkLine&) = delete;
  NetworkLine& operator=(const NetworkLine&) = delete;
  ~NetworkLine();

  // Connects and, for RFC 2217, sets the line: the baud, 8 data bits, no parity, 1 stop bit,
  // no flow control, DTR and RTS on. 1 when connected; 0 with why not. The name's lookup and
  // the connection share one time limit. held: how long the server must then keep the
  // connection for the line to count as open; one it closes sooner was refused (ser2net
  // takes a connection to a line another client holds only to say so), and what the server
  // said meanwhile is why, never the line's.
  int Open(const NetworkAddress& address, int baud, PortFailure& failure, std::string& detail,
           std::chrono::milliseconds held = std::chrono::milliseconds(0));
  // Up to room of the bytes received, waiting at most wait for the first of them.
  std::size_t Read(unsigned char* into, std::size_t room, std::chrono::milliseconds wait);
  // The bytes written within wait.
  std::size_t Write(const unsigned char* data, std::size_t count, std::chrono::milliseconds wait);
  // The server shut or reset the connection, or the network lost it: nothing more will come.
  bool Gone() const { return gone_; }
  // Carries the bytes both ways between this line and fd (a pty's master side, say) until
  // the connection is lost or stop() says so, checked twice a second. Nothing is dropped: a
  // side that takes no more holds the other back.
  void Relay(int fd, const std::function<bool()>& stop);

  // One setting asked of the server, and its answer.
  struct Setting {
    NetworkLine* line = nullptr;
    const char* name = "";
    unsigned int wanted = 0;
    bool modemLine = false;  // DTR or RTS: a server on a line without them never answers
    bool answered = false;
  };

  // Called by the library; public only for its callbacks.
  void Answered(Setting& setting, int error, unsigned int value);
  void Done(int error);
  int Event(int event, int error, unsigned char* buffer, std::size_t* length);
  void FdReadable();
  void FdWritable();

 private:
  // Waits until what was written has left the server's device: a server flushes its device
  // when the client goes, and would throw away the last frame.
  void Settle();
  void Close();
  // The line time of count more bytes, from now or from when the line is free.
  void Wrote(std::size_t count);
  // Lets the library work, dropping what arrives, until then, until done() says so, or
  // until the line is lost.
  void WaitUntil(std::chrono::steady_clock::time_point until,
                 const std::function<bool()>& done = {});
  // Why the server closed the connection while it was being set up; addresses: where it
  // is asked again when it said nothing on this connection.
  void ClosedByServer(const std::string& addresses, PortFailure& failure, std::string& detail);
  // Waits until every asked setting is answered or the time is up.
  void AwaitAnswers();
  // Waits for the open or close asked of the library, at most wait; its error, or
  // GE_TIMEDOUT.
  int AwaitDone(std::chrono::milliseconds wait);

  std::chrono::milliseconds answerWait_;
  int baud_ = 115200;
  bool rfc2217_ = false;
  // When the server's device has sent all that was written, at the line's speed; only
  // meaningful once something was written.
  std::chrono::steady_clock::time_point lineFreeAt_;
  bool wrote_ = false;
  // What the server said before the connection was up (ser2net: "Port already in use").
  std::string said_;
  gensio_os_funcs* os_ = nullptr;
  gensio_waiter* waiter_ = nullptr;
  gensio* io_ = nullptr;
  bool gone_ = false;
  bool open_ = false;  // set up: what arrives from now on is the line's
  bool done_ = false;
  // While relaying: the other side, and what it gave that the connection has yet to take.
  gensio_iod* relayed_ = nullptr;
  int relayFd_ = -1;
  std::vector<unsigned char> toSend_;
  int doneError_ = 0;
  static constexpr std::size_t kSettingCount = 7;  // baud, framing, flow control, DTR, RTS
  Setting settings_[kSettingCount];
  Setting query_;         // the question whose answer shows the server has taken all before it
  unsigned answers_ = 0;  // answers the server gave, to whichever question
  std::string refused_;   // a setting the server answered with another value
};

}  // namespace comm
