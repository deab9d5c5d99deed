// ICMP echo on Win32: IcmpSendEcho of iphlpapi, bound from System32.
#pragma once

#include <optional>

#include "platform/icmp.h"
#include "platform/win32/system.h"

namespace platform::win32 {

class Win32Icmp : public Icmp {
 public:
  void startSocketLibrary() override { winsock_.emplace(1, 1); }
  void cleanupSocketLibrary() override { winsock_.reset(); }
  std::optional<Ipv4Address> resolveFirstIpv4(const std::string& host) override {
    return ResolveFirstIpv4(host);
  }
  std::unique_ptr<EchoHandle> openEchoHandle() override;  // IcmpCreateFile

 private:
  std::optional<WinsockSession> winsock_;
};

}  // namespace platform::win32
