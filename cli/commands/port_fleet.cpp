#include "cli/commands/port_fleet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/console/terminal.h"
#include "cli/console/visible_text.h"
#include "cli/ports/adapter_text.h"
#include "cli/ports/port_selection.h"
#include "cli/ports/system_ports.h"
#include "cli/serve/bench_server.h"
#include "cli/serve/serve_address.h"
#include "cli/watch/watch_loop.h"
#include "cli/watch/watch_tally.h"
#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"
#include "transfer/upgrade_dialog.h"
#include "vl_version.h"

namespace cli {

namespace {

// Columns a text takes on a terminal: one a character, two for a wide one ("！", CJK).
std::size_t DisplayWidth(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    unsigned code = lead;
    if (length == 3 && i + 2 < text.size()) {
      code = ((lead & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
             (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
    }
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFF00 && code <= 0xFF60) || (code >= 0xFFE0 && code <= 0xFFE6);
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

std::string Minutes(double seconds) {
  const long long whole = std::llround(seconds);
  char text[32];
  std::snprintf(text, sizeof(text), "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

std::string Or(const std::string& text, const char* fallback) {
  return text.empty() ? fallback : text;
}

// Each port's run (or each receiver's) as a JSON list.
Json SummariesJson(const std::vector<PortSummary>& summaries) {
  Json items = Json::array();
  for (const PortSummary& port : summaries) {
    items.push_back({{"port", port.port},
                     {"ok", port.exitCode == kExitOk},
                     {"exitCode", port.exitCode},
                     {"kind", port.kind},
                     {"result", port.result},
                     {"seconds", Tenths(port.seconds)},
                     {"sha256", port.sha256},
                     {"backup", port.backup},
                     {"restore", port.restore},
                     {"file", port.file},
                     {"proof", port.proof}});
  }
  return items;
}

// What the bench page shows before the first event: the command as typed, and each port
// with its adapter as probe names it.
serve::BenchFacts FactsOf(const CommandLine& line, const std::vector<std::string>& ports) {
  serve::BenchFacts facts;
  facts.command = "vesker-link";
  for (const std::string& argument : line.given) {
    facts.command += ' ' + ShellQuote(argument);
  }
  facts.action = line.arguments.front();
  facts.version = VL_VERSION;
  for (const std::string& port : ports) {
    const PortSelection selection(port);
    facts.ports.push_back({selection.Label(),
                           DescribeAdapter(IdentifyPort(
                               comm::SerialPort::DevicePath(comm::ComNumber(selection.Index()))))});
  }
  return facts;
}

// The events of a run go to the bench page while this lives.
class EventTap {
 public:
  EventTap(ConsoleOutput& output, serve::BenchServer& server) : output_(output) {
    output_.SetEventTap([&server](const std::string& event) { server.Publish(event); });
  }
  ~EventTap() { output_.SetEventTap(nullptr); }
  EventTap(const EventTap&) = delete;
  EventTap& operator=(const EventTap&) = delete;

 private:
  ConsoleOutput& output_;
};

}  // namespace

int CombinedExitCode(const std::vector<PortSummary>& ports) {
  std::set<int> failures;
  for (const PortSummary& port : ports) {
    if (port.exitCode != kExitOk) {
      failures.insert(port.exitCode);
    }
  }
  if (failures.empty()) {
    return kExitOk;
  }
  return failures.size() == 1 ? *failures.begin() : kExitReceiver;
}

PortFleet::PortFleet(const CommandLine& line, ConsoleOutput& output, EventReporter::Style style,
                     const LogFile* log, KnownImages* known)
    : line_(line), output_(output), style_(style), log_(log), known_(known) {}

void PortFleet::SideBySide(std::size_t count, const std::function<void(std::size_t)>& work,
                           const std::function<void(std::size_t)>& failed) {
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    threads.emplace_back([&work, &failed, i] {
      try {
        work(i);
      } catch (...) {
        failed(i);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
}

std::vector<PortSummary> PortFleet::RunAll(const std::vector<std::string>& ports,
                                           EventReporter::Style style) {
  std::vector<PortSummary> summaries(ports.size());
  SideBySide(
      ports.size(),
      [&](std::size_t i) {
        const std::string label = PortLabel(ports[i]);
        summaries[i].port = label;
        EventReporter reporter(output_, style, line_.quiet, label, true, i);
        std::string file = line_.command == "key" || line_.arguments.empty()
                               ? std::string()
                               : line_.arguments.front();
        if (line_.command == "read") {
          file = FileForPort(file, label);
        }
        CompanionCommands commands(line_, reporter, ports[i], file, true);
        commands.SetLog(log_);
        commands.Know(known_);
        commands.Run();
        summaries[i] = commands.Summary();
      },
      [&](std::size_t i) {
        summaries[i].exitCode = kExitReceiver;
        summaries[i].result = "stopped by an internal error";
      });
  return summaries;
}

int PortFleet::Run(const std::vector<std::string>& ports) {
  const std::vector<PortSummary> summaries = RunAll(ports, style_);
  const int code = CombinedExitCode(summaries);
  const std::string retry = RetryCommand(ports, summaries);
  if (style_ != EventReporter::Style::kJson) {
    PrintSummary(summaries, line_.command == "read");
    PrintRestores(summaries);
    if (!retry.empty()) {
      output_.Out("retry the ports that failed: " + retry);
    }
    return code;
  }
  Json details = {{"ports", SummariesJson(summaries)}};
  if (!retry.empty()) {
    details["retry"] = retry;
  }
  EmitResult(line_.command, code, details);
  return code;
}

int PortFleet::Refuse(const std::string& command, int exitCode, const std::string& message) const {
  output_.Err("vesker-link: " + message);
  if (style_ == EventReporter::Style::kJson) {
    output_.Out(JsonLine({{"event", "message"}, {"text", message}}));
    EmitResult(command, exitCode, Json::object());
  }
  return exitCode;
}

int PortFleet::Watch(std::vector<std::string> ports) {
  const std::string& action = line_.arguments.front();
  const std::string& target = line_.arguments.back();
  const bool upgrade = action == "upgrade";
  if (ports.empty()) {
    ports.emplace_back();  // the port kept in Pelto.cfg
  }
  // The bench page listens before any port is touched, and takes every event from the first.
  std::optional<serve::BenchServer> server;
  std::optional<EventTap> tap;
  std::string serveError;
  if (line_.servePort >= 0) {
    server.emplace(FactsOf(line_, ports));
    if (server->Start(line_.serveHost, line_.servePort, serveError)) {
      tap.emplace(output_, *server);
      output_.Err("vesker-link: the bench page: " +
                  serve::PageUrl(line_.serveHost, server->Port()) + server->ReachNote());
    }
  }
  const bool json = style_ == EventReporter::Style::kJson;
  output_.Event(
      JsonLine({{"event", "start"},
                {"command", "watch"},
                {"details",
                 {{"action", action}, {upgrade ? "file" : "folder", target}, {"ports", ports}}}}),
      json);
  if (!serveError.empty()) {
    return Refuse("watch", kExitPort, serveError);
  }
  // Refused before any port is touched: each receiver gets the file checked now, once.
  std::vector<std::uint8_t> file;
  int variant = -1;
  std::error_code ignored;
  if (comm::Outcome failure; upgrade && !transfer::LoadImageFile(target, file, variant, failure)) {
    return Refuse("watch", kExitRomFile,
                  failure.message.empty() ? "not enough memory for the file" : failure.message);
  }
  if (!upgrade && !std::filesystem::is_directory(romimage::Utf8Path(target), ignored)) {
    return Refuse("watch", kExitFileWrite, "no such folder: " + target);
  }
  // Each receiver is what its command would make of it alone.
  CommandLine boxLine = line_;
  boxLine.command = action;
  boxLine.arguments = {target};
  std::vector<std::uint8_t> data;  // the file's blocks, which a receiver up to date holds
  if (upgrade) {
    const auto begin = file.begin() + romimage::kTagSize;
    data.assign(begin, begin + romimage::ReceiverVariantTable[variant].ImageSize());
  }
  WatchOptions options;
  options.baud = line_.baud;
  options.quiet = line_.quiet;
  options.fast = line_.fast;
  options.once = line_.once;
  options.noVerify = line_.noVerify;
  options.restartWait = std::chrono::seconds(line_.restartWaitSeconds);
  options.images = {known_, upgrade ? &data : nullptr, upgrade ? variant : -1};
  const bool several = ports.size() > 1;
  WatchTally tally(output_, style_, line_.count, ports.size());
  tally.Start();
  SideBySide(
      ports.size(),
      [&](std::size_t i) {
        const auto handle = [&, i](EventReporter& reporter, const ProvenFlash* told,
                                   HeldFlash& held) {
          CompanionCommands commands(boxLine, reporter, ports[i], target, several);
          commands.SetLog(log_);
          commands.Know(known_);
          commands.UseProvenFlash(told);
          if (upgrade) {
            commands.UseCheckedFile(file, variant);
          } else {
            commands.ReadIntoFolder();
          }
          commands.Run();
          held = commands.Held();
          return commands.Summary();
        };
        WatchLoop loop(options, handle, output_, style_, ports[i], i, several, tally);
        loop.Run();
      },
      [&](std::size_t i) {
        output_.Err("vesker-link: " + PortLabel(ports[i]) + ": stopped by an internal error");
      });
  tally.CloseLine();
  const std::vector<PortSummary> boxes = tally.Boxes();
  const int code = CombinedExitCode(boxes);
  EmitResult("watch", code, {{"counts", tally.CountsJson()}, {"receivers", SummariesJson(boxes)}},
             json);
  if (json) {
    return code;
  }
  if (boxes.empty()) {
    output_.Out("no receiver handled");
  } else {
    PrintSummary(boxes, !upgrade);
  }
  output_.Out(tally.CountsText());
  PrintRestores(boxes);
  return code;
}

int PortFleet::Probe() {
  std::vector<std::string> ports = line_.arguments;
  if (ports.empty()) {
    ports = line_.ports;
  }
  if (ports.empty()) {
    ports = ListSerialPorts();
  }
  const bool json = style_ == EventReporter::Style::kJson;
  if (json) {
    output_.Out(JsonLine({{"event", "start"}, {"command", "probe"}}));
  }
  if (line_.listOnly) {
    Json entries = Json::array();
    for (const std::string& port : ports) {
      if (!json) {
        output_.Out(port);
        continue;
      }
      Json entry = {{"port", port}};
      AddAdapterFields(entry, IdentifyPort(port));
      entries.push_back(entry);
    }
    if (json) {
      EmitResult("probe", kExitOk, {{"ports", entries}});
    }
    return kExitOk;
  }
  if (ports.empty()) {
    const std::string none = "no serial port found";
    output_.Err("vesker-link: " + none);
    if (json) {
      output_.Out(JsonLine({{"event", "message"}, {"text", none}}));
      EmitResult("probe", kExitPort, {{"ports", Json::array()}});
    }
    return kExitPort;
  }
  const std::vector<PortSummary> summaries = RunAll(ports, EventReporter::Style::kSilent);
  Json entries = Json::array();
  int answered = 0;
  int opened = 0;
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    const PortSummary& port = summaries[i];
    const bool openFailed = port.exitCode == kExitPort;
    answered += port.answered ? 1 : 0;
    opened += openFailed ? 0 : 1;
    const char* state = port.answered ? "receiver answers"
                        : openFailed  ? "cannot open"
                                      : "no answer";
    const PortIdentity identity = IdentifyPort(ports[i]);
    if (!json) {
      const std::string adapter = DescribeAdapter(identity);
      output_.Out(port.port + "  " + port.result + (adapter.empty() ? "" : "  " + adapter));
    }
    Json entry = {{"port", port.port}, {"state", state}, {"message", port.result}};
    AddAdapterFields(entry, identity);
    entries.push_back(entry);
  }
  const int code = answered > 0 ? kExitOk : opened > 0 ? kExitReceiver : kExitPort;
  if (json) {
    EmitResult("probe", code, {{"ports", entries}});
  }
  return code;
}

void PortFleet::EmitResult(const std::string& command, int exitCode, const Json& details,
                           bool shown) const {
  output_.Event(JsonLine({{"event", "result"},
                          {"command", command},
                          {"ok", exitCode == kExitOk},
                          {"exitCode", exitCode},
                          {"details", details}}),
                shown);
}

std::string PortFleet::RetryCommand(const std::vector<std::string>& ports,
                                    const std::vector<PortSummary>& summaries) const {
  std::vector<std::string> failed;
  for (std::size_t i = 0; i < ports.size() && i < summaries.size(); ++i) {
    if (summaries[i].exitCode != kExitOk) {
      failed.push_back(ports[i]);
    }
  }
  if (failed.empty()) {
    return std::string();
  }
  std::string command = "vesker-link";
  for (const std::string& argument : RetryArguments(line_, failed)) {
    command += ' ';
    command += ShellQuote(argument);
  }
  return command;
}

void PortFleet::PrintSummary(const std::vector<PortSummary>& ports, bool files) const {
  std::vector<std::vector<std::string>> rows = {
      {"port", "receiver", "result", "time", "proof", "sha256 (data)", files ? "file" : "backup"}};
  for (const PortSummary& port : ports) {
    // Written out as the terminal will show them, so that the columns meet.
    rows.push_back({VisibleText(port.port), Or(port.kind, "-"), VisibleText(Or(port.result, "-")),
                    Minutes(port.seconds), VisibleText(Or(port.proof, "-")), Or(port.sha256, "-"),
                    VisibleText(Or(files ? port.file : port.backup, "-"))});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], DisplayWidth(row[column]));
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) {
        line.append(widths[column] - DisplayWidth(row[column]) + 2, ' ');
      }
    }
    output_.Out(line);
  }
}

void PortFleet::PrintRestores(const std::vector<PortSummary>& ports) const {
  for (const PortSummary& port : ports) {
    if (!port.restore.empty()) {
      output_.Out("to put back the old software on " + port.port + ": " + port.restore);
    }
  }
}

}  // namespace cli
