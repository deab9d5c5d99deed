#include "platform/qt/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QString>
#include <QSysInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error.h"

namespace platform::qt {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what, int error = errno) {
  const bool inUse = error == ETXTBSY || error == EBUSY || error == EACCES || error == EPERM;
  char text[256];
  throw Error(error, what + ": " + ::strerror_r(error, text, sizeof text), inUse);
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

void CopyAll(int from, int to, const std::string& source) {
  // copy_file_range lets the kernel move the bytes; plain reads and writes where it cannot.
  for (;;) {
    const ssize_t moved = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (moved == 0) return;
    if (moved > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
      ThrowErrno("copy " + source);
    break;
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return;
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
  }
}

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

void PosixFiles::replaceFile(const std::string& source, const std::string& target) {
  Fd from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) ThrowErrno(source);
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0 && ::fstat(from.get(), &info) != 0) ThrowErrno(source);

  const std::string folder = FolderOf(target);
  std::string temporary = folder + "/." + NameOf(target) + ".new-XXXXXX";
  Fd to(::mkstemp(temporary.data()));
  if (to.get() < 0) ThrowErrno(folder);
  try {
    CopyAll(from.get(), to.get(), source);
    if (::fchmod(to.get(), info.st_mode & 07777) != 0) ThrowErrno(temporary);
    if (::fsync(to.get()) != 0) ThrowErrno(temporary);
    if (::close(to.release()) != 0) ThrowErrno(temporary);
    if (::rename(temporary.c_str(), target.c_str()) != 0) ThrowErrno(target);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename itself reaches the disk with the folder.
  Fd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
}

void PosixFiles::deleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) ThrowErrno(path);
}

bool PosixFiles::startProgram(const std::string& path, const std::string& workingFolder) {
  return QProcess::startDetached(QString::fromStdString(path), {},
                                 QString::fromStdString(workingFolder));
}

void PosixFiles::terminateProcess(int exitCode) {
  static_cast<void>(std::fflush(nullptr));
  ::_exit(exitCode);
}

std::vector<OperatingSystemItem> QtOsQuery::operatingSystems() {
  return {{QSysInfo::prettyProductName().toStdString(), QSysInfo::productVersion().toStdString()}};
}

}  // namespace platform::qt
