#include "platform/qt/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <QSysInfo>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/qt/posix_handles.h"

extern char** environ;

namespace platform::qt {

namespace {

// Only these mean that the file is held for now by a program that is still closing.
bool IsBusy(int error) { return error == ETXTBSY || error == EBUSY; }

[[noreturn]] void ThrowErrno(const std::string& what, int error = errno) {
  std::array<char, 256> text{};
  throw Error(error, what + ": " + ::strerror_r(error, text.data(), text.size()), IsBusy(error));
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A read that cannot hang: a FIFO or device put where the download was is refused, not waited on.
UniqueFd OpenRegularFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) ThrowErrno(path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) ThrowErrno(path);
  if (!S_ISREG(info.st_mode)) throw Error(EINVAL, path + ": 不是一般檔案");
  return fd;
}

// The permission bits the new file takes: the target's, or the download's where there is none.
mode_t ModeFor(const std::string& target, int source) {
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0 && ::fstat(source, &info) != 0) ThrowErrno(target);
  return info.st_mode & 07777;
}

std::int64_t CopyAll(int from, int to, const std::string& source) {
  std::int64_t copied = 0;
  // copy_file_range lets the kernel move the bytes; plain reads and writes where it cannot.
  for (;;) {
    const ssize_t moved = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (moved == 0) return copied;
    if (moved > 0) {
      copied += moved;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
      ThrowErrno("copy " + source);
    break;
  }
  std::vector<char> buffer(std::size_t{1} << 20);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return copied;
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("read " + source);
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, std::size_t(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        ThrowErrno("write");
      }
      done += put;
    }
    copied += got;
  }
}

// While a staged copy exists, SIGTERM, SIGINT or SIGHUP removes it before the process ends.
// One copy is staged at a time, so one path is enough.
class RemoveOnTermination {
 public:
  explicit RemoveOnTermination(const std::string& path) {
    const std::size_t length = std::min(path.size(), path_.size() - 1);
    std::memcpy(path_.data(), path.data(), length);
    path_[length] = '\0';
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i)
      ::sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~RemoveOnTermination() {
    for (std::size_t i = 0; i < kSignals.size(); ++i)
      ::sigaction(kSignals[i], &previous_[i], nullptr);
    path_[0] = '\0';
  }
  RemoveOnTermination(const RemoveOnTermination&) = delete;
  RemoveOnTermination& operator=(const RemoveOnTermination&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};
  // Async-signal-safe only: unlink, then the signal's default action.
  static void OnSignal(int signal) {
    if (path_[0] != '\0') ::unlink(path_.data());
    static_cast<void>(::signal(signal, SIG_DFL));
    static_cast<void>(::raise(signal));
  }
  static inline std::array<char, 4096> path_{};
  std::array<struct sigaction, kSignals.size()> previous_{};
};

class PosixStagedCopy : public StagedCopy {
 public:
  PosixStagedCopy(std::string temporary, std::string target)
      : temporary_(std::move(temporary)), target_(std::move(target)), guard_(temporary_) {}
  ~PosixStagedCopy() override {
    if (!placed_) ::unlink(temporary_.c_str());
  }
  PosixStagedCopy(const PosixStagedCopy&) = delete;
  PosixStagedCopy& operator=(const PosixStagedCopy&) = delete;

  void fill(int source, const std::string& sourcePath, UniqueFd to) {
    length_ = CopyAll(source, to.get(), sourcePath);
    if (::fchmod(to.get(), ModeFor(target_, source)) != 0) ThrowErrno(temporary_);
    if (::fsync(to.get()) != 0) ThrowErrno(temporary_);
    if (::close(to.release()) != 0) ThrowErrno(temporary_);
  }
  std::int64_t length() const override { return length_; }
  void putInPlace() override {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) ThrowErrno(target_);
    placed_ = true;
    // The rename itself reaches the disk with the folder.
    const UniqueFd folder(::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.get());
  }

 private:
  std::string temporary_, target_;
  RemoveOnTermination guard_;
  std::int64_t length_ = 0;
  bool placed_ = false;
};

}  // namespace

std::string PosixFiles::findNormalFile(const std::string& path) {
  struct stat info {};
  std::string name = NameOf(path);
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  if (name.empty() || name[0] == '.') return {};  // hidden
  return name;
}

std::int64_t PosixFiles::fileLength(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) ThrowErrno(path);
  return std::int64_t(info.st_size);
}

std::unique_ptr<StagedCopy> PosixFiles::stageCopy(const std::string& source,
                                                  const std::string& target) {
  const UniqueFd from = OpenRegularFile(source);
  const std::string folder = FolderOf(target);
  std::string temporary = folder + "/" + StagedCopyPrefix(NameOf(target)) + "XXXXXX";
  UniqueFd created(::mkstemp(temporary.data()));
  if (!created) ThrowErrno(folder);
  auto copy = std::make_unique<PosixStagedCopy>(temporary, target);
  copy->fill(from.get(), source, std::move(created));
  return copy;
}

void PosixFiles::removeStaleCopies(const std::string& target) {
  const std::string folder = FolderOf(target), name = NameOf(target);
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(::opendir(folder.c_str()), &::closedir);
  if (!entries) return;
  while (const dirent* entry = ::readdir(entries.get()))
    if (IsStagedCopyOf(entry->d_name, name)) ::unlinkat(::dirfd(entries.get()), entry->d_name, 0);
}

void PosixFiles::deleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) ThrowErrno(path);
}

void PosixFiles::startProgram(const std::string& path, const std::string& workingFolder) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // A session of its own: the new version outlives us and our terminal.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  std::string program = path;
  char* const argv[] = {program.data(), nullptr};
  pid_t child = 0;
  const int error = ::posix_spawn(&child, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) ThrowErrno(path, error);
}

void PosixFiles::terminateProcess(int exitCode) {
  static_cast<void>(std::fflush(nullptr));
  ::_exit(exitCode);
}

std::vector<OperatingSystemItem> QtOsQuery::operatingSystems() {
  return {{QSysInfo::prettyProductName().toStdString(), QSysInfo::productVersion().toStdString()}};
}

}  // namespace platform::qt
