#include "platform/win32/win32_services.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <icmpapi.h>
#include <wbemidl.h>
#include <ws2tcpip.h>

#include <cstring>
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

// --- WMI --------------------------------------------------------------------------------------

namespace {

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
