#include "app/port_config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/test_files.h"
#include "ui/headless/headless_host.h"

namespace {

using std::string_literals::operator""s;

struct LoadCase {
  const char* name;
  bool exists;
  std::string bytes;
  std::int32_t portIndex;
};

void PrintTo(const LoadCase& c, std::ostream* out) {
  *out << c.name;
}

class PortConfigLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(PortConfigLoad, ReadsTheFirstFourBytesOrFallsBackToComOne) {
  const LoadCase& c = GetParam();
  vltest::TempDir dir;
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = dir / "Pelto.cfg";
  config.portIndex = 42;  // whatever was there before must not survive a failed load
  if (c.exists) {
    vltest::WriteBytes(config.configPath, c.bytes);
  }
  config.Load();
  EXPECT_EQ(config.portIndex, c.portIndex);
  EXPECT_TRUE(host.Transcript().empty()) << "loading never says anything";
  // Whatever was loaded goes back as exactly four bytes.
  config.Save();
  const std::string expected = c.exists && c.bytes.size() >= 4 ? c.bytes.substr(0, 4) : "\0\0\0\0"s;
  EXPECT_EQ(vltest::ReadBytes(config.configPath), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, PortConfigLoad,
    testing::Values(LoadCase{"missing", false, "", 0}, LoadCase{"empty", true, "", 0},
                    LoadCase{"one_byte", true, "\x02", 0},
                    LoadCase{"two_bytes", true, "\x02\0"s, 0},
                    LoadCase{"three_bytes", true, "\x02\0\0"s, 0},
                    LoadCase{"com2", true, "\x01\0\0\0"s, 1},
                    LoadCase{"trailing_junk", true, "\x03\0\0\0\xAA\xBB"s, 3},
                    LoadCase{"minus_one", true, "\xFF\xFF\xFF\xFF", -1},
                    LoadCase{"seven", true, "\x07\0\0\0"s, 7},
                    LoadCase{"largest", true, "\xFF\xFF\xFF\x7F", 2147483647},
                    LoadCase{"smallest", true, "\0\0\0\x80"s, -2147483647 - 1}),
    [](const testing::TestParamInfo<LoadCase>& param) { return std::string(param.param.name); });

TEST(PortConfigSave, UncreatableFileSaysSoOnceWithoutOwnerAndLeavesNothing) {
  vltest::TempDir dir;
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = dir / "no-such-folder/Pelto.cfg";
  config.portIndex = 1;
  config.Save();
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].text, "save config info error！");
  EXPECT_EQ(host.Messages()[0].caption, "Vesker  Link 1.0");
  EXPECT_EQ(host.Messages()[0].ownerTemplate, 0);
  EXPECT_FALSE(std::filesystem::exists(config.configPath));
}

// Anything but a regular file (a folder, a FIFO nobody writes, a device) reads as COM1 at
// once and is never written into.
TEST(PortConfigSave, SomethingOtherThanAFileIsNeitherWaitedForNorWritten) {
  vltest::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir.Path().string(), dir / "fifo", std::string("/dev/null")}) {
    ui::HeadlessHost host;
    app::PortConfig config;
    config.configPath = path;
    config.portIndex = 3;
    config.Load();
    EXPECT_EQ(config.portIndex, 0) << path;
    config.Save();
    ASSERT_EQ(host.Messages().size(), 1u) << path;
    EXPECT_EQ(host.Messages()[0].text, "save config info error！");
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
}

TEST(PortConfigSave, BytesThatCannotBeWrittenAreReportedUnderError) {
  // A file that may not grow takes no byte, as on a full disk.
  vltest::TempDir dir;
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = dir / "Pelto.cfg";
  config.portIndex = 2;
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit tiny = previous;
  tiny.rlim_cur = 2;
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  config.Save();
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, handler);
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].text, "save data error！");
  EXPECT_EQ(host.Messages()[0].caption, "error");
  EXPECT_EQ(host.Messages()[0].ownerTemplate, 0);
  EXPECT_EQ(config.transferOk, 0);
}

}  // namespace
