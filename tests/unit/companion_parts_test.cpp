// The command line's own parts: key names against the panel's buttons, the backup's name,
// the network ports a bench names, the adapters probe names, the bench's metrics, the
// digest a technician compares, and what reaches the technician's terminal.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/commands/command_line.h"
#include "cli/console/console_output.h"
#include "cli/console/event_reporter.h"
#include "cli/console/key_names.h"
#include "cli/ports/adapter_text.h"
#include "cli/serve/bench_metrics.h"
#include "cli/serve/serve_address.h"
#include "cli/transfers/flash_files.h"
#include "cli/transfers/sha256.h"
#include "link/network_address.h"
#include "link/port_identity.h"
#include "remote/key_codes.h"
#include "res/resource.h"
#include "ui/headless/template_library.h"

namespace {

TEST(KeyNames, EveryPanelButtonAnswersToItsCaptionAndItsName) {
  const ui::DialogTemplate* panel = ui::TemplateLibrary::Program().Find(IDD_REMOTE_PANEL);
  ASSERT_NE(panel, nullptr);
  std::set<int> named;
  for (const cli::KeyName& key : cli::kKeyNames) {
    const ui::ControlTemplate* button = panel->Control(key.controlId);
    ASSERT_NE(button, nullptr) << key.name;
    std::string caption = button->text;
    std::erase(caption, '&');
    EXPECT_EQ(caption, key.caption) << "the caption a technician reads on the panel";
    EXPECT_EQ(cli::KeyButtonForName(key.caption), key.controlId) << key.caption;
    EXPECT_EQ(cli::KeyButtonForName(key.name), key.controlId) << key.name;
    EXPECT_TRUE(remote::KeyCodeForButton(key.controlId).has_value()) << key.name;
    named.insert(key.controlId);
  }
  EXPECT_EQ(named.size(), std::size(remote::kKeyButtons)) << "each of the 32 keys once";
}

TEST(KeyNames, AsciiCaseDoesNotMatterAndStrangersAreRefused) {
  const struct {
    const char* text;
    std::optional<int> button;
  } cases[] = {{"menu", IDC_KEY_MENU}, {"Ch_Up", IDC_KEY_CH_UP},      {"ch▼", IDC_KEY_CH_DOWN},
               {"p/n/s", IDC_KEY_PNS}, {"vol-->", IDC_KEY_VOL_RIGHT}, {"CH", std::nullopt},
               {"", std::nullopt},     {"10", std::nullopt},          {"MENU ", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(cli::KeyButtonForName(c.text), c.button) << "'" << c.text << "'";
  }
}

TEST(FileNames, BackupsAndTheFilesOfSeveralPortsNameTheirKindAndPort) {
  EXPECT_EQ(cli::BackupFileName(0, "", "20261207-141500"), "backup-RomFtaAMD1-20261207-141500.bin");
  EXPECT_EQ(cli::BackupFileName(7, "ttyUSB1", "x"), "backup-Rom_CISST2-ttyUSB1-x.bin");
  EXPECT_EQ(cli::BackupFileName(15, "", "x"), "backup-Rom_T_SST2-x.bin");
  const struct {
    const char* file;
    const char* port;
    const char* expected;
  } cases[] = {
      {"rom.bin", "COM2", "rom-COM2.bin"},
      {"out/rom.bin", "/dev/ttyUSB0", "out/rom-ttyUSB0.bin"},
      {"v1.2/flash", "COM3", "v1.2/flash-COM3"},
      {".bin", "COM1", "-COM1.bin"},
      {"rom.bin", "/dev/serial/by-id/usb-Maker_Serial:A1 B-if00",
       "rom-usb-Maker_Serial_A1_B-if00.bin"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::FileForPort(c.file, c.port), c.expected) << c.file << " " << c.port;
  }
}

TEST(NetworkPorts, TheAddressesOfABenchAreTakenAsWrittenAndNothingElse) {
  using Kind = comm::NetworkAddress::Kind;
  const struct {
    const char* name;
    bool taken;
    const char* host;
    int port;
    Kind kind;
  } cases[] = {
      {"rfc2217://bench-server-2:4001", true, "bench-server-2", 4001, Kind::kRfc2217},
      {"socket://10.0.0.5:1", true, "10.0.0.5", 1, Kind::kSocket},
      {"socket://[fd00::5]:5001", true, "fd00::5", 5001, Kind::kSocket},
      {"rfc2217://[FE80::A1B:CDEF%enp3s0]:65535", true, "FE80::A1B:CDEF%enp3s0", 65535,
       Kind::kRfc2217},
      {"rfc2217://[fe80::1%2]:4001", true, "fe80::1%2", 4001, Kind::kRfc2217},
      {"socket://[fe80::1%Lan_A.7]:4001", true, "fe80::1%Lan_A.7", 4001, Kind::kSocket},
      {"rfc2217://[fe80::1%]:4001", false, "", 0, Kind::kSocket},
      {"rfc2217://[fe80::1%eth0,ipv4]:4001", false, "", 0, Kind::kSocket},
      {"rfc2217://[fe80::1%eth0)]:4001", false, "", 0, Kind::kSocket},
      {"rfc2217://[fd00::g]:4001", false, "", 0, Kind::kSocket},
      {"socket://-bench:4001", false, "", 0, Kind::kSocket},
      {"socket://bench,127.0.0.1:4001", false, "", 0, Kind::kSocket},
      {"socket://bench:0", false, "", 0, Kind::kSocket},
      {"socket://bench:65536", false, "", 0, Kind::kSocket},
  };
  for (const auto& c : cases) {
    comm::NetworkAddress address;
    std::string error;
    ASSERT_EQ(comm::ParseNetworkAddress(c.name, address, error), c.taken)
        << c.name << ": " << error;
    if (c.taken) {
      EXPECT_EQ(address.host, c.host) << c.name;
      EXPECT_EQ(address.port, c.port) << c.name;
      EXPECT_EQ(address.kind, c.kind) << c.name;
    } else {
      EXPECT_FALSE(error.empty()) << c.name;
    }
  }
}

TEST(ServeAddress, WithoutAnAddressOnlyThisMachineMayLook) {
  const struct {
    const char* text;
    bool taken;
    const char* host;
    int port;
  } cases[] = {
      {"8080", true, "127.0.0.1", 8080},
      {"0", true, "127.0.0.1", 0},
      {"0.0.0.0:80", true, "0.0.0.0", 80},
      {"bench-pc:65535", true, "bench-pc", 65535},
      {"[::1]:8080", true, "::1", 8080},
      {"", false, "", 0},
      {"65536", false, "", 0},
      {"::1:8080", false, "", 0},
      {"[::1]8080", false, "", 0},
      {":8080", false, "", 0},
      {"bench:", false, "", 0},
      {"80x", false, "", 0},
  };
  for (const auto& c : cases) {
    serve::ServeAddress address;
    std::string error;
    ASSERT_EQ(serve::ParseServeAddress(c.text, address, error), c.taken) << c.text;
    if (c.taken) {
      EXPECT_EQ(address.host, c.host) << c.text;
      EXPECT_EQ(address.port, c.port) << c.text;
    }
  }
}

// What a factory's Prometheus reads after three receivers: a bound is its bucket's own
// ("le" is less than or equal), buckets count up, and a pass's bytes count once however
// often its progress is told.
TEST(BenchMetrics, ARunIsExposedAsPrometheusReadsIt) {
  serve::BenchMetrics metrics("1.0", "upgrade");
  using Json = nlohmann::ordered_json;
  const auto progress = [&](const char* stage, int pass, int bytes) {
    metrics.Fold(Json{
        {"event", "progress"}, {"port", "A"}, {"stage", stage}, {"pass", pass}, {"bytes", bytes}});
  };
  progress("backup", 1, 4096);
  progress("backup", 1, 8192);
  progress("backup", 2, 4096);
  progress("upgrade", 1, 4096);
  progress("upgrade", 1, 12288);
  const auto record = [&](int exitCode, const char* result, double seconds, Json stages,
                          Json repaired) {
    metrics.Fold(Json{{"event", "record"},
                      {"record",
                       {{"command", "upgrade"},
                        {"result", result},
                        {"exitCode", exitCode},
                        {"seconds", seconds},
                        {"stages", stages}}},
                      {"repaired", repaired}});
  };
  record(0, "ok", 75, {{"backup", 30}, {"upgrade", 60}, {"restart", 3.5}, {"verify", 30}},
         {{"backup", {3, 9}}, {"verify", Json::array()}});
  record(0, "up to date", 10, {{"backup", 10}}, Json::object());
  record(1, "verify failed: block 7 differs", 600.5, {{"verify", 61}}, {{"verify", {7}}});
  metrics.Clients(2, 1, 0);
  const std::string text = metrics.Text(
      {serve::PortState::kWaiting, serve::PortState::kFailed, serve::PortState::kFailed});
  for (const char* line : {
           "vesker_link_build_info{version=\"1.0\"} 1",
           "vesker_link_receivers_total{command=\"upgrade\",result=\"failed\"} 1",
           "vesker_link_receivers_total{command=\"upgrade\",result=\"ok\"} 1",
           "vesker_link_receivers_total{command=\"upgrade\",result=\"up_to_date\"} 1",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"10\"} 1",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"60\"} 1",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"120\"} 2",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"600\"} 2",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"900\"} 3",
           "vesker_link_receiver_seconds_bucket{command=\"upgrade\",le=\"+Inf\"} 3",
           "vesker_link_receiver_seconds_sum{command=\"upgrade\"} 685.5",
           "vesker_link_receiver_seconds_count{command=\"upgrade\"} 3",
           "vesker_link_stage_seconds_bucket{stage=\"upgrade\",le=\"30\"} 0",
           "vesker_link_stage_seconds_bucket{stage=\"upgrade\",le=\"60\"} 1",
           "vesker_link_stage_seconds_bucket{stage=\"verify\",le=\"60\"} 1",
           "vesker_link_stage_seconds_bucket{stage=\"verify\",le=\"90\"} 2",
           "vesker_link_stage_seconds_bucket{stage=\"restart\",le=\"1\"} 0",
           "vesker_link_stage_seconds_bucket{stage=\"restart\",le=\"5\"} 1",
           "vesker_link_stage_seconds_sum{stage=\"backup\"} 40",
           "vesker_link_stage_seconds_count{stage=\"backup\"} 2",
           "vesker_link_ports{state=\"failed\"} 2",
           "vesker_link_ports{state=\"waiting\"} 1",
           "vesker_link_ports{state=\"working\"} 0",
           "vesker_link_bytes_total{direction=\"read\"} 12288",
           "vesker_link_bytes_total{direction=\"written\"} 12288",
           "vesker_link_repaired_blocks_total{stage=\"backup\"} 2",
           "vesker_link_repaired_blocks_total{stage=\"verify\"} 1",
           "vesker_link_event_clients 2",
           "vesker_link_event_clients_dropped_total 1",
       }) {
    EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }
}

TEST(Adapters, ProbeNamesEachAsTheSystemKnowsIt) {
  const struct {
    cli::PortIdentity identity;
    const char* text;
  } cases[] = {
      {{"usb", "0403", "6001", "Maker", "Product", "A5", ""},
       "USB 0403:6001 Maker Product, serial A5"},
      {{"usb", "f00d", "0002", "", "Serial", "", ""}, "USB f00d:0002 Serial"},
      {{"usb", "0403", "6001", "Maker", "Product", "A5", "USB Serial Port (COM3)"},
       "USB Serial Port (COM3), USB 0403:6001, serial A5"},
      {{"uart", "", "", "", "", "", ""}, "UART"},
      {{"", "", "", "", "", "", ""}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::DescribeAdapter(c.identity), c.text);
  }
}

// The program's list of ports names each adapter as probe does, but says its port once.
TEST(Adapters, PortListNamesEachAdapterAfterItsPort) {
  const struct {
    int number;
    comm::PortIdentity identity;
    const char* text;
  } cases[] = {
      {7,
       {"usb", "0403", "6001", "Maker", "", "", "USB Serial Port (COM7)"},
       "COM7 — USB Serial Port, USB 0403:6001"},
      {12, {"", "", "", "", "", "", "Communications Port (COM12)"}, "COM12 — Communications Port"},
      {12, {"", "", "", "", "", "", "Bluetooth Link (COM1)"}, "COM12 — Bluetooth Link (COM1)"},
      {9, {}, "COM9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(comm::DescribeComPort(c.number, c.identity), c.text);
  }
}

// Texts that an adapter, a file's name or a server chose reach the terminal with their
// control characters shown, not done; the program's own lines and the live lines' redrawing
// still work, and --json carries every value unchanged with nothing a terminal acts on.
TEST(Terminal, WhatOthersChoseIsShownNeverDone) {
  enum class Way { kOut, kErr, kMessage, kLive };
  const struct {
    const char* what;
    std::string text;
    std::string shown;
    Way way;
    bool utf8;
  } cases[] = {
      {"a USB product string that clears the screen",
       "/dev/ttyUSB0  ok  USB 0403:6001 Maker \x1b[2JProduct",
       "/dev/ttyUSB0  ok  USB 0403:6001 Maker \\x1b[2JProduct\n", Way::kOut, true},
      {"an OSC sequence that retitles the window",
       "vesker-link: /dev/ttyUSB1: \x1b]0;owned\x07no answer",
       "vesker-link: /dev/ttyUSB1: \\x1b]0;owned\\x07no answer\n", Way::kErr, true},
      {"a CSI as U+009B on a live line",
       "ttyUSB2 \xc2\x9b"
       "2J waiting",
       "\r\x1b[KttyUSB2 \\u009b2J waiting\n\x1b[A\r\x1b[K", Way::kLive, true},
      {"a tab and DEL in a serial number", "serial A\t5\x7f", "serial A\\t5\\x7f\n", Way::kOut,
       true},
      {"a line end inside a file name", "Open file<rom\n.bin\r> error！",
       "vesker-link: Open file<rom\\n.bin\\r> error！\n", Way::kMessage, true},
      {"bytes that are not UTF-8", "x\xff\xc0\x80y\xed\xa0\x80z\xe4\xb8",
       "x\\xff\\xc0\\x80y\\xed\\xa0\\x80z\\xe4\\xb8\n", Way::kErr, false},
      {"full-width marks and CJK text", "写入完成！ ＯＫ", "vesker-link: 写入完成！ ＯＫ\n",
       Way::kMessage, true},
      {"the program's own lines",
       "software version incorrect！\r\npls send below information to your provider！\r\n\r\n"
       "\"error version <Fta 29 1> to <Fta 29 2>\"",
       "vesker-link: software version incorrect！\npls send below information to your "
       "provider！\n\n\"error version <Fta 29 1> to <Fta 29 2>\"\n",
       Way::kMessage, true},
  };
  for (const auto& c : cases) {
    cli::ConsoleOutput output(c.way == Way::kLive);
    cli::EventReporter reporter(output, cli::EventReporter::Style::kPlain, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    switch (c.way) {
      case Way::kOut:
        output.Out(c.text);
        break;
      case Way::kErr:
        output.Err(c.text);
        break;
      case Way::kMessage:
        reporter.Message(c.text);
        break;
      case Way::kLive:
        output.SetLive(0, c.text);
        output.SetLive(0, "");
        break;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.way == Way::kOut ? out : err, c.shown) << c.what;

    cli::ConsoleOutput jsonOutput(false);
    cli::EventReporter json(jsonOutput, cli::EventReporter::Style::kJson, false);
    testing::internal::CaptureStdout();
    json.Message(c.text);
    std::string line = testing::internal::GetCapturedStdout();
    ASSERT_EQ(line.back(), '\n') << c.what;
    line.pop_back();
    for (std::size_t i = 0; i < line.size(); ++i) {
      const auto byte = static_cast<unsigned char>(line[i]);
      const auto next = i + 1 < line.size() ? static_cast<unsigned char>(line[i + 1]) : 0u;
      EXPECT_FALSE(byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next < 0xA0))
          << c.what << ": a control character at " << i << " of " << line;
    }
    const auto event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << c.what << ": " << line;
    if (c.utf8) {
      EXPECT_EQ(event["text"], c.text) << c.what;
    }
  }
}

TEST(Sha256, KnownDigests) {
  const struct {
    std::string input;
    std::size_t repeat;
    const char* digest;
  } cases[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(4096, '\0'), 256,
       "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58"},
  };
  for (const auto& c : cases) {
    cli::Sha256 hash;
    for (std::size_t i = 0; i < c.repeat; ++i) {
      hash.Add(reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size());
    }
    EXPECT_EQ(hash.HexDigest(), c.digest) << c.input.substr(0, 10) << " x" << c.repeat;
  }
}

}  // namespace
