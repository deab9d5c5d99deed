#include "platform/qt/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/qt/system.h"

extern char** environ;

namespace platform::qt {

namespace {

// Only these mean that the file is held for now by a program that is still closing.
bool IsBusy(int error) { return error == ETXTBSY || error == EBUSY; }

// "無法<action> <path>：<the system's own words>", with the error's number.
[[noreturn]] void Fail(const char* action, const std::string& path, int error = errno) {
  throw Error(error, std::string("無法") + action + " " + path + "：" + SystemText(error),
              IsBusy(error));
}

constexpr std::size_t kCopyStep = std::size_t{64} << 20;  // between two calls of whileCopying

mode_t Umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// While a staged copy exists, SIGTERM, SIGINT or SIGHUP removes it before the process ends.
// One copy is staged at a time, so one name is enough.
class RemoveOnTermination : NonCopyable {
 public:
  RemoveOnTermination(int folder, const std::string& name) {
    const std::size_t length = std::min(name.size(), name_.size() - 1);
    std::memcpy(name_.data(), name.data(), length);
    name_[length] = '\0';
    folder_ = folder;
    handlers_.emplace(std::initializer_list<int>{SIGTERM, SIGINT, SIGHUP}, &onSignal);
  }
  ~RemoveOnTermination() {
    handlers_.reset();
    name_[0] = '\0';
  }

 private:
  // Async-signal-safe only: unlinkat, then the signal's default action.
  static void onSignal(int signal) {
    if (name_[0] != '\0') ::unlinkat(folder_, name_.data(), 0);
    static_cast<void>(::signal(signal, SIG_DFL));
    static_cast<void>(::raise(signal));
  }
  static inline std::array<char, 256> name_{};
  static inline int folder_ = -1;
  std::optional<SignalHandlers> handlers_;
};

// What an open file's first bytes say it is; none where they cannot be read.
enum class Kind { Empty, Program, Other };
std::optional<Kind> KindOf(int file) {
  std::array<char, 4> head{};
  const ssize_t got = ::read(file, head.data(), head.size());
  if (got < 0) return std::nullopt;
  const std::string_view first(head.data(), std::size_t(got));
  if (first.empty()) return Kind::Empty;
  return first == "\x7f"
                  "ELF" ||
                 first.substr(0, 2) == "#!"
             ? Kind::Program
             : Kind::Other;
}

// Killed by one of these, a program crashed; by any other, someone ended it.
bool IsCrash(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE ||
         signal == SIGABRT || signal == SIGSYS || signal == SIGTRAP;
}

// The shell's and the loader's codes for a program they could not run (not executable, not
// found: a missing interpreter, a missing shared library), as env and ld.so end with them.
bool IsNotStarted(int code) { return code == 126 || code == 127; }

// A script's "#!" line, which names what runs it; empty for anything else.
std::string InterpreterLine(int folder, const std::string& name) {
  const UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::array<char, 256> head{};
  const ssize_t got = file ? ::read(file.get(), head.data(), head.size()) : -1;
  const std::string_view text(head.data(), got > 0 ? std::size_t(got) : 0);
  return text.substr(0, 2) == "#!" ? std::string(text.substr(0, text.find('\n'))) : "";
}

class PosixStartedProgram : public StartedProgram {
 public:
  PosixStartedProgram(pid_t child, std::string interpreter)
      : child_(child), interpreter_(std::move(interpreter)) {}
  ProgramState state() override {
    int status = 0;
    if (ended_ || ::waitpid(child_, &status, WNOHANG) != child_) return ended_.value_or(Running());
    const bool exited = WIFEXITED(status);
    const int number = exited ? WEXITSTATUS(status) : WTERMSIG(status);
    if (!exited && IsCrash(number)) {
      ended_ = {ProgramState::Crashed, number, SignalText(number)};
    } else if (exited && IsNotStarted(number)) {
      ended_ = {ProgramState::NotStarted, number,
                "結束代碼 " + std::to_string(number) + "，找不到或無法執行它需要的程式或程式庫" +
                    (interpreter_.empty() ? "" : "：" + interpreter_)};
    } else {
      ended_ = {ProgramState::Ended, number, {}};
    }
    return *ended_;
  }

 private:
  static ProgramState Running() { return {}; }
  pid_t child_;
  std::string interpreter_;
  std::optional<ProgramState> ended_;
};

class PosixFolder : public Folder {
 public:
  PosixFolder(UniqueFd folder, std::string path)
      : folder_(std::move(folder)), path_(std::move(path)) {}
  std::string pathOf(const std::string& name) const override {
    return path_ == "/" ? "/" + name : path_ + "/" + name;
  }
  std::string findNormalFile(const std::string& name) override {
    struct stat info {};
    if (::fstatat(folder_.get(), name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode)) return {};
    if (name.empty() || name[0] == '.') return {};  // hidden
    return name;
  }
  std::int64_t fileLength(const std::string& name) override {
    struct stat info {};
    if (::fstatat(folder_.get(), name.c_str(), &info, 0) != 0) Fail("讀取", pathOf(name));
    return std::int64_t(info.st_size);
  }
  void removeStaleCopies(const std::string& target) override {
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(
        ::fdopendir(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), &::closedir);
    if (!entries) return;
    while (const dirent* entry = ::readdir(entries.get()))
      if (IsStagedCopyOf(entry->d_name, target)) ::unlinkat(folder_.get(), entry->d_name, 0);
  }
  void deleteFile(const std::string& name) override {
    if (::unlinkat(folder_.get(), name.c_str(), 0) != 0) Fail("刪除", pathOf(name));
  }
  std::unique_ptr<StartedProgram> startProgram(const std::string& name) override {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // A session of its own: the new version outlives us and our terminal.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addfchdir_np(&actions, folder_.get());
    std::string shown = pathOf(name);
    const std::string inFolder = "./" + name;  // taken after the change of folder, at any depth
    char* const argv[] = {shown.data(), nullptr};
    pid_t child = 0;
    const int error = ::posix_spawn(&child, inFolder.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) Fail("啟動", pathOf(name), error);
    return std::make_unique<PosixStartedProgram>(child, InterpreterLine(folder_.get(), name));
  }
  void checkIsProgram(const std::string& name, const std::string& replacing) override;
  std::unique_ptr<StagedCopy> stageCopy(const std::string& source, const std::string& target,
                                        const std::function<void()>& whileCopying) override;

  int fd() const { return folder_.get(); }
  // The name as the system's path calls reach it, however deep the folder is.
  std::string reachable(const std::string& name) const {
    return "/proc/self/fd/" + std::to_string(folder_.get()) + "/" + name;
  }

 private:
  UniqueFd folder_;
  std::string path_;
};

// A read that cannot hang: a FIFO or device put where the download was is refused, not waited on.
UniqueFd OpenRegularFile(const PosixFolder& folder, const std::string& name) {
  UniqueFd fd(::openat(folder.fd(), name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) Fail("讀取", folder.pathOf(name));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) Fail("讀取", folder.pathOf(name));
  if (!S_ISREG(info.st_mode)) Fail("讀取", folder.pathOf(name), EINVAL);
  return fd;
}

void PosixFolder::checkIsProgram(const std::string& name, const std::string& replacing) {
  const auto kind = KindOf(OpenRegularFile(*this, name).get());
  if (!kind) Fail("讀取", pathOf(name));
  if (*kind == Kind::Program) return;
  if (*kind == Kind::Empty)
    throw Error(ENOEXEC, "下載的新版程式是空的檔案（0 位元組）：" + pathOf(name));
  // A system that runs other formats (binfmt_misc) runs what the old version was.
  const UniqueFd old(::openat(fd(), replacing.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (old && KindOf(old.get()) == Kind::Other) return;
  throw Error(ENOEXEC,
              "下載的新版程式不是程式（既非 ELF 執行檔，也非 #! 指令稿）：" + pathOf(name));
}

// The kernel moves the bytes (copy_file_range); false, with `copied` so far, where it cannot for
// this pair of files.
bool CopyInKernel(int from, int to, const std::string& copy,
                  const std::function<void()>& whileCopying, std::int64_t& copied) {
  for (;;) {
    const ssize_t moved = ::copy_file_range(from, nullptr, to, nullptr, kCopyStep, 0);
    if (moved == 0) return true;
    if (moved > 0) {
      copied += moved;
      whileCopying();
    } else if (errno != EINTR) {
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        Fail("寫入", copy);
      return false;
    }
  }
}

// Plain reads and writes, from where the kernel's copy stopped.
std::int64_t CopyByReading(int from, int to, const std::string& source, const std::string& copy,
                           const std::function<void()>& whileCopying, std::int64_t copied) {
  std::vector<char> buffer(std::size_t{1} << 20);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return copied;
    if (got < 0) {
      if (errno == EINTR) continue;
      Fail("讀取", source);
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, std::size_t(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        Fail("寫入", copy);
      }
      done += put;
    }
    copied += got;
    whileCopying();
  }
}

std::int64_t CopyAll(int from, int to, const std::string& source, const std::string& copy,
                     const std::function<void()>& whileCopying) {
  std::int64_t copied = 0;
  if (CopyInKernel(from, to, copy, whileCopying, copied)) return copied;
  return CopyByReading(from, to, source, copy, whileCopying, copied);
}

// The permissions of an ACL's group-owner entry (as the kernel stores an ACL: a 4-byte version,
// then entries of a 2-byte tag, 2-byte permissions and 4-byte id); none without one.
std::optional<mode_t> GroupEntryOf(const std::vector<char>& acl) {
  constexpr std::uint16_t kGroupObject = 0x04;
  for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
    std::uint16_t tag = 0, permissions = 0;
    std::memcpy(&tag, acl.data() + at, 2);
    std::memcpy(&permissions, acl.data() + at + 2, 2);
    if (tag == kGroupObject) return mode_t(permissions & 07);
  }
  return std::nullopt;
}

// The old file's ACL and user attributes, where the file system keeps them. Its other attributes
// are the system's (security.selinux) or grants to the old content (security.capability). Where
// the ACL cannot be carried over (it names a user this user namespace does not map), the mode's
// group bits show its mask, wider than the group's own entry: that entry is returned.
std::optional<mode_t> CopyAttributes(const std::string& from, int to) {
  std::vector<char> names(std::size_t(std::max<ssize_t>(::listxattr(from.c_str(), nullptr, 0), 0)));
  const ssize_t listed = ::listxattr(from.c_str(), names.data(), names.size());
  std::optional<mode_t> narrowGroup;
  for (std::size_t at = 0; listed > 0 && at < std::size_t(listed);) {
    const std::string name = names.data() + at;
    at += name.size() + 1;
    const bool acl = name == "system.posix_acl_access";
    if (name.rfind("user.", 0) != 0 && !acl) continue;
    std::vector<char> value(
        std::size_t(std::max<ssize_t>(::getxattr(from.c_str(), name.c_str(), nullptr, 0), 0)));
    const ssize_t length = ::getxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) continue;
    value.resize(std::size_t(length));
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0 && acl)
      narrowGroup = GroupEntryOf(value).value_or(0);
  }
  return narrowGroup;
}

// What the new file takes of the old one (see Folder::stageCopy); with no old one, the rights of
// a new executable.
void TakeRightsOf(const PosixFolder& folder, const std::string& target, int file,
                  const std::string& copy) {
  struct stat old {};
  if (::fstatat(folder.fd(), target.c_str(), &old, 0) != 0) {
    if (errno != ENOENT) Fail("讀取", folder.pathOf(target));
    if (::fchmod(file, 0777 & ~Umask()) != 0) Fail("寫入", copy);
    return;
  }
  // Owner and group where this process may set them, or the group alone; failing both, the
  // copy stays ours, as cp --preserve leaves it.
  if (::fchown(file, old.st_uid, old.st_gid) != 0) {
    [[maybe_unused]] const int groupOnly = ::fchown(file, uid_t(-1), old.st_gid);
  }
  if (::fchmod(file, old.st_mode & 01777) != 0) Fail("寫入", copy);
  if (const auto group = CopyAttributes(folder.reachable(target), file))
    if (::fchmod(file, (old.st_mode & 01707) | *group << 3) != 0) Fail("寫入", copy);
}

// The old version, kept aside under the staged copy's name. A set-ID or capability-bearing
// program lying there hidden, for as long as the new one is watched (or for good, after a killed
// run), would be one more way in: it lies there without those rights, where this process may take
// them (the owner, CAP_SETFCAP), and gets them back with its place.
class PosixKeptVersion : public KeptVersion {
 public:
  PosixKeptVersion(const PosixFolder& folder, std::string aside, std::string target)
      : folder_(folder), aside_(std::move(aside)), target_(std::move(target)) {
    struct stat info {};
    // A link put in place of the program is kept as a link: what it leads to is not ours.
    if (::fstatat(folder_.fd(), aside_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
      return;
    mode_ = info.st_mode & 07777;
    capability_.resize(std::size_t(
        std::max<ssize_t>(::lgetxattr(path().c_str(), kCapability, capability_.data(), 0), 0)));
    if (!capability_.empty() && (::lgetxattr(path().c_str(), kCapability, capability_.data(),
                                             capability_.size()) != ssize_t(capability_.size()) ||
                                 ::lremovexattr(path().c_str(), kCapability) != 0))
      capability_.clear();
    takeRightsAway();
  }
  ~PosixKeptVersion() override {
    if (!left_) ::unlinkat(folder_.fd(), aside_.c_str(), 0);
  }
  void putBack() override {
    giveRightsBack();
    if (::renameat(folder_.fd(), aside_.c_str(), folder_.fd(), target_.c_str()) != 0) {
      const int error = errno;
      takeRightsAway();
      Fail("放回舊版程式到", folder_.pathOf(target_), error);
    }
    left_ = true;
    ::fsync(folder_.fd());
  }
  std::string keepForGood() override {
    left_ = true;
    giveRightsBack();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = KeptOldName(target_, attempt);
      if (::renameat2(folder_.fd(), aside_.c_str(), folder_.fd(), name.c_str(), RENAME_NOREPLACE) ==
          0) {
        ::fsync(folder_.fd());
        return name;
      }
      if (errno != EEXIST) break;
    }
    takeRightsAway();
    return aside_;
  }

 private:
  static constexpr const char* kCapability = "security.capability";
  std::string path() const { return folder_.reachable(aside_); }
  // Only a set-ID mode changes; where this process may not change it, it lies as it was.
  void setMode(mode_t mode) const {
    if ((mode_ & (S_ISUID | S_ISGID)) == 0) return;
    [[maybe_unused]] const int changed = ::fchmodat(folder_.fd(), aside_.c_str(), mode, 0);
  }
  void takeRightsAway() const { setMode(mode_ & 0777); }
  void giveRightsBack() {
    setMode(mode_);
    if (!capability_.empty())
      static_cast<void>(
          ::lsetxattr(path().c_str(), kCapability, capability_.data(), capability_.size(), 0));
  }

  const PosixFolder& folder_;
  std::string aside_, target_;
  mode_t mode_ = 0;
  std::vector<char> capability_;  // the file capability taken away, to be given back
  bool left_ = false;             // put back, or kept for good: not to be removed
};

class PosixStagedCopy : public StagedCopy {
 public:
  PosixStagedCopy(const PosixFolder& folder, std::string temporary, std::string target)
      : folder_(folder),
        temporary_(std::move(temporary)),
        target_(std::move(target)),
        guard_(folder.fd(), temporary_) {}
  ~PosixStagedCopy() override {
    if (!placed_) ::unlinkat(folder_.fd(), temporary_.c_str(), 0);
  }

  void fill(int source, const std::string& sourceName, UniqueFd to,
            const std::function<void()>& whileCopying) {
    const std::string copy = folder_.pathOf(temporary_);
    length_ = CopyAll(source, to.get(), folder_.pathOf(sourceName), copy, whileCopying);
    TakeRightsOf(folder_, target_, to.get(), copy);
    if (::fsync(to.get()) != 0) Fail("寫入", copy);
    if (::close(to.release()) != 0) Fail("寫入", copy);
  }
  std::int64_t length() const override { return length_; }
  std::unique_ptr<KeptVersion> putInPlace(bool keepOld) override {
    // Exchanged, the old version takes the copy's name; where the file system cannot exchange
    // (or there is no old version), the copy simply replaces it.
    const bool kept = keepOld && ::renameat2(folder_.fd(), temporary_.c_str(), folder_.fd(),
                                             target_.c_str(), RENAME_EXCHANGE) == 0;
    if (!kept && ::renameat(folder_.fd(), temporary_.c_str(), folder_.fd(), target_.c_str()) != 0)
      Fail("放入新版程式到", folder_.pathOf(target_));
    placed_ = true;
    ::fsync(folder_.fd());  // the rename itself reaches the disk with the folder
    return kept ? std::make_unique<PosixKeptVersion>(folder_, temporary_, target_) : nullptr;
  }

 private:
  const PosixFolder& folder_;
  std::string temporary_, target_;
  RemoveOnTermination guard_;
  std::int64_t length_ = 0;
  bool placed_ = false;
};

// The first free name of the staged-copy pattern beside target, created empty and ours alone.
UniqueFd CreateTemporary(const PosixFolder& folder, const std::string& target, std::string& name) {
  for (int attempt = 0;; ++attempt) {
    name = StagedCopyName(target);
    UniqueFd file(
        ::openat(folder.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file) return file;
    if (errno != EEXIST || attempt == 9) Fail("寫入", folder.pathOf(name));
  }
}

// Only a program's file, or a link to one, is replaced: a folder of the user's by the program's
// name would otherwise be swapped away whole when the old version is kept.
void CheckReplaceable(const PosixFolder& folder, const std::string& target) {
  struct stat info {};
  if (::fstatat(folder.fd(), target.c_str(), &info, 0) != 0) {
    if (errno != ENOENT) Fail("讀取", folder.pathOf(target));
  } else if (!S_ISREG(info.st_mode)) {
    Fail("放入新版程式到", folder.pathOf(target), S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  }
}

std::unique_ptr<StagedCopy> PosixFolder::stageCopy(const std::string& source,
                                                   const std::string& target,
                                                   const std::function<void()>& whileCopying) {
  CheckReplaceable(*this, target);
  const UniqueFd from = OpenRegularFile(*this, source);
  std::string temporary;
  UniqueFd created = CreateTemporary(*this, target, temporary);
  auto copy = std::make_unique<PosixStagedCopy>(*this, temporary, target);
  copy->fill(from.get(), source, std::move(created), whileCopying);
  return copy;
}

std::string FolderPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string WorkingFolder() {
  std::string path(4096, '\0');
  if (::getcwd(path.data(), path.size()) == nullptr) return ".";
  path.resize(std::strlen(path.c_str()));
  return path;
}

// The folder where the caller found us (argv[0]'s, a link's own folder), when the file there is
// this very program.
std::unique_ptr<Folder> WhereInvoked(const std::string& invokedAs) {
  if (invokedAs.find('/') == std::string::npos) return nullptr;
  const std::string folder = FolderPart(invokedAs);
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat self {
  }, there{};
  if (!fd || ::stat("/proc/self/exe", &self) != 0 ||
      ::fstatat(fd.get(), invokedAs.substr(invokedAs.rfind('/') + 1).c_str(), &there, 0) != 0 ||
      self.st_dev != there.st_dev || self.st_ino != there.st_ino)
    return nullptr;
  const std::string shown = folder[0] == '/' ? folder
                            : folder == "."  ? WorkingFolder()
                                             : WorkingFolder() + "/" + folder;
  return std::make_unique<PosixFolder>(std::move(fd), shown);
}

}  // namespace

std::unique_ptr<Folder> OpenFolder(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) Fail("開啟資料夾", path);
  std::string shown = path;
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  return std::make_unique<PosixFolder>(std::move(fd), shown);
}

// Never the working folder: a program that cannot tell where it lies installs nothing.
std::unique_ptr<Folder> PosixFiles::programFolder() {
  if (auto invoked = WhereInvoked(invokedAs_)) return invoked;
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || std::size_t(length) >= path.size())
    Fail("找到本程式所在的資料夾", invokedAs_, length <= 0 ? errno : ENAMETOOLONG);
  path.resize(std::size_t(length));
  return OpenFolder(FolderPart(path));
}

}  // namespace platform::qt
