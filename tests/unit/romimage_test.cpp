// The variant table, tag and report matching, recognising files and writing them safely.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/frames.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "tests/support/limits.h"
#include "tests/support/test_files.h"

namespace {

using romimage::ImageCheck;
using romimage::WriteResult;

const char* const kTags[16] = {
    "VESKER_SZ_RomFtaAMD1", "VESKER_SZ_RomFtaAMD2", "VESKER_SZ_RomFtaSST1", "VESKER_SZ_RomFtaSST2",
    "VESKER_SZ_Rom_CIAMD1", "VESKER_SZ_Rom_CIAMD2", "VESKER_SZ_Rom_CISST1", "VESKER_SZ_Rom_CISST2",
    "VESKER_SZ_RomHCIAMD1", "VESKER_SZ_RomHCIAMD2", "VESKER_SZ_RomHCISST1", "VESKER_SZ_RomHCISST2",
    "VESKER_SZ_Rom_T_AMD1", "VESKER_SZ_Rom_T_AMD2", "VESKER_SZ_Rom_T_SST1", "VESKER_SZ_Rom_T_SST2"};

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> Report(std::uint8_t qualifier, std::uint8_t code, std::uint8_t e1 = 0,
                                 std::uint8_t e2 = 0) {
  const comm::Frame frame = comm::CommandFrame(code, qualifier, e1, e2);
  return std::vector<std::uint8_t>(frame.begin(), frame.end());
}

TEST(VariantTable, EveryTagAndReportNamesItsVariant) {
  const char* const versions[16] = {
      "Fta 29 1", "Fta 29 2", "Fta 39 1", "Fta 39 2", "CI 29 1", "CI 29 2", "CI 39 1", "CI 39 2",
      "HCI 29 1", "HCI 29 2", "HCI 39 1", "HCI 39 2", "T 29 1",  "T 29 2",  "T 39 1",  "T 39 2"};
  const char* const failures[16] = {
      "write file error F1!",  "write file error F2!",  "write file error F3!",
      "write file error F4!",  "write file error C1!",  "write file error C2!",
      "write file error C3!",  "write file error C4!",  "write file error HC1!",
      "write file error HC2!", "write file error HC3!", "write file error HC4!",
      "write file error T1!",  "write file error T2!",  "write file error T3!",
      "write file error T4!"};
  for (int v = 0; v < 16; ++v) {
    const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[v];
    EXPECT_EQ(std::strlen(row.imageTag), 20u);
    EXPECT_EQ(romimage::MatchImageTag(Bytes(kTags[v]).data()), v);
    EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, static_cast<std::uint8_t>(v + 1)).data()),
              v);
    EXPECT_EQ(row.blockCount, v % 2 == 0 ? 256u : 512u) << v;
    EXPECT_EQ(row.FileLength(), v % 2 == 0 ? 1048596u : 2097172u) << v;
    EXPECT_STREQ(row.versionName, versions[v]);
    EXPECT_STREQ(row.tagWriteFailure, failures[v]);
  }
}

TEST(VariantTable, NearMissesMatchNothing) {
  std::string tag = kTags[9];
  for (std::size_t i = 0; i < tag.size(); ++i) {
    std::string wrong = tag;
    wrong[i] = static_cast<char>(wrong[i] ^ 0x01);
    EXPECT_EQ(romimage::MatchImageTag(Bytes(wrong).data()), -1) << wrong;
  }
  EXPECT_EQ(romimage::MatchImageTag(Bytes("VESKER_SZ_ROMHCIAMD2").data()), -1);
  EXPECT_EQ(romimage::MatchImageTag(Bytes("vesker_sz_romhciamd2").data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, 0x00).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, 0x11).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, 0xFF).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x00, 0x01).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x11, 0x01).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, 0x01, 1, 0).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(Report(0x10, 0x01, 0, 1).data()), -1);
  EXPECT_EQ(romimage::MatchVariantReport(comm::AckFrame.data()), -1);
  std::vector<std::uint8_t> key = Report(0x10, 0x01);
  key[0] = 'E';
  EXPECT_EQ(romimage::MatchVariantReport(key.data()), -1);
}

TEST(ImageFileCheck, LengthFirstThenTagThenEnoughBlocks) {
  const struct {
    const char* name;
    std::size_t size;
    const char* tag;
    ImageCheck result;
    int variant;
  } cases[] = {
      {"1 MiB", 1048596, kTags[0], ImageCheck::kAccepted, 0},
      {"2 MiB", 2097172, kTags[15], ImageCheck::kAccepted, 15},
      {"2 MiB file, 1 MiB tag", 2097172, kTags[0], ImageCheck::kAccepted, 0},
      {"1 MiB file, 2 MiB tag", 1048596, kTags[1], ImageCheck::kBadLength, -1},
      {"one byte short", 1048595, kTags[0], ImageCheck::kBadLength, -1},
      {"one byte long", 1048597, kTags[0], ImageCheck::kBadLength, -1},
      {"tag only", 20, kTags[0], ImageCheck::kBadLength, -1},
      {"empty", 0, "", ImageCheck::kBadLength, -1},
      {"wrong case", 1048596, "VESKER_SZ_RomFTAAMD1", ImageCheck::kBadTag, -1},
      {"19 of 20", 1048596, "VESKER_SZ_RomFtaAMD_", ImageCheck::kBadTag, -1},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> file(c.size, 0xAB);
    std::copy_n(c.tag, std::min(c.size, std::strlen(c.tag)), file.begin());
    int variant = 99;
    EXPECT_EQ(romimage::CheckImageFile(file.data(), file.size(), variant), c.result) << c.name;
    EXPECT_EQ(variant, c.variant) << c.name;
  }
}

class ImageFileWrite : public testing::Test {
 protected:
  ImageFileWrite() : image_(2097152) {
    for (std::size_t i = 0; i < image_.size(); ++i) {
      image_[i] = static_cast<std::uint8_t>(i * 31 + i / 4096);
    }
  }
  // Only the target (and whatever the test put there) in the folder: no temporary left over.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Expected(int variant) const {
    const auto& row = romimage::ReceiverVariantTable[variant];
    return std::string(row.imageTag, 20) +
           std::string(image_.begin(), image_.begin() + row.ImageSize());
  }

  vltest::TempDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(ImageFileWrite, WritesTagAndImageAndReplacesAnOldFile) {
  const std::string target = dir_ / "rom.bin";
  vltest::WriteBytes(target, "old contents");
  EXPECT_EQ(romimage::WriteImageFile(target, 9, image_.data()), WriteResult::kWritten);
  EXPECT_EQ(vltest::ReadBytes(target), Expected(9));
  EXPECT_EQ(Names(), std::vector<std::string>{"rom.bin"});
  EXPECT_EQ(romimage::WriteImageFile(target, 0, image_.data()), WriteResult::kWritten);
  EXPECT_EQ(vltest::ReadBytes(target).size(), 1048596u);
}

TEST_F(ImageFileWrite, UnreplaceableTargetIsLeftAsItWas) {
  const std::string target = dir_ / "rom.bin";
  std::filesystem::create_directory(target);  // a folder in the way cannot be replaced
  vltest::WriteBytes(target + "/inside", "keep");
  EXPECT_EQ(romimage::WriteImageFile(target, 0, image_.data()), WriteResult::kCreateFailed);
  EXPECT_EQ(vltest::ReadBytes(target + "/inside"), "keep");
  EXPECT_EQ(Names(), std::vector<std::string>{"rom.bin"});
}

// A file that must not replace another takes only a name that nothing has, not even a link
// that leads nowhere.
TEST_F(ImageFileWrite, KeepingTheExistingFileWritesOnlyAFreeName) {
  using romimage::ExistingFile;
  vltest::WriteBytes(dir_ / "taken.bin", "the previous image");
  std::filesystem::create_symlink("nowhere.bin", dir_.Path() / "link.bin");
  for (const char* name : {"taken.bin", "link.bin"}) {
    EXPECT_EQ(romimage::WriteImageFile(dir_ / name, 0, image_.data(), ExistingFile::kKeep),
              WriteResult::kCreateFailed)
        << name;
  }
  EXPECT_EQ(vltest::ReadBytes(dir_ / "taken.bin"), "the previous image");
  EXPECT_EQ(romimage::WriteImageFile(dir_ / "free.bin", 3, image_.data(), ExistingFile::kKeep),
            WriteResult::kWritten);
  EXPECT_EQ(vltest::ReadBytes(dir_ / "free.bin"), Expected(3));
  EXPECT_EQ(Names(), (std::vector<std::string>{"free.bin", "link.bin", "taken.bin"}));
}

TEST_F(ImageFileWrite, MissingFolderCannotBeCreated) {
  EXPECT_EQ(romimage::WriteImageFile(dir_ / "gone/rom.bin", 0, image_.data()),
            WriteResult::kCreateFailed);
  EXPECT_TRUE(Names().empty());
}

// Files this process has open.
std::size_t OpenFiles() {
  const auto files = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(files), end(files)));
}

TEST_F(ImageFileWrite, FullDiskKeepsTheOldFileAndLeavesNoTemporary) {
  const std::string target = dir_ / "rom.bin";
  vltest::WriteBytes(target, "the previous image");
  const struct {
    rlim_t room;
    WriteResult result;
  } cases[] = {{10, WriteResult::kTagWriteFailed}, {500000, WriteResult::kDataWriteFailed}};
  for (const auto& c : cases) {
    WriteResult result;
    const std::size_t open = OpenFiles();
    {
      vltest::FullDisk full(c.room);
      result = romimage::WriteImageFile(target, 3, image_.data());
    }
    EXPECT_EQ(result, c.result) << c.room;
    EXPECT_EQ(vltest::ReadBytes(target), "the previous image");
    EXPECT_EQ(Names(), std::vector<std::string>{"rom.bin"});
    EXPECT_EQ(OpenFiles(), open) << "a failed write leaves no file open";
  }
}

// Root writes into any folder, so the write runs in a child that has given up root.
WriteResult WriteAsUnprivileged(const std::string& target, const std::uint8_t* image) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(100);
    }
    _exit(static_cast<int>(romimage::WriteImageFile(target, 0, image)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<WriteResult>(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
}

// What the user may not write is refused as a direct write would refuse it, and nothing
// there is replaced: a folder without write permission, and a write-protected file in a folder
// that could take a new one.
TEST_F(ImageFileWrite, WhatTheUserMayNotWriteIsRefusedAndKept) {
  const std::string target = dir_ / "rom.bin";
  const struct {
    const char* what;
    mode_t folder;
    mode_t file;
  } cases[] = {{"read-only folder", 0555, 0644}, {"write-protected file", 0777, 0444}};
  for (const auto& c : cases) {
    vltest::WriteBytes(target, "the previous image");
    chmod(target.c_str(), c.file);
    chmod(dir_.Path().c_str(), c.folder);
    const WriteResult result = WriteAsUnprivileged(target, image_.data());
    chmod(dir_.Path().c_str(), 0755);
    EXPECT_EQ(result, WriteResult::kCreateFailed) << c.what;
    EXPECT_EQ(romimage::WriteFailureMessage(result, 0), "create file error!");
    EXPECT_EQ(vltest::ReadBytes(target), "the previous image") << c.what;
    EXPECT_EQ(Names(), std::vector<std::string>{"rom.bin"}) << c.what;
    chmod(target.c_str(), 0644);
  }
}

// A symbolic link is written through, as a direct write would: the file it names is replaced
// (or made), beside itself, and the link stays a link.
TEST_F(ImageFileWrite, SymbolicLinksAreWrittenThrough) {
  const std::filesystem::path folder = dir_.Path() / "images";
  std::filesystem::create_directory(folder);
  vltest::WriteBytes((folder / "rom.bin").string(), "the previous image");
  std::filesystem::create_symlink("images/rom.bin", dir_.Path() / "link.bin");
  std::filesystem::create_symlink("link.bin", dir_.Path() / "chain.bin");
  std::filesystem::create_symlink("images/new.bin", dir_.Path() / "dangling.bin");
  for (const char* link : {"link.bin", "chain.bin"}) {
    EXPECT_EQ(romimage::WriteImageFile(dir_ / link, 3, image_.data()), WriteResult::kWritten);
    EXPECT_EQ(vltest::ReadBytes((folder / "rom.bin").string()), Expected(3)) << link;
  }
  EXPECT_EQ(romimage::WriteImageFile(dir_ / "dangling.bin", 0, image_.data()),
            WriteResult::kWritten);
  EXPECT_EQ(vltest::ReadBytes((folder / "new.bin").string()), Expected(0));
  EXPECT_EQ(Names(), (std::vector<std::string>{"chain.bin", "dangling.bin", "images", "link.bin"}));
  for (const char* link : {"link.bin", "chain.bin", "dangling.bin"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.Path() / link)) << link;
  }
  std::vector<std::string> inside;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    inside.push_back(entry.path().filename().string());
  }
  std::sort(inside.begin(), inside.end());
  EXPECT_EQ(inside, (std::vector<std::string>{"new.bin", "rom.bin"})) << "no temporary left";
  // Links that lead round in a circle name no file: refused, as opening one is.
  std::filesystem::create_symlink("loop-b", dir_.Path() / "loop-a");
  std::filesystem::create_symlink("loop-a", dir_.Path() / "loop-b");
  EXPECT_EQ(romimage::WriteImageFile(dir_ / "loop-a", 0, image_.data()),
            WriteResult::kCreateFailed);
}

TEST_F(ImageFileWrite, AnyPathTheSystemTakesIsWritten) {
  std::string deep = dir_ / "";
  while (deep.size() < 300) {
    deep += "a folder with blanks/";
  }
  // The longest name a folder holds, and the shortest: the temporary file beside the target
  // must fit wherever the target does.
  const std::string targets[] = {dir_ / "übersicht ✓ 固件.bin", dir_ / " leading blank.bin",
                                 deep + "rom.bin", dir_ / (std::string(251, 'r') + ".bin"),
                                 dir_ / "r"};
  for (const std::string& target : targets) {
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    EXPECT_EQ(romimage::WriteImageFile(target, 0, image_.data()), WriteResult::kWritten) << target;
    EXPECT_EQ(vltest::ReadBytes(target), Expected(0)) << target;
  }
  // However crowded the folder, the search for a temporary name ends, and leaves nothing.
  for (char c = '0'; c <= '9'; ++c) {
    vltest::WriteBytes(dir_ / std::string(1, c), "taken");
  }
  const WriteResult crowded = romimage::WriteImageFile(dir_ / "q", 0, image_.data());
  EXPECT_TRUE(crowded == WriteResult::kWritten || crowded == WriteResult::kCreateFailed);
  EXPECT_EQ(vltest::ReadBytes(dir_ / "5"), "taken");
}

}  // namespace
