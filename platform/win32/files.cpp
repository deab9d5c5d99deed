#include "platform/win32/files.h"

#include <winsock2.h>
#include <windows.h>

#include <shellapi.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/win32/system.h"

namespace platform::win32 {

namespace {

// What else a failure means: the file is held for now (by another program, or by the old
// version that is still closing; Windows refuses to replace a running program's file).
enum class Busy { Never, IfShared, IfSharedOrDenied };

// "無法<action> <path>：<the system's own words>", with the error's number.
[[noreturn]] void Fail(const char* action, const std::wstring& path, DWORD error,
                       Busy busy = Busy::Never) {
  const bool shared = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
  const bool denied = error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE;
  const bool inUse = (busy != Busy::Never && shared) || (busy == Busy::IfSharedOrDenied && denied);
  const std::string shown = Utf8(path);
  throw Error(std::int32_t(error),
              std::string("無法") + action + " " + shown + "：" +
                  SystemText(error, shown.substr(shown.find_last_of('\\') + 1)),
              inUse);
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// Removes a file of ours (a copy, a kept version, a stale one) whatever its attributes say.
void DeleteAnyway(const std::wstring& path) {
  ::SetFileAttributesW(LongPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(LongPath(path).c_str());
}

// The download, opened to read as a disk file; it stays free for the main program to finish with.
UniqueKernelHandle OpenDownload(const std::wstring& path) {
  UniqueKernelHandle file(::CreateFileW(
      LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) Fail("讀取", path, ::GetLastError(), Busy::IfShared);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) Fail("讀取", path, ERROR_INVALID_PARAMETER);
  return file;
}

// A file the system deletes itself should the process end before it is kept, so that a program
// killed in the middle of a copy leaves nothing behind.
void DeleteOnClose(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

std::int64_t CopyAll(HANDLE from, HANDLE to, const std::wstring& source, const std::wstring& copy,
                     const std::function<void()>& whileCopying) {
  std::vector<char> buffer(std::size_t{1} << 20);
  std::int64_t copied = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(from, buffer.data(), DWORD(buffer.size()), &got, nullptr))
      Fail("讀取", source, ::GetLastError());
    if (got == 0) return copied;
    DWORD put = 0;
    if (!::WriteFile(to, buffer.data(), got, &put, nullptr)) Fail("寫入", copy, ::GetLastError());
    // Wine reports a write that a full disk cut short as a success.
    if (put != got) Fail("寫入", copy, ERROR_DISK_FULL);
    copied += got;
    whileCopying();
  }
}

// The old version under a second name, a hard link made before the new one took its place.
class Win32KeptVersion : public KeptVersion {
 public:
  Win32KeptVersion(std::wstring aside, std::wstring target)
      : aside_(std::move(aside)), target_(std::move(target)) {}
  ~Win32KeptVersion() override {
    if (!putBack_) DeleteAnyway(aside_);
  }
  // A new version that has just crashed may hold its file a moment longer: busy for now.
  void putBack() override {
    if (!::MoveFileExW(LongPath(aside_).c_str(), LongPath(target_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      Fail("放回舊版程式到", target_, ::GetLastError(), Busy::IfSharedOrDenied);
    putBack_ = true;
  }

 private:
  std::wstring aside_, target_;  // full paths
  bool putBack_ = false;
};

// A started program's process, where the shell made one.
class Win32StartedProgram : public StartedProgram {
 public:
  explicit Win32StartedProgram(HANDLE process) : process_(process) {}
  ProgramState state() override {
    DWORD code = 0;
    if (!process_ || ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &code))
      return {};
    // An exit code of error severity is an exception that ended the program: a crash.
    if (code < 0xC0000000) return {ProgramState::Ended, std::int32_t(code), {}};
    std::array<char, 16> hex{};
    static_cast<void>(std::snprintf(hex.data(), hex.size(), "0x%08lX", code));
    return {ProgramState::Crashed, std::int32_t(code), hex.data()};
  }

 private:
  UniqueKernelHandle process_;
};

class Win32StagedCopy : public StagedCopy {
 public:
  Win32StagedCopy(UniqueKernelHandle file, std::wstring path, std::wstring target)
      : file_(std::move(file)), path_(std::move(path)), target_(std::move(target)) {
    DeleteOnClose(file_.get(), true);
  }
  ~Win32StagedCopy() override {
    if (file_) return;  // closing it deletes it
    if (!placed_) DeleteAnyway(path_);
  }

  void fill(HANDLE source, const std::wstring& sourcePath,
            const std::function<void()>& whileCopying) {
    length_ = CopyAll(source, file_.get(), sourcePath, path_, whileCopying);
    if (!::FlushFileBuffers(file_.get())) Fail("寫入", path_, ::GetLastError());
  }
  std::int64_t length() const override { return length_; }
  std::unique_ptr<KeptVersion> putInPlace(bool keepOld) override {
    const std::wstring target = LongPath(target_);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    // The old version keeps a second name, where the file system can give it one.
    const std::wstring aside = FullPath(target_.substr(0, target_.find_last_of(L'\\') + 1) +
                                        Wide(StagedCopyName(Utf8(NameOf(target_)))));
    const bool kept = keepOld && attributes != INVALID_FILE_ATTRIBUTES &&
                      ::CreateHardLinkW(LongPath(aside).c_str(), target.c_str(), nullptr);
    if (file_) {
      DeleteOnClose(file_.get(), false);
      file_.reset();
      // The target's attributes (read-only, hidden...), or normal ones where there is no target:
      // never the download's own.
      ::SetFileAttributesW(LongPath(path_).c_str(),
                           attributes == INVALID_FILE_ATTRIBUTES
                               ? FILE_ATTRIBUTE_NORMAL
                               : attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    }
    if (::MoveFileExW(LongPath(path_).c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      placed_ = true;
      return kept ? std::make_unique<Win32KeptVersion>(aside, target_) : nullptr;
    }
    const DWORD error = ::GetLastError();
    if (kept) ::DeleteFileW(LongPath(aside).c_str());
    // A folder where the program should be is refused for good, not held for a while.
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    Fail("放入新版程式到", target_, error, folder ? Busy::Never : Busy::IfSharedOrDenied);
  }

 private:
  UniqueKernelHandle file_;
  std::wstring path_, target_;  // full paths
  std::int64_t length_ = 0;
  bool placed_ = false;
};

// The shell takes no path of MAX_PATH characters or more: a long one goes by its short form.
std::wstring ShellPath(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  std::wstring shortPath(32768, L'\0');
  const DWORD length = ::GetShortPathNameW(LongPath(path).c_str(), shortPath.data(), 32768);
  if (length == 0 || length >= 32768) return path;
  shortPath.resize(length);
  return shortPath.rfind(L"\\\\?\\", 0) == 0 ? shortPath.substr(4) : shortPath;
}

class Win32Folder : public Folder {
 public:
  explicit Win32Folder(std::wstring path) : path_(std::move(path)) {}
  std::string pathOf(const std::string& name) const override { return Utf8(full(name)); }

  std::string findNormalFile(const std::string& name) override {
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(::FindFirstFileW(LongPath(full(name)).c_str(), &found));
    if (!search) return {};
    constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
    do {
      if ((found.dwFileAttributes & kNotNormal) == 0) return Utf8(found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
    return {};
  }

  std::int64_t fileLength(const std::string& name) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring path = full(name);
    if (!::GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data))
      Fail("讀取", path, ::GetLastError());
    return std::int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  }

  std::unique_ptr<StagedCopy> stageCopy(const std::string& source, const std::string& target,
                                        const std::function<void()>& whileCopying) override {
    const std::wstring from = full(source), to = full(target);
    const UniqueKernelHandle input = OpenDownload(from);
    std::wstring path;
    auto copy = std::make_unique<Win32StagedCopy>(createTemporary(to, path), path, to);
    copy->fill(input.get(), from, whileCopying);
    return copy;
  }

  void removeStaleCopies(const std::string& target) override {
    const std::string name = Utf8(NameOf(full(target)));
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(::FindFirstFileW(
        LongPath(path_ + L"\\" + Wide(StagedCopyPrefix(name)) + L"*").c_str(), &found));
    if (!search) return;
    do {
      if (!IsStagedCopyOf(Utf8(found.cFileName), name)) continue;
      DeleteAnyway(path_ + L"\\" + found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
  }

  void deleteFile(const std::string& name) override {
    const std::wstring path = full(name), file = LongPath(path);
    // The download may have come read-only; it is ours to delete all the same.
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      ::SetFileAttributesW(file.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // Held by another program (the main program still has its download open): busy for now.
    if (!::DeleteFileW(file.c_str())) Fail("刪除", path, ::GetLastError(), Busy::IfShared);
  }

  std::unique_ptr<StartedProgram> startProgram(const std::string& name) override {
    const std::wstring program = ShellPath(full(name)), folder = ShellPath(path_);
    // ShellExecuteEx expands %VAR% in these only when asked to (SEE_MASK_DOENVSUBST): a name is
    // taken as it stands.
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
    start.lpFile = program.c_str();
    start.lpDirectory = folder.c_str();
    start.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&start)) Fail("啟動", full(name), ::GetLastError());
    return std::make_unique<Win32StartedProgram>(start.hProcess);
  }

  void checkIsProgram(const std::string& name, const std::string& /*replacing*/) override {
    const std::wstring path = full(name);
    const UniqueKernelHandle file = OpenDownload(path);
    std::array<unsigned char, 4096> head{};
    DWORD got = 0;
    if (!::ReadFile(file.get(), head.data(), DWORD(head.size()), &got, nullptr))
      Fail("讀取", path, ::GetLastError());
    if (got == 0)
      throw Error(ERROR_BAD_EXE_FORMAT, "下載的新版程式是空的檔案（0 位元組）：" + Utf8(path));
    // "MZ", and where its header points (offset 0x3C), "PE\0\0".
    std::uint32_t pe = 0;
    if (got >= 0x40) std::memcpy(&pe, head.data() + 0x3C, sizeof pe);
    const bool image = got >= 0x40 && head[0] == 'M' && head[1] == 'Z' && pe <= got - 4 &&
                       std::memcmp(head.data() + pe, "PE\0\0", 4) == 0;
    if (!image) throw Error(ERROR_BAD_EXE_FORMAT, "下載的新版程式不是 Windows 程式：" + Utf8(path));
  }

 private:
  // The one form of a name: its full path, as Windows resolves it.
  std::wstring full(const std::string& name) const { return FullPath(path_ + L"\\" + Wide(name)); }

  // The first free name of the staged-copy pattern beside target, created empty and held.
  UniqueKernelHandle createTemporary(const std::wstring& target, std::wstring& path) const {
    for (int attempt = 0;; ++attempt) {
      path = full(StagedCopyName(Utf8(NameOf(target))));
      UniqueKernelHandle file(::CreateFileW(LongPath(path).c_str(), GENERIC_WRITE | DELETE, 0,
                                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file) return file;
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS || attempt == 9) Fail("寫入", path, error, Busy::IfShared);
    }
  }

  std::wstring path_;
};

}  // namespace

std::unique_ptr<Folder> OpenFolder(const std::string& path) {
  std::wstring folder = FullPath(Wide(path));
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return std::make_unique<Win32Folder>(folder);
}

std::unique_ptr<Folder> Win32Files::programFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  if (length == 0 || length >= path.size()) Fail("找到本程式所在的資料夾", L"", ::GetLastError());
  path.resize(length);
  if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
  // With its backslash: a drive's root stays the root.
  return OpenFolder(Utf8(path.substr(0, path.find_last_of(L'\\') + 1)));
}

}  // namespace platform::win32
