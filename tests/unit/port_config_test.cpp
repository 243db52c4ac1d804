#include "app/port_config.h"

#include <gtest/gtest.h>

#include <cstdint>
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

TEST(PortConfigSave, PathThatIsAFolderCannotBeCreated) {
  vltest::TempDir dir;
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = dir.Path().string();
  config.Save();
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].text, "save config info error！");
}

TEST(PortConfigSave, BytesThatCannotBeWrittenAreReportedUnderError) {
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = "/dev/full";  // opens, but every write fails as on a full disk
  config.portIndex = 2;
  config.Save();
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].text, "save data error！");
  EXPECT_EQ(host.Messages()[0].caption, "error");
  EXPECT_EQ(host.Messages()[0].ownerTemplate, 0);
  EXPECT_EQ(config.transferOk, 0);
}

}  // namespace
