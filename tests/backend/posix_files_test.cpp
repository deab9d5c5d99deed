// Real files in a temporary folder: staging a copy and putting it in place, what is refused and
// what is left behind, starting a program, the OS query.
#include "platform/qt/posix_files.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// Runs the operation on a thread that has lost root's right to ignore permissions.
void WithoutOverridingPermissions(const std::function<void()>& operation) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ::syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1U << CAP_DAC_OVERRIDE | 1U << CAP_DAC_READ_SEARCH);
    ::syscall(SYS_capset, &header, data);
    operation();
  }).join();
}

class PosixFilesTest : public ::testing::Test {
 protected:
  PosixFilesTest() {
    char pattern[] = "/tmp/pelstow-backend-XXXXXX";
    root = ::mkdtemp(pattern);
    folder = root / "程式 資料夾\xE9";  // spaces, Chinese and a byte that is not UTF-8
    fs::create_directory(folder);
  }
  ~PosixFilesTest() override {
    for (const auto& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    fs::permissions(folder, fs::perms(0755));
    fs::remove_all(root);
  }
  void Mount(const char* type, const char* options) {
    ::mount(type, folder.c_str(), type, 0, options);
    mounts.push_back(folder);
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  void Install(const fs::path& source, const fs::path& target) {
    files.stageCopy(source, target)->putInPlace();
  }

  platform::qt::PosixFiles files;
  fs::path root, folder;
  std::vector<std::string> mounts;
};

TEST_F(PosixFilesTest, PutInPlaceReplacesWithTheTargetsModeAndLeavesNothingElse) {
  const std::string longName(250, 'n');  // its "_new_" download is as long as a name may be
  for (const std::string& name : {std::string("app"), longName, std::string("caf\xE9")}) {
    SCOPED_TRACE(name.size());
    Write(folder / name, "old", fs::perms(0750));
    Write(folder / ("_new_" + name), std::string(3 << 20, 'n'));
    auto copy = files.stageCopy(folder / ("_new_" + name), folder / name);
    EXPECT_EQ(copy->length(), 3 << 20);
    EXPECT_EQ(Read(folder / name), "old") << "untouched until put in place";
    copy->putInPlace();
    EXPECT_EQ(Read(folder / name), std::string(3 << 20, 'n'));
    EXPECT_EQ(fs::status(folder / name).permissions(), fs::perms(0750));
    EXPECT_EQ(Entries().size(), 2u);
    fs::remove(folder / name);
    fs::remove(folder / ("_new_" + name));
  }
}

TEST_F(PosixFilesTest, ARunningExecutableIsReplaced) {
  fs::copy_file("/bin/sleep", folder / "app");
  Write(folder / "_new_app", "#!/bin/sh\necho new\n", fs::perms(0644));
  pid_t child = 0;
  const std::string path = (folder / "app").string();
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("5"), nullptr};
  ASSERT_EQ(::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
  std::this_thread::sleep_for(100ms);
  Install(folder / "_new_app", folder / "app");
  EXPECT_EQ(Read(folder / "app"), "#!/bin/sh\necho new\n");
  EXPECT_NE(fs::status(folder / "app").permissions() & fs::perms::owner_exec, fs::perms::none);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// Each failure is reported at once (never as a busy file to retry), the target stays as it was
// and no temporary file is left.
TEST_F(PosixFilesTest, FailuresAreReportedAtOnceAndLeaveTheTargetAndNothingElse) {
  std::string download = root / "download", app = folder / "app", local = folder / "_new_app";
  Write(download, std::string(1 << 20, 'n'));
  const auto old = [&] { Write(app, std::string(64 << 10, 'o')); };
  struct Row {
    const char* what;
    std::function<std::string()> prepare;  // returns the download to install
    int error;
    bool inLabOnly = false, withoutRootsRights = false;
  } rows[] = {
      {"a FIFO put where the download was",
       [&] { return old(), ::mkfifo(local.c_str(), 0644), local; }, EINVAL},
      {"a folder put where the download was",
       [&] { return old(), fs::create_directory(local), local; }, EINVAL},
      {"no download", [&] { return old(), local; }, ENOENT},
      {"a folder the user may not write",
       [&] { return old(), fs::permissions(folder, fs::perms(0555)), download; }, EACCES, false,
       true},
      {"a read-only file system",
       [&] {
         old();
         ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr);
         mounts.push_back(folder);
         ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
         return download;
       },
       EROFS, true},
      {"a disk that fills half-way", [&] { return Mount("tmpfs", "size=256k"), old(), download; },
       ENOSPC, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.inLabOnly && !InLab()) continue;
    for (const auto& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    mounts.clear();
    fs::permissions(folder, fs::perms(0755));
    fs::remove_all(folder);
    fs::create_directory(folder);
    const std::string source = row.prepare();
    const auto before = Entries();
    const auto started = std::chrono::steady_clock::now();
    const auto attempt = [&] {
      try {
        files.stageCopy(source, app)->putInPlace();
        ADD_FAILURE() << "installed";
      } catch (const platform::Error& error) {
        EXPECT_EQ(error.number(), row.error) << error.what();
        EXPECT_FALSE(error.inUse());
      }
    };
    row.withoutRootsRights ? WithoutOverridingPermissions(attempt) : attempt();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "no hang";
    EXPECT_EQ(Entries(), before);
    EXPECT_EQ(Read(app), std::string(64 << 10, 'o'));
  }
}

TEST_F(PosixFilesTest, StaleCopiesAreRemovedAndATerminatedCopyRemovesItsOwn) {
  for (const char* name : {".app.new-Ab3dE9", ".app.new-x", ".other.new-Ab3dE9", "app", "_new_app"})
    Write(folder / name, "x");
  files.removeStaleCopies(folder / "app");
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{".app.new-x", ".other.new-Ab3dE9", "_new_app", "app"}));

  Write(folder / "_new_app", std::string(64 << 20, 'n'));
  const pid_t child = ::fork();
  if (child == 0) {
    auto copy = files.stageCopy(folder / "_new_app", folder / "app");
    for (;;) ::pause();
  }
  const auto staged = [&] {
    for (const auto& name : Entries())
      if (platform::IsStagedCopyOf(name, "app")) return true;
    return false;
  };
  for (int i = 0; i < 5000 && !staged(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(staged());
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_FALSE(staged());
}

TEST_F(PosixFilesTest, StartsTheProgramDetachedInItsFolderWithoutArguments) {
  const fs::path record = root / "record";
  const fs::path program = folder / "caf\xE9";
  Write(program, "#!/bin/sh\n{ pwd; echo \"$#\"; } > '" + record.string() + "'\n", fs::perms(0755));
  files.startProgram(program, folder.string() + "/");
  for (int i = 0; i < 100 && Read(record).empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Read(record), folder.string() + "\n0\n");
  EXPECT_THROW(files.startProgram(folder / "missing", folder.string()), platform::Error);
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
