#include "link/network_line.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "link/network_context.h"
#include "link/network_lookup.h"
#include "link/network_refusal.h"

namespace comm {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The name's lookup and the connection together: a connection that has not come up by then
// is not going to (a host that drops the SYN, a name server that never answers).
constexpr milliseconds kConnectWait(5000);
// DTR and RTS are asked alongside; a server on a line without modem lines (a pty) never
// answers them, so once the framing is in they get only this much longer.
constexpr milliseconds kModemLineGrace(50);
constexpr milliseconds kCloseWait(1000);
// What was written long enough ago has left the server's device by any measure.
constexpr milliseconds kSettled(1000);
// After the server has shown it took everything, what its device's FIFO or USB adapter still
// holds beyond the line time of the bytes themselves.
constexpr milliseconds kDeviceMargin(20);
// A raw socket gives no sign that the server has the bytes: the network's share too.
constexpr milliseconds kRawMargin(100);
// Passes of the library's loop for what is pending, and the wait for a close after words.
constexpr int kPendingPasses = 16;
constexpr milliseconds kWordsBeforeClose(500);

int OnEvent(gensio* /*io*/, void* user, int event, int error, unsigned char* buffer,
            gensiods* length, const char* const* /*aux*/) {
  std::size_t taken = length != nullptr ? *length : 0;
  const int result = static_cast<NetworkLine*>(user)->Event(event, error, buffer, &taken);
  if (length != nullptr) {
    *length = taken;
  }
  return result;
}

void OnFdRead(gensio_iod* /*iod*/, void* data) {
  static_cast<NetworkLine*>(data)->FdReadable();
}

void OnFdWrite(gensio_iod* /*iod*/, void* data) {
  static_cast<NetworkLine*>(data)->FdWritable();
}

void OnFdCleared(gensio_iod* /*iod*/, void* data) {
  static_cast<NetworkLine*>(data)->Done(0);
}

void OnDone(gensio* /*io*/, int error, void* data) {
  static_cast<NetworkLine*>(data)->Done(error);
}

void OnClosed(gensio* /*io*/, void* data) {
  static_cast<NetworkLine*>(data)->Done(0);
}

void OnAnswer(sergensio* /*sio*/, int error, unsigned int value, void* data) {
  auto* setting = static_cast<NetworkLine::Setting*>(data);
  setting->line->Answered(*setting, error, value);
}

}  // namespace

NetworkLine::~NetworkLine() {
  Close();
}

// The library tells of the server's notifications (modem and line state) here; none of
// them changes what the exchange does, so they are taken and dropped. So are the bytes
// that come while the line is being set up (an opened port starts empty); while relaying,
// they go on to the other side.
int NetworkLine::Event(int event, int error, unsigned char* buffer, std::size_t* length) {
  switch (event) {
    case GENSIO_EVENT_READ:
      if (error != 0) {
        gone_ = true;
        gensio_os_funcs_wake(os_, waiter_);
        return 0;
      }
      if (!open_ && said_.size() < 200) {
        said_.append(reinterpret_cast<const char*>(buffer), std::min<std::size_t>(*length, 200));
      }
      if (relayFd_ >= 0) {
        const ssize_t written = ::write(relayFd_, buffer, *length);
        const std::size_t taken = written > 0 ? static_cast<std::size_t>(written) : 0;
        if (taken < *length) {
          // The other side is full: the rest waits here until it takes more.
          gensio_set_read_callback_enable(io_, false);
          os_->set_write_handler(relayed_, true);
        }
        *length = taken;
        if (taken > 0 && wrote_) {
          lineFreeAt_ = std::min(lineFreeAt_, steady_clock::now());  // as in Read
        }
      }
      return 0;
    case GENSIO_EVENT_WRITE_READY:
      FdReadable();
      return 0;
    case GENSIO_EVENT_SER_MODEMSTATE:
    case GENSIO_EVENT_SER_LINESTATE:
    case GENSIO_EVENT_SER_FLOW_STATE:
    case GENSIO_EVENT_SER_FLUSH:
    case GENSIO_EVENT_SER_SYNC:
      return 0;
    default:
      return GE_NOTSUP;
  }
}

void NetworkLine::FdReadable() {
  // What the connection has not taken yet goes first; only then is more read.
  if (toSend_.empty()) {
    unsigned char buffer[4096];
    const ssize_t got = ::read(relayFd_, buffer, sizeof(buffer));
    if (got <= 0) {
      return;
    }
    toSend_.assign(buffer, buffer + got);
  }
  gensiods written = 0;
  if (gensio_write(io_, &written, toSend_.data(), toSend_.size(), nullptr) != 0) {
    gone_ = true;
    gensio_os_funcs_wake(os_, waiter_);
    return;
  }
  Wrote(written);
  toSend_.erase(toSend_.begin(), toSend_.begin() + static_cast<long>(written));
  const bool held = !toSend_.empty();
  os_->set_read_handler(relayed_, !held);
  gensio_set_write_callback_enable(io_, held);
}

void NetworkLine::FdWritable() {
  os_->set_write_handler(relayed_, false);
  gensio_set_read_callback_enable(io_, true);  // the library offers the rest again
}

void NetworkLine::Relay(int fd, const std::function<bool()>& stop) {
  if (io_ == nullptr || gone_) {
    return;
  }
  if (os_->add_iod(os_, GENSIO_IOD_DEV, fd, &relayed_) != 0 ||
      os_->set_fd_handlers(relayed_, this, OnFdRead, OnFdWrite, nullptr, OnFdCleared) != 0) {
    if (relayed_ != nullptr) {
      os_->release_iod(relayed_);
      relayed_ = nullptr;
    }
    return;
  }
  relayFd_ = fd;
  toSend_.clear();
  gensio_clear_sync(io_);
  gensio_set_read_callback_enable(io_, true);
  os_->set_read_handler(relayed_, true);
  while (!gone_ && !stop()) {
    gensio_time time = LibraryTime(milliseconds(500));
    gensio_os_funcs_wait(os_, waiter_, 1, &time);
  }
  // What the program wrote last still reaches the receiver; nothing more is taken from it.
  gensio_set_write_callback_enable(io_, false);
  os_->set_read_handler(relayed_, false);
  os_->set_write_handler(relayed_, false);
  relayFd_ = -1;
  Settle();
  gensio_set_read_callback_enable(io_, false);
  done_ = false;
  os_->clear_fd_handlers(relayed_);
  AwaitDone(kCloseWait);
  os_->release_iod(relayed_);
  relayed_ = nullptr;
  relayFd_ = -1;
  gone_ = true;  // the line is no longer in step for Read and Write: only Close is left
}

void NetworkLine::Done(int error) {
  done_ = true;
  doneError_ = error;
  gensio_os_funcs_wake(os_, waiter_);
}

void NetworkLine::Answered(Setting& setting, int error, unsigned int value) {
  setting.answered = true;
  if (error == 0) {
    ++answers_;
  }
  // A server that cannot set what it was asked answers with what it kept (9600 for 115200).
  if (error == 0 && !setting.modemLine && value != setting.wanted && refused_.empty()) {
    refused_ = std::string(setting.name) + " " + std::to_string(value) + " where " +
               std::to_string(setting.wanted) + " was asked";
  }
  gensio_os_funcs_wake(os_, waiter_);
}

int NetworkLine::AwaitDone(milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (!done_) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return GE_TIMEDOUT;
    }
    gensio_time time = LibraryTime(left);
    gensio_os_funcs_wait(os_, waiter_, 1, &time);
  }
  return doneError_;
}

void NetworkLine::AwaitAnswers() {
  using std::chrono::steady_clock;
  // The line's framing must be answered before the first byte goes out at the wrong speed;
  // a server that does not answer in time is taken to have set what it was asked.
  const auto framingUntil = steady_clock::now() + answerWait_;
  steady_clock::time_point until = framingUntil;
  for (;;) {
    bool framing = true;
    bool all = true;
    for (const Setting& setting : settings_) {
      if (setting.line != nullptr && !setting.answered) {
        all = false;
        framing = framing && setting.modemLine;
      }
    }
    if (all || gone_) {
      // A server that closes as it negotiates (ser2net's "Port already in use") leaves its
      // words among the library's pending events: they are taken before the line counts.
      gensio_time now = {0, 0};
      for (int pass = 0; pass < kPendingPasses && !gone_; ++pass) {
        if (gensio_os_funcs_service(os_, &now) != 0) {
          break;  // nothing more was pending
        }
      }
      return;
    }
    if (framing && until == framingUntil) {
      until = std::min(framingUntil, steady_clock::now() + kModemLineGrace);
    }
    const auto left = std::chrono::duration_cast<milliseconds>(until - steady_clock::now());
    if (left.count() <= 0) {
      return;
    }
    gensio_time time = LibraryTime(left);
    gensio_os_funcs_wait(os_, waiter_, 1, &time);
  }
}

int NetworkLine::Open(const NetworkAddress& address, int baud, PortFailure& failure,
                      std::string& detail, milliseconds held) {
  Close();
  const auto until = steady_clock::now() + kConnectWait;
  // The port's thread alone works this connection, so its events need no waking signal
  // between threads: every line has its own.
  if (!NetworkLibraryReady() || gensio_unix_funcs_alloc(nullptr, 0, &os_) != 0 ||
      (waiter_ = gensio_os_funcs_alloc_waiter(os_)) == nullptr) {
    failure = PortFailure::kOther;
    detail = "out of memory";
    Close();
    return 0;
  }
  std::string addresses;
  if (!LookUpHost(address, kConnectWait, addresses, detail)) {
    failure = PortFailure::kUnknownHost;
    Close();
    return 0;
  }
  baud_ = baud > 0 ? baud : 115200;
  rfc2217_ = address.kind == NetworkAddress::Kind::kRfc2217;
  const std::string stack =
      std::string(rfc2217_ ? "telnet(rfc2217)," : "") + "tcp(nodelay=true)," + addresses;
  int error = str_to_gensio(stack.c_str(), os_, OnEvent, this, &io_);
  if (error == 0) {
    done_ = false;
    error = gensio_open(io_, OnDone, this);
    if (error == 0) {
      error = AwaitDone(std::max(
          milliseconds(0), std::chrono::duration_cast<milliseconds>(until - steady_clock::now())));
    }
  }
  if (error != 0) {
    failure = FailureOfLibraryError(error);
    detail = error == GE_TIMEDOUT
                 ? "no connection within " + std::to_string(kConnectWait.count() / 1000) + " s"
                 : gensio_err_to_str(error);
    if (error == GE_REMCLOSE) {
      ClosedByServer(addresses, failure, detail);
    }
    Close();
    return 0;
  }
  if (sergensio* line = rfc2217_ ? gensio_to_sergensio(io_) : nullptr; line != nullptr) {
    using Ask = int (*)(sergensio*, unsigned int, sergensio_done, void*);
    struct Asked {
      const char* name;
      Ask ask;
      unsigned int wanted;
      bool modemLine;
    };
    const Asked asked[kSettingCount] = {
        {"baud", sergensio_baud, static_cast<unsigned int>(baud_), false},
        {"data bits", sergensio_datasize, 8, false},
        {"parity", sergensio_parity, SERGENSIO_PARITY_NONE, false},
        {"stop bits", sergensio_stopbits, 1, false},
        {"flow control", sergensio_flowcontrol, SERGENSIO_FLOWCONTROL_NONE, false},
        {"DTR", sergensio_dtr, SERGENSIO_DTR_ON, true},
        {"RTS", sergensio_rts, SERGENSIO_RTS_ON, true},
    };
    // The answers come in with the data: read while they are awaited.
    gensio_set_read_callback_enable(io_, true);
    for (std::size_t i = 0; i < std::size(asked); ++i) {
      Setting& setting = settings_[i];
      setting = Setting{this, asked[i].name, asked[i].wanted, asked[i].modemLine, false};
      // A server that did not take up the COM port option cannot be asked: the line's
      // settings are then its own, as with a raw socket.
      if (asked[i].ask(line, setting.wanted, OnAnswer, &setting) != 0) {
        setting.answered = true;
      }
    }
    AwaitAnswers();
    if (gone_) {
      ClosedByServer(addresses, failure, detail);
      Close();
      return 0;
    }
    if (!refused_.empty()) {
      failure = PortFailure::kSettings;
      detail = "the server set " + refused_;
      Close();
      return 0;
    }
    // A freshly opened port starts empty, whatever the server still holds from before.
    sergensio_flush(line, SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
  }
  // A server that speaks before it is spoken to says why it is about to close (ser2net's
  // "Port already in use"), and its close may come a moment after its words.
  if (!said_.empty()) {
    held = std::max(held, kWordsBeforeClose);
  }
  if (held.count() > 0) {
    // Nothing has been sent on this connection yet, so nothing that comes meanwhile answers
    // it: it is kept only as the server's words, should the server close.
    gensio_set_read_callback_enable(io_, true);
    WaitUntil(steady_clock::now() + held);
    if (gone_) {
      ClosedByServer(addresses, failure, detail);
      Close();
      return 0;
    }
  }
  gensio_set_read_callback_enable(io_, false);
  gensio_set_sync(io_);
  open_ = true;
  return 1;
}

void NetworkLine::ClosedByServer(const std::string& addresses, PortFailure& failure,
                                 std::string& detail) {
  // The library may drop what the server said with its close, during the Telnet
  // negotiation or just after it.
  if (said_.empty()) {
    said_ = ServerWords(addresses);
  }
  failure = RefusalOf(said_, detail);
}

void NetworkLine::Wrote(std::size_t count) {
  if (count == 0) {
    return;
  }
  const auto now = steady_clock::now();
  // 8N1: ten bits a byte.
  const auto lineTime = std::chrono::nanoseconds(static_cast<long long>(count) * 10 * 1000000000LL /
                                                 static_cast<long long>(baud_));
  lineFreeAt_ = (wrote_ ? std::max(now, lineFreeAt_) : now) + lineTime;
  wrote_ = true;
}

void NetworkLine::WaitUntil(steady_clock::time_point until, const std::function<bool()>& done) {
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - steady_clock::now());
    if (gone_ || left.count() <= 0 || (done && done())) {
      return;
    }
    gensio_time time = LibraryTime(left);
    gensio_os_funcs_wait(os_, waiter_, 1, &time);
  }
}

void NetworkLine::Settle() {
  if (io_ == nullptr || gone_ || !wrote_ || steady_clock::now() > lineFreeAt_ + kSettled) {
    return;
  }
  // What arrives meanwhile is dropped, and read, so that the server sees an orderly close.
  gensio_clear_sync(io_);
  gensio_set_read_callback_enable(io_, true);
  sergensio* line = rfc2217_ ? gensio_to_sergensio(io_) : nullptr;
  // The server handles the stream in order: its answer to a question asked after the data
  // shows that it has handed all of them to its device. Asking for the speed changes
  // nothing on the line. The library hands an answer to the oldest question still open
  // (DTR and RTS, which a server on a line without modem lines never answers), so any
  // answer from now on is the one to this question.
  query_ = Setting{this, "baud", 0, true, false};
  const unsigned answersBefore = answers_;
  const auto asked = steady_clock::now();
  if (line != nullptr && sergensio_baud(line, 0, OnAnswer, &query_) == 0) {
    WaitUntil(asked + kCloseWait, [&] { return answers_ != answersBefore; });
  }
  if (answers_ != answersBefore) {
    // The bytes reached the server no later than a round trip after they were written;
    // from then on the device needs their line time.
    const auto roundTrip = steady_clock::now() - asked;
    WaitUntil(std::max(lineFreeAt_ + roundTrip, steady_clock::now()) + kDeviceMargin);
  } else {
    WaitUntil(lineFreeAt_ + kRawMargin);
  }
  query_ = Setting{};
}

void NetworkLine::Close() {
  if (io_ != nullptr) {
    Settle();
    done_ = false;
    if (gensio_close(io_, OnClosed, this) == 0) {
      AwaitDone(kCloseWait);
    }
    gensio_free(io_);
    io_ = nullptr;
  }
  if (waiter_ != nullptr) {
    gensio_os_funcs_free_waiter(os_, waiter_);
    waiter_ = nullptr;
  }
  if (os_ != nullptr) {
    gensio_os_funcs_free(os_);
    os_ = nullptr;
  }
  for (Setting& setting : settings_) {
    setting = Setting{};
  }
  query_ = Setting{};
  refused_.clear();
  said_.clear();
  gone_ = false;
  open_ = false;
  wrote_ = false;
}

std::size_t NetworkLine::Read(unsigned char* into, std::size_t room, milliseconds wait) {
  if (io_ == nullptr || gone_ || room == 0) {
    if (wait.count() > 0) {
      std::this_thread::sleep_for(wait);  // nothing can come: the time passes all the same
    }
    return 0;
  }
  gensiods count = 0;
  gensio_time time = LibraryTime(wait);
  const int error = gensio_read_s(io_, &count, into, room, &time);
  if (error != 0 && error != GE_TIMEDOUT) {
    gone_ = true;
  }
  // The receiver answers what it was sent: whatever went before has reached it, however far
  // behind the line's nominal speed says it should be (a receiver on a pty is faster).
  if (count > 0 && wrote_) {
    lineFreeAt_ = std::min(lineFreeAt_, steady_clock::now());
  }
  return count;
}

std::size_t NetworkLine::Write(const unsigned char* data, std::size_t count, milliseconds wait) {
  if (io_ == nullptr || gone_ || count == 0) {
    return 0;
  }
  gensiods written = 0;
  gensio_time time = LibraryTime(wait);
  const int error = gensio_write_s(io_, &written, data, count, &time);
  if (error != 0 && error != GE_TIMEDOUT) {
    gone_ = true;
  }
  Wrote(written);
  return written;
}

}  // namespace comm
