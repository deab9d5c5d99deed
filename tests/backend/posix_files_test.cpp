// Real files in a temporary folder: the atomic replacement, starting a program, the OS query.
#include "platform/qt/posix_files.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/error.h"
#include "tests/backend/backend_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const fs::path& path, const std::string& content, fs::perms perms = fs::perms(0644)) {
  std::ofstream(path, std::ios::binary) << content;
  fs::permissions(path, perms);
}

class PosixFilesTest : public ::testing::Test {
 protected:
  PosixFilesTest() {
    char pattern[] = "/tmp/pelstow-backend-XXXXXX";
    root = ::mkdtemp(pattern);
    folder = root / "程式 資料夾";  // spaces and non-ASCII characters on the way
    fs::create_directory(folder);
    outside = root / "downloads";
    fs::create_directory(outside);
  }
  ~PosixFilesTest() override {
    for (const auto& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    fs::remove_all(root);
  }

  std::vector<fs::path> Entries(const fs::path& dir) {
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(dir)) entries.push_back(e.path().filename());
    return entries;
  }

  void ExpectReplaceFailsLeavingTargetIntact(const fs::path& source, const fs::path& target) {
    const std::string before = Read(target);
    EXPECT_THROW(files.replaceFile(source, target), platform::Error);
    EXPECT_EQ(Read(target), before);
    EXPECT_EQ(Entries(target.parent_path()), std::vector<fs::path>{target.filename()})
        << "no temporary file is left behind";
  }

  platform::qt::PosixFiles files;
  fs::path root, folder, outside;
  std::vector<std::string> mounts;
};

TEST_F(PosixFilesTest, ReplacementKeepsTheTargetsPermissionsAndLeavesNothingElse) {
  Write(folder / "app", "old", fs::perms(0750));
  Write(folder / "_new_app", std::string(3 << 20, 'n'));
  files.replaceFile(folder / "_new_app", folder / "app");
  EXPECT_EQ(Read(folder / "app"), std::string(3 << 20, 'n'));
  EXPECT_EQ(fs::status(folder / "app").permissions(), fs::perms(0750));
  EXPECT_EQ(Entries(folder).size(), 2u);
}

TEST_F(PosixFilesTest, ARunningExecutableIsReplaced) {
  fs::copy_file("/bin/sleep", folder / "app");
  Write(folder / "_new_app", "#!/bin/sh\necho new\n", fs::perms(0644));
  pid_t child;
  const std::string path = (folder / "app").string();
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("5"), nullptr};
  ASSERT_EQ(::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
  std::this_thread::sleep_for(100ms);

  files.replaceFile(folder / "_new_app", folder / "app");
  EXPECT_EQ(Read(folder / "app"), "#!/bin/sh\necho new\n");
  EXPECT_TRUE((fs::status(folder / "app").permissions() & fs::perms::owner_exec) !=
              fs::perms::none);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST_F(PosixFilesTest, AReadOnlyFolderLeavesTheTargetIntact) {
  if (!InLab()) GTEST_SKIP() << "needs a private mount namespace";
  Write(folder / "app", "old version");
  Write(outside / "new", "new version");
  ASSERT_EQ(::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.push_back(folder);
  ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
            0);
  ExpectReplaceFailsLeavingTargetIntact(outside / "new", folder / "app");
}

TEST_F(PosixFilesTest, ADiskThatFillsHalfWayLeavesTheTargetIntact) {
  if (!InLab()) GTEST_SKIP() << "needs a private mount namespace";
  ASSERT_EQ(::mount("tiny", folder.c_str(), "tmpfs", 0, "size=256k"), 0);
  mounts.push_back(folder);
  Write(folder / "app", std::string(64 << 10, 'o'));
  Write(outside / "new", std::string(1 << 20, 'n'));
  try {
    files.replaceFile(outside / "new", folder / "app");
    FAIL() << "the copy cannot fit";
  } catch (const platform::Error& error) {
    EXPECT_EQ(error.number(), ENOSPC);
    EXPECT_FALSE(error.inUse());
  }
  EXPECT_EQ(Read(folder / "app"), std::string(64 << 10, 'o'));
  EXPECT_EQ(Entries(folder), std::vector<fs::path>{"app"});
}

TEST_F(PosixFilesTest, StartsTheProgramDetachedInItsFolderWithoutArguments) {
  const fs::path record = root / "record";
  Write(folder / "app", "#!/bin/sh\n{ pwd; echo \"$#\"; } > '" + record.string() + "'\n",
        fs::perms(0755));
  ASSERT_TRUE(files.startProgram(folder / "app", folder.string() + "/"));
  for (int i = 0; i < 100 && Read(record).empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Read(record), folder.string() + "\n0\n");
  EXPECT_FALSE(files.startProgram(folder / "missing", folder.string()));
}

TEST_F(PosixFilesTest, FindsOnlyNormalFiles) {
  Write(folder / "_new_app", "x");
  Write(folder / ".hidden", "x");
  fs::create_directory(folder / "_new_dir");
  EXPECT_EQ(files.findNormalFile(folder / "_new_app"), "_new_app");
  EXPECT_EQ(files.findNormalFile(folder / ".hidden"), "");
  EXPECT_EQ(files.findNormalFile(folder / "_new_dir"), "");
  EXPECT_EQ(files.findNormalFile(folder / "_new_missing"), "");
  EXPECT_EQ(files.fileLength(folder / "_new_app"), 1);
  EXPECT_THROW(files.fileLength(folder / "_new_missing"), platform::Error);
  EXPECT_THROW(files.deleteFile(folder / "_new_missing"), platform::Error);
}

TEST(QtOsQuery, NamesThisSystem) {
  platform::qt::QtOsQuery query;
  const auto items = query.operatingSystems();
  ASSERT_EQ(items.size(), 1u);
  ASSERT_TRUE(items[0].caption);
  EXPECT_FALSE(items[0].caption->empty());
  EXPECT_FALSE(items[0].version.empty());
}

}  // namespace
