// SerialPort on a real pty, through a COMn link as Wine maps its ports.
#include "link/serial_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/sim_line.h"
#include "ui/headless/console_host.h"

namespace {

using comm::SerialPort;

// Waits (boundedly) until the port counts the expected number of bytes.
int WaitForQueued(SerialPort& port, int expected) {
  int queued = 0;
  for (int i = 0; i < 200 && queued < expected; ++i) {
    queued = port.InQueueCount();
    if (queued < expected) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return queued;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  }
  return bytes;
}

class SerialPortOnPty : public testing::Test {
 protected:
  SerialPortOnPty() { ports_.Map(1, pty_.Path()); }
  vltest::PortMap ports_;
  vltest::BarePty pty_;
};

TEST_F(SerialPortOnPty, MissingDeviceAndComZeroDoNotOpen) {
  SerialPort port;
  EXPECT_EQ(port.Open(2, 115200), 0);  // no com2 link
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Open(0, 115200), 0);
  EXPECT_EQ(port.Open(-2147483647 - 1, 115200), 0);
}

TEST_F(SerialPortOnPty, APortHeldByAnotherObjectCannotBeOpened) {
  SerialPort first, second;
  ASSERT_EQ(first.Open(1, 115200), 1);
  EXPECT_EQ(second.Open(1, 115200), 0);
  EXPECT_FALSE(second.IsOpen());
  first.Close();
  EXPECT_EQ(second.Open(1, 115200), 1) << "closing must release the port";
}

TEST_F(SerialPortOnPty, ReopeningClosesTheOldPortEvenWhenTheNewOpenFails) {
  SerialPort port, other;
  ASSERT_EQ(port.Open(1, 115200), 1);
  EXPECT_EQ(port.Open(3, 115200), 0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(other.Open(1, 115200), 1);
}

TEST_F(SerialPortOnPty, ClosedObjectDoesNothing) {
  SerialPort port;
  unsigned char buffer[12] = {};
  EXPECT_EQ(port.InQueueCount(), 0);
  EXPECT_EQ(port.Write("abc", 3), 0);
  EXPECT_EQ(port.Read(buffer, 12), 0);
  EXPECT_EQ(port.SetBinaryMode(true), 0);
  port.Close();
  port.Close();
  ASSERT_EQ(port.Open(1, 115200), 1);
  port.Close();
  EXPECT_EQ(port.Write("abc", 3), 0);
  EXPECT_EQ(pty_.Received(50), "");
}

TEST_F(SerialPortOnPty, ReadTakesOnlyWhatIsQueued) {
  SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  unsigned char buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 0xCC);
  EXPECT_EQ(port.Read(buffer, 16), 0);
  for (unsigned char b : buffer) {
    ASSERT_EQ(b, 0xCC) << "an empty read must not touch the buffer";
  }
  pty_.Send("xyz");
  ASSERT_EQ(WaitForQueued(port, 3), 3);
  EXPECT_EQ(port.Read(buffer, 12), 3);
  EXPECT_EQ(std::string(buffer, buffer + 3), "xyz");
  EXPECT_EQ(buffer[3], 0xCC);
}

TEST_F(SerialPortOnPty, WholeBlocksCountAndReadBeyondTheTtyLimit) {
  // A tty reports at most 4095 waiting bytes; the port's own queue must still count a whole
  // 4096-byte block and more. Past its 10000 bytes, what the tty holds still counts.
  SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  const std::string sent = Pattern(12000);
  for (std::size_t offset = 0; offset < sent.size(); offset += 4000) {
    pty_.Send(sent.substr(offset, 4000));
    ASSERT_TRUE(pty_.Delivered(4000));
    EXPECT_EQ(port.InQueueCount(), static_cast<int>(offset + 4000));
  }
  std::string got(12000, '\0');
  EXPECT_EQ(port.Read(got.data(), 4096), 4096);
  EXPECT_EQ(port.InQueueCount(), 7904);
  EXPECT_EQ(port.Read(got.data() + 4096, 4096), 4096);
  EXPECT_EQ(port.Read(got.data() + 8192, 4096), 3808);
  EXPECT_EQ(got, sent);
}

TEST_F(SerialPortOnPty, QueueWrapsWithoutLosingOrReorderingBytes) {
  SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  const std::string sent = Pattern(3 * 4096 + 12);
  std::string got;
  std::size_t offset = 0;
  // Blocks of 4096 and 12-byte frames, taken as the read procedure takes them.
  while (offset < sent.size()) {
    const std::size_t piece =
        std::min<std::size_t>(offset % 8192 == 0 ? 4096 : 12, sent.size() - offset);
    pty_.Send(sent.substr(offset, piece));
    ASSERT_EQ(WaitForQueued(port, static_cast<int>(piece)), static_cast<int>(piece));
    std::string buffer(piece, '\0');
    ASSERT_EQ(port.Read(buffer.data(), static_cast<int>(piece)), static_cast<int>(piece));
    got += buffer;
    offset += piece;
  }
  EXPECT_EQ(got, sent);
}

TEST_F(SerialPortOnPty, EveryByteValuePassesUnchangedBothWays) {
  // Flow-control characters, CR, LF and NUL occur in flash data.
  SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  ASSERT_EQ(port.SetBinaryMode(true), 1);
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all += static_cast<char>(i);
  }
  EXPECT_EQ(port.Write(all.data(), 256), 256);
  EXPECT_EQ(pty_.Received(), all);
  pty_.Send(all);
  ASSERT_EQ(WaitForQueued(port, 256), 256);
  std::string got(256, '\0');
  EXPECT_EQ(port.Read(got.data(), 256), 256);
  EXPECT_EQ(got, all);
}

}  // namespace

namespace {

TEST_F(SerialPortOnPty, AWriteTheLineDoesNotTakeGivesUpAfterFiveSeconds) {
  // Nobody reads the other end: the line takes what its buffer holds, then nothing.
  comm::SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  const std::string block = Pattern(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  const int written = port.Write(block.data(), static_cast<int>(block.size()));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 1 << 20);
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_EQ(pty_.Received(), block.substr(0, static_cast<std::size_t>(written)))
      << "what it reports written is what the line got";
}

TEST_F(SerialPortOnPty, OpeningStartsWithAnEmptyQueue) {
  // Bytes a receiver sent while nobody listened (after a cancelled exchange) are not taken
  // as the answer to the next one.
  pty_.Send("stale block data");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  comm::SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  EXPECT_EQ(port.InQueueCount(), 0);
  pty_.Send("fresh");
  EXPECT_EQ(WaitForQueued(port, 5), 5);
}

TEST_F(SerialPortOnPty, WhatTheLastUserSentStillGoesOutWhenTheNextOpensAtOnce) {
  // An upgrade's CMD_STOP, and the connection test that follows it on a port of its own:
  // opening the port must not throw away what is still on its way to the receiver.
  std::string sent;
  for (char frame = 'a'; frame <= 'j'; ++frame) {
    const std::string bytes(12, frame);
    comm::SerialPort port;
    ASSERT_EQ(port.Open(1, 115200), 1);
    ASSERT_EQ(port.Write(bytes.data(), 12), 12);
    sent += bytes;
  }
  EXPECT_EQ(pty_.Received(), sent);
}

}  // namespace

namespace {

// A dialog whose ticks take nothing from its port. However its line stands (bytes waiting, no
// port at all, a line that is gone), the console host at the fast pace must not spin: it waits
// for the next period or for new bytes, and costs next to no processor time.
class IdleReader : public ui::Dialog {
 public:
  IdleReader(int com, std::function<void()> afterOpen)
      : ui::Dialog(0), com_(com), afterOpen_(std::move(afterOpen)) {}
  int ticks = 0;
  int waits = 0;

 protected:
  bool OnInitDialog() override {
    port_.Open(com_, 115200);
    afterOpen_();
    start_ = std::chrono::steady_clock::now();
    SetTimer(1, 50);
    return true;
  }
  bool AwaitTick(int /*id*/, std::chrono::steady_clock::time_point until) override {
    ++waits;
    return port_.WaitForInput(12, until);
  }
  void OnTimer(int /*id*/) override {
    ++ticks;
    if (std::chrono::steady_clock::now() - start_ >= std::chrono::milliseconds(500)) {
      EndDialog(ui::kIdOk);
    }
  }

 private:
  int com_;
  std::function<void()> afterOpen_;
  comm::SerialPort port_;
  std::chrono::steady_clock::time_point start_;
};

class NoListener : public ui::ConsoleListener {
  void MessageShown(const std::string&, const std::string&) override {}
};

std::chrono::microseconds ThreadTime() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

TEST_F(SerialPortOnPty, FastTicksOnAnIdleLineCostNextToNothing) {
  const struct {
    const char* line;
    int com;
    std::function<void()> afterOpen;
  } lines[] = {
      {"bytes no tick takes", 1, [this] { pty_.Send("twelve bytes"); }},
      {"no port", 2, [] {}},
      {"a line that is gone", 1, [this] { pty_.HangUp(); }},
  };
  for (const auto& line : lines) {
    NoListener listener;
    ui::ConsoleHost host(listener, true);
    IdleReader dialog(line.com, line.afterOpen);
    const auto before = ThreadTime();
    dialog.DoModal();
    // Ten periods, one tick early on the bytes: a host spinning on them, or on a port that
    // is not open, ticks or asks thousands of times.
    EXPECT_LE(dialog.ticks, 13) << line.line;
    EXPECT_GE(dialog.ticks, 2) << line.line;
    EXPECT_LE(dialog.waits, 2 * dialog.ticks + 2) << line.line;
    EXPECT_LT(ThreadTime() - before, std::chrono::milliseconds(50)) << line.line;
  }
}

// Every speed the system's drivers take opens the line at that speed (as the C library reads
// the number); any other does not open.
TEST_F(SerialPortOnPty, OpensAtEachLineSpeedTheSystemTakesAndNoOther) {
  SerialPort port;
  for (int baud :
       {50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
        2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
        576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000}) {
    termios expected{};
    ASSERT_EQ(cfsetspeed(&expected, static_cast<speed_t>(baud)), 0) << baud;
    ASSERT_EQ(port.Open(1, baud), 1) << baud;
    const termios line = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&line), cfgetospeed(&expected)) << baud;
    port.Close();
  }
  for (int baud : {0, 9601, 57601, 250000, 4000001}) {
    EXPECT_EQ(port.Open(1, baud), 0) << baud;
  }
}

}  // namespace
