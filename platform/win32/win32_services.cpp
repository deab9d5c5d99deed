#include "platform/win32/win32_services.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <icmpapi.h>
#include <shellapi.h>
#include <wbemidl.h>
#include <ws2tcpip.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/error.h"
#include "platform/win32/safe_start.h"

namespace platform::win32 {

using namespace std::chrono;

namespace {

SYSTEMTIME ToSystemTime(year_month_day date, hh_mm_ss<seconds> time) {
  SYSTEMTIME st{};
  st.wYear = WORD(int(date.year()));
  st.wMonth = WORD(unsigned(date.month()));
  st.wDay = WORD(unsigned(date.day()));
  st.wDayOfWeek = WORD(weekday{sys_days{date}}.c_encoding());
  st.wHour = WORD(time.hours().count());
  st.wMinute = WORD(time.minutes().count());
  st.wSecond = WORD(time.seconds().count());
  return st;
}

// Whether a failure means only that a file is held for now: by another program, or by the old
// version that is still closing (Windows refuses to replace a running program's file).
enum class Busy { Never, IfShared, IfSharedOrDenied };

[[noreturn]] void ThrowLastError(const std::string& what, Busy busy = Busy::Never,
                                 DWORD error = ::GetLastError()) {
  const bool shared = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
  const bool denied = error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE;
  const bool inUse = (busy != Busy::Never && shared) || (busy == Busy::IfSharedOrDenied && denied);
  throw Error(std::int32_t(error), SystemMessage(error) + "：" + what, inUse);
}

std::wstring FilePath(const std::string& path) { return LongPath(Wide(path)); }

}  // namespace

// --- Clock ------------------------------------------------------------------------------------

steady_clock::time_point Win32Clock::monotonicNow() const { return steady_clock::now(); }

local_seconds Win32Clock::localNow() const {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return local_days{year{st.wYear} / st.wMonth / st.wDay} + hours{st.wHour} + minutes{st.wMinute} +
         seconds{st.wSecond};
}

bool Win32Clock::setSystemTimeUtc(const SystemTimeRecord& r) {
  SYSTEMTIME st{r.year, r.month, r.dayOfWeek, r.day, r.hour, r.minute, r.second, r.milliseconds};
  return ::SetSystemTime(&st) != FALSE;
}

void Win32Clock::sleep(milliseconds duration) { ::Sleep(DWORD(duration.count())); }

std::string Win32Clock::shortDateText(year_month_day date) const {
  const SYSTEMTIME st = ToSystemTime(date, hh_mm_ss<seconds>{});
  wchar_t text[128];
  const int length =
      ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, 128, nullptr);
  return Utf8(text, length - 1);
}

std::string Win32Clock::longTimeText(hh_mm_ss<seconds> time) const {
  const SYSTEMTIME st = ToSystemTime(year{2000} / 1 / 1, time);
  wchar_t text[128];
  const int length = ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, text, 128);
  return Utf8(text, length - 1);
}

// --- ICMP -------------------------------------------------------------------------------------

void Win32Icmp::startSocketLibrary() {
  WSADATA data;
  SYSTEM_CALL(L"ws2_32.dll", WSAStartup)(MAKEWORD(1, 1), &data);
}

void Win32Icmp::cleanupSocketLibrary() { SYSTEM_CALL(L"ws2_32.dll", WSACleanup)(); }

std::optional<Ipv4Address> Win32Icmp::resolveFirstIpv4(const std::string& host) {
  // Winsock keeps the host entry per thread.
  const hostent* entry =
      SYSTEM_CALL(L"ws2_32.dll", gethostbyname)(host.c_str());  // NOLINT(concurrency-mt-unsafe)
  if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return std::nullopt;
  Ipv4Address address;
  std::memcpy(address.data(), entry->h_addr_list[0], 4);
  return address;
}

namespace {

struct IcmpHandleTraits : KernelHandleTraits {
  static void close(HANDLE handle) { SYSTEM_CALL(L"iphlpapi.dll", IcmpCloseHandle)(handle); }
};

class Win32EchoHandle : public EchoHandle {
 public:
  explicit Win32EchoHandle(HANDLE handle) : handle_(handle) {}
  EchoReply sendEcho(const Ipv4Address& destination, std::span<const std::uint8_t> data,
                     std::uint8_t ttl, std::uint32_t timeoutMs) override {
    IP_OPTION_INFORMATION options{};
    options.Ttl = ttl;
    // Room for one reply record, the echoed data, an ICMP error's 8 bytes, and the status block
    // the API may write.
    std::vector<std::uint8_t> reply(sizeof(ICMP_ECHO_REPLY) + data.size() + 8 + 16, 0);
    IPAddr address;
    std::memcpy(&address, destination.data(), 4);
    const DWORD stored = SYSTEM_CALL(L"iphlpapi.dll", IcmpSendEcho)(
        handle_.get(), address, const_cast<std::uint8_t*>(data.data()), WORD(data.size()), &options,
        reply.data(), DWORD(reply.size()), timeoutMs);
    if (stored == 0) return {0, ::GetLastError(), 0};
    const auto* record = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
    return {stored, record->Status, record->RoundTripTime};
  }

 private:
  UniqueHandle<IcmpHandleTraits> handle_;
};

}  // namespace

std::unique_ptr<EchoHandle> Win32Icmp::openEchoHandle() {
  HANDLE handle = SYSTEM_CALL(L"iphlpapi.dll", IcmpCreateFile)();
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
  return std::make_unique<Win32EchoHandle>(handle);
}

// --- Files and shell --------------------------------------------------------------------------

std::string Win32Files::findNormalFile(const std::string& path) {
  WIN32_FIND_DATAW found;
  const UniqueFindHandle search(::FindFirstFileW(FilePath(path).c_str(), &found));
  if (!search) return {};
  constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
  do {
    if ((found.dwFileAttributes & kNotNormal) == 0) return Utf8(found.cFileName);
  } while (::FindNextFileW(search.get(), &found));
  return {};
}

std::int64_t Win32Files::fileLength(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(FilePath(path).c_str(), GetFileExInfoStandard, &data))
    ThrowLastError(path);
  return std::int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

namespace {

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }
std::string NameOf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// A file the system deletes itself should the process end before it is kept, so that a program
// killed in the middle of a copy leaves nothing behind.
void DeleteOnClose(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The first free name of the staged-copy pattern beside target, created empty and held.
UniqueKernelHandle CreateTemporary(const std::string& target, std::wstring& path) {
  static std::mt19937 random{std::random_device{}()};
  static constexpr char kLetters[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  const std::string prefix =
      target.substr(0, target.size() - NameOf(target).size()) + StagedCopyPrefix(NameOf(target));
  for (int attempt = 0;; ++attempt) {
    std::string name = prefix;
    for (std::size_t i = 0; i < kStagedCopySuffixLength; ++i) name += kLetters[pick(random)];
    path = FilePath(name);
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return file;
    if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 9)
      ThrowLastError(Utf8(FolderOf(Wide(target))), Busy::IfShared);
  }
}

std::int64_t CopyAll(HANDLE from, HANDLE to, const std::string& source) {
  std::vector<char> buffer(std::size_t{1} << 20);
  std::int64_t copied = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(from, buffer.data(), DWORD(buffer.size()), &got, nullptr))
      ThrowLastError(source);
    if (got == 0) return copied;
    DWORD put = 0;
    if (!::WriteFile(to, buffer.data(), got, &put, nullptr) || put != got) ThrowLastError("write");
    copied += got;
  }
}

class Win32StagedCopy : public StagedCopy {
 public:
  Win32StagedCopy(UniqueKernelHandle file, std::wstring path, std::wstring target)
      : file_(std::move(file)), path_(std::move(path)), target_(std::move(target)) {
    DeleteOnClose(file_.get(), true);
  }
  ~Win32StagedCopy() override {
    if (file_) return;  // closing it deletes it
    if (!placed_) {
      ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(path_.c_str());
    }
  }
  Win32StagedCopy(const Win32StagedCopy&) = delete;
  Win32StagedCopy& operator=(const Win32StagedCopy&) = delete;

  void fill(HANDLE source, const std::string& sourcePath) {
    length_ = CopyAll(source, file_.get(), sourcePath);
    if (!::FlushFileBuffers(file_.get())) ThrowLastError(Utf8(path_));
  }
  std::int64_t length() const override { return length_; }
  void putInPlace() override {
    if (file_) {
      DeleteOnClose(file_.get(), false);
      file_.reset();
      // The target's attributes (read-only, hidden...), or normal ones where there is no target:
      // never the download's own.
      const DWORD attributes = ::GetFileAttributesW(target_.c_str());
      ::SetFileAttributesW(path_.c_str(), attributes == INVALID_FILE_ATTRIBUTES
                                              ? FILE_ATTRIBUTE_NORMAL
                                              : attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    }
    if (!::MoveFileExW(path_.c_str(), target_.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      ThrowLastError(Utf8(target_), Busy::IfSharedOrDenied);
    placed_ = true;
  }

 private:
  UniqueKernelHandle file_;
  std::wstring path_, target_;
  std::int64_t length_ = 0;
  bool placed_ = false;
};

}  // namespace

std::unique_ptr<StagedCopy> Win32Files::stageCopy(const std::string& source,
                                                  const std::string& target) {
  const UniqueKernelHandle from(
      ::CreateFileW(FilePath(source).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!from) ThrowLastError(source, Busy::IfShared);
  if (::GetFileType(from.get()) != FILE_TYPE_DISK)
    throw Error(ERROR_INVALID_PARAMETER, "不是一般檔案：" + source);
  std::wstring path;
  UniqueKernelHandle file = CreateTemporary(target, path);
  auto copy = std::make_unique<Win32StagedCopy>(std::move(file), path, FilePath(target));
  copy->fill(from.get(), source);
  return copy;
}

void Win32Files::removeStaleCopies(const std::string& target) {
  const std::string name = NameOf(target);
  const std::wstring folder = FolderOf(FilePath(target));
  WIN32_FIND_DATAW found;
  const UniqueFindHandle search(
      ::FindFirstFileW((folder + L"\\" + Wide(StagedCopyPrefix(name)) + L"*").c_str(), &found));
  if (!search) return;
  do {
    if (!IsStagedCopyOf(Utf8(found.cFileName), name)) continue;
    const std::wstring stale = folder + L"\\" + found.cFileName;
    ::SetFileAttributesW(stale.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(stale.c_str());
  } while (::FindNextFileW(search.get(), &found));
}

void Win32Files::deleteFile(const std::string& path) {
  const std::wstring file = FilePath(path);
  // The download may have come read-only; it is ours to delete all the same.
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(file.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  if (!::DeleteFileW(file.c_str())) ThrowLastError(path);
}

void Win32Files::startProgram(const std::string& path, const std::string& workingFolder) {
  // The shell takes no path of MAX_PATH characters or more: a long one goes by its short form.
  const auto shellPath = [](const std::string& text) {
    std::wstring wide = Wide(text);
    if (wide.size() < MAX_PATH) return wide;
    std::wstring shortPath(32768, L'\0');
    const DWORD length = ::GetShortPathNameW(LongPath(wide).c_str(), shortPath.data(), 32768);
    if (length == 0 || length >= 32768) return wide;
    shortPath.resize(length);
    return shortPath.rfind(L"\\\\?\\", 0) == 0 ? shortPath.substr(4) : shortPath;
  };
  const auto result =
      reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, nullptr, shellPath(path).c_str(), nullptr,
                                                shellPath(workingFolder).c_str(), SW_SHOWNORMAL));
  if (result > 32) return;
  const DWORD error = ::GetLastError();
  ThrowLastError(path, Busy::Never, error != 0 ? error : DWORD(result));
}

void Win32Files::terminateProcess(int exitCode) {
  ::TerminateProcess(::GetCurrentProcess(), UINT(exitCode));
  ::ExitProcess(UINT(exitCode));
}

// --- WMI --------------------------------------------------------------------------------------

namespace {

// COM on this thread for as long as the object lives, released on every way out.
class ComApartment {
 public:
  ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    if (initialized_) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialized_;
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** out() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw Error(std::int32_t(hr), SystemMessage(DWORD(hr)) + "：" + what);
}

std::optional<std::string> TextProperty(IWbemClassObject* item, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  Check(item->Get(name, 0, &value, nullptr, nullptr), "Get");
  std::optional<std::string> text;
  if (value.vt == VT_BSTR) text = Utf8(value.bstrVal, int(::SysStringLen(value.bstrVal)));
  ::VariantClear(&value);
  return text;
}

}  // namespace

std::vector<OperatingSystemItem> WmiOsQuery::operatingSystems() {
  const ComApartment com;
  ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  std::vector<OperatingSystemItem> items;
  ComPtr<IWbemLocator> locator;
  Check(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                           reinterpret_cast<void**>(locator.out())),
        "WbemLocator");
  ComPtr<IWbemServices> services;
  BSTR space = ::SysAllocString(L"\\\\.\\root\\cimv2");
  const HRESULT connected =
      locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.out());
  ::SysFreeString(space);
  Check(connected, "ConnectServer root\\cimv2");
  Check(
      ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                          RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
      "CoSetProxyBlanket");
  ComPtr<IEnumWbemClassObject> results;
  BSTR language = ::SysAllocString(L"WQL");
  BSTR query = ::SysAllocString(L"Select * from Win32_OperatingSystem");
  const HRESULT queried =
      services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                          nullptr, results.out());
  ::SysFreeString(language);
  ::SysFreeString(query);
  Check(queried, "ExecQuery");
  for (;;) {
    ComPtr<IWbemClassObject> item;
    ULONG returned = 0;
    Check(results->Next(LONG(-1) /* WBEM_INFINITE */, 1, item.out(), &returned), "Next");
    if (returned == 0) break;
    items.push_back(
        {TextProperty(item.get(), L"Caption"), TextProperty(item.get(), L"Version").value_or("")});
  }
  return items;
}

}  // namespace platform::win32
