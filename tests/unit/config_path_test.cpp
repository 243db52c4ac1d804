#include <gtest/gtest.h>

#include <string>

#include "app/service_app.h"

namespace {

TEST(ConfigPath, BuiltFromTheTrimmedDirectory) {
  const struct {
    const char* directory;
    char separator;
    const char* path;
  } cases[] = {
      {"D:\\", '\\', "D:\\Pelto.cfg"},
      {"D:\\Tools", '\\', "D:\\Tools\\Pelto.cfg"},
      {"  D:\\Tools \t\r\n", '\\', "D:\\Tools\\Pelto.cfg"},
      {"\tC:\\Program Files\\Vesker  Link ", '\\', "C:\\Program Files\\Vesker  Link\\Pelto.cfg"},
      {"D:\\工具", '\\', "D:\\工具\\Pelto.cfg"},
      {"/", '/', "/Pelto.cfg"},
      {"/home/tech", '/', "/home/tech/Pelto.cfg"},
      {"", '\\', "Pelto.cfg"},
      {"   ", '\\', "Pelto.cfg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app::MakeConfigPath(app::TrimWhiteSpace(c.directory), c.separator), c.path)
        << '"' << c.directory << '"';
  }
}

TEST(ConfigPath, LongDirectoryIsNeverCut) {
  std::string directory = "D:";
  while (directory.size() < 5000) {
    directory += "\\folder";
  }
  const std::string path = app::MakeConfigPath(app::TrimWhiteSpace(directory), '\\');
  EXPECT_EQ(path, directory + "\\Pelto.cfg");
}

}  // namespace
