#include "platform/win32/files.h"

#include <winsock2.h>
#include <windows.h>

#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
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
std::wstring FolderOf(const std::wstring& path) {  // with its backslash
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

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

// Removes a second name of an old version that stays in place: the attributes (read-only) it
// shares with it are cleared only for the removal, and given back.
void RemoveSecondName(const std::wstring& aside, const std::wstring& target) {
  const DWORD attributes = ::GetFileAttributesW(LongPath(target).c_str());
  DeleteAnyway(aside);
  if (attributes != INVALID_FILE_ATTRIBUTES)
    ::SetFileAttributesW(LongPath(target).c_str(), attributes);
}

// The old version under a second name, a hard link made before the new one took its place.
class Win32KeptVersion : public KeptVersion {
 public:
  Win32KeptVersion(std::wstring aside, std::wstring target)
      : aside_(std::move(aside)), target_(std::move(target)) {}
  ~Win32KeptVersion() override {
    if (!left_) DeleteAnyway(aside_);
  }
  // A new version that has just crashed may hold its file a moment longer: busy for now.
  void putBack() override {
    if (!::MoveFileExW(LongPath(aside_).c_str(), LongPath(target_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      Fail("放回舊版程式到", target_, ::GetLastError(), Busy::IfSharedOrDenied);
    left_ = true;
  }
  std::string keepForGood() override {
    left_ = true;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::wstring kept =
          FolderOf(target_) + Wide(KeptOldName(Utf8(NameOf(target_)), attempt));
      if (::MoveFileExW(LongPath(aside_).c_str(), LongPath(kept).c_str(), MOVEFILE_WRITE_THROUGH))
        return Utf8(NameOf(kept));
      const DWORD error = ::GetLastError();
      if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    }
    return Utf8(NameOf(aside_));
  }

 private:
  std::wstring aside_, target_;  // full paths
  bool left_ = false;            // put back, or kept for good: not to be removed
};

// What an exit code says of how a program ended: the exception codes its own fault ends it with
// (a crash), and those the loader ends a program with when it cannot run it. Any other code, -1
// and 3 (the old C runtime's abort()) among them, is the program's own, or whoever ended it.
ProgramState::Is HowItEnded(DWORD code) {
  struct Known {
    DWORD code;
    ProgramState::Is is;
  };
  static constexpr Known kKnown[] = {
      {0xC0000005, ProgramState::Crashed},     // access violation
      {0xC0000006, ProgramState::Crashed},     // in-page error
      {0xC000001D, ProgramState::Crashed},     // illegal instruction
      {0xC0000096, ProgramState::Crashed},     // privileged instruction
      {0xC00000FD, ProgramState::Crashed},     // stack overflow
      {0xC000008C, ProgramState::Crashed},     // array bounds exceeded
      {0xC000008D, ProgramState::Crashed},     // floating point: denormal operand
      {0xC000008E, ProgramState::Crashed},     // floating point: divide by zero
      {0xC000008F, ProgramState::Crashed},     // floating point: inexact result
      {0xC0000090, ProgramState::Crashed},     // floating point: invalid operation
      {0xC0000091, ProgramState::Crashed},     // floating point: overflow
      {0xC0000092, ProgramState::Crashed},     // floating point: stack check
      {0xC0000093, ProgramState::Crashed},     // floating point: underflow
      {0xC0000094, ProgramState::Crashed},     // integer divide by zero
      {0xC0000095, ProgramState::Crashed},     // integer overflow
      {0x80000002, ProgramState::Crashed},     // datatype misalignment
      {0x80000003, ProgramState::Crashed},     // breakpoint
      {0x80000004, ProgramState::Crashed},     // single step
      {0xC0000025, ProgramState::Crashed},     // noncontinuable exception
      {0xC0000026, ProgramState::Crashed},     // invalid disposition
      {0xC0000374, ProgramState::Crashed},     // heap corruption
      {0xC0000409, ProgramState::Crashed},     // stack buffer overrun, every fast fail (abort())
      {0xC0000420, ProgramState::Crashed},     // assertion failure
      {0xE06D7363, ProgramState::Crashed},     // a C++ exception no one caught (Visual C++)
      {0xC0000135, ProgramState::NotStarted},  // a DLL not found
      {0xC0000138, ProgramState::NotStarted},  // an ordinal not found
      {0xC0000139, ProgramState::NotStarted},  // an entry point not found
      {0xC0000142, ProgramState::NotStarted},  // a DLL failed to start
      {0xC000007B, ProgramState::NotStarted},  // an image of another kind (architecture)
      {0xC0000145, ProgramState::NotStarted},  // the program failed to start
  };
  for (const Known& known : kKnown)
    if (known.code == code) return known.is;
  return ProgramState::Ended;
}

// The new version watched as its debugger, from a thread of its own, for as long as this object
// lives: a crash of its own ends it at once with its exception code, where Windows Error
// Reporting, or Wine's crash debugger, would keep it alive under a dialog. An exception it
// handles itself goes back to it untouched. Let go, it runs on.
class CrashWatch {
 public:
  explicit CrashWatch(DWORD process) : thread_([this, process] { watch(process); }) {}
  CrashWatch(const CrashWatch&) = delete;
  CrashWatch& operator=(const CrashWatch&) = delete;
  ~CrashWatch() {
    over_ = true;
    thread_.join();
  }

 private:
  void watch(DWORD process) {
    if (!::DebugActiveProcess(process)) return;  // one elevated by the shell, say: unwatched
    ::DebugSetProcessKillOnExit(FALSE);
    bool attaching = true;  // the system's own breakpoint comes first, to say it is attached
    DEBUG_EVENT event{};
    while (!over_) {
      if (!::WaitForDebugEvent(&event, 50)) continue;
      DWORD handled = DBG_CONTINUE;
      if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT)
        ::CloseHandle(event.u.CreateProcessInfo.hFile);
      if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) ::CloseHandle(event.u.LoadDll.hFile);
      if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
        const EXCEPTION_DEBUG_INFO& exception = event.u.Exception;
        const DWORD code = exception.ExceptionRecord.ExceptionCode;
        if (!attaching || code != EXCEPTION_BREAKPOINT) handled = DBG_EXCEPTION_NOT_HANDLED;
        attaching = attaching && code != EXCEPTION_BREAKPOINT;
        if (!exception.dwFirstChance) EndWith(event.dwProcessId, code);  // no handler took it
      }
      ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, handled);
      if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) return;
    }
    ::DebugActiveProcessStop(process);
  }
  static void EndWith(DWORD process, DWORD code) {
    const UniqueKernelHandle handle(::OpenProcess(PROCESS_TERMINATE, FALSE, process));
    if (handle) ::TerminateProcess(handle.get(), code);
  }

  std::atomic<bool> over_{false};
  std::thread thread_;
};

// A started program's process, where the shell made one, watched for as long as this lives.
class Win32StartedProgram : public StartedProgram {
 public:
  explicit Win32StartedProgram(HANDLE process)
      : process_(process),
        watch_(process_ ? std::make_unique<CrashWatch>(::GetProcessId(process_.get())) : nullptr) {}
  ProgramState state() override {
    DWORD code = 0;
    if (!process_ || ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &code))
      return {};
    const ProgramState::Is is = HowItEnded(code);
    if (is == ProgramState::Ended) return {is, std::int32_t(code), {}};
    std::array<char, 16> hex{};
    static_cast<void>(std::snprintf(hex.data(), hex.size(), "0x%08lX", code));
    return {is, std::int32_t(code), hex.data()};
  }

 private:
  UniqueKernelHandle process_;
  std::unique_ptr<CrashWatch> watch_;
};

class Win32StagedCopy : public StagedCopy {
 public:
  Win32StagedCopy(UniqueKernelHandle file, std::wstring path, std::wstring target)
      : file_(std::move(file)), path_(std::move(path)), target_(std::move(target)) {
    DeleteOnClose(file_.get(), true);
  }
  ~Win32StagedCopy() override {
    if (!aside_.empty()) RemoveSecondName(aside_, target_);
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
    // The old version keeps a second name, where the file system can give it one: one name for
    // every try, while the old version is still running and its file busy.
    if (keepOld && aside_.empty() && attributes != INVALID_FILE_ATTRIBUTES) {
      const std::wstring aside =
          FullPath(FolderOf(target_) + Wide(StagedCopyName(Utf8(NameOf(target_)))));
      if (::CreateHardLinkW(LongPath(aside).c_str(), target.c_str(), nullptr)) aside_ = aside;
    }
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
      if (aside_.empty()) return nullptr;
      return std::make_unique<Win32KeptVersion>(std::exchange(aside_, {}), target_);
    }
    const DWORD error = ::GetLastError();
    // A folder where the program should be is refused for good, not held for a while.
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    Fail("放入新版程式到", target_, error, folder ? Busy::Never : Busy::IfSharedOrDenied);
  }

 private:
  UniqueKernelHandle file_;
  std::wstring path_, target_;  // full paths
  std::wstring aside_;          // the old version's second name, once made
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
