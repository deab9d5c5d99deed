#include "platform/win32/icmp.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <icmpapi.h>

#include <cstring>
#include <vector>

#include "platform/win32/safe_start.h"

namespace platform::win32 {

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

}  // namespace platform::win32
