// Clock, ICMP echo and the WMI query on Win32.
#pragma once

#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/osquery.h"
#include "platform/win32/win32_util.h"

namespace platform::win32 {

class Win32Clock : public Clock {
 public:
  std::chrono::steady_clock::time_point monotonicNow() const override;
  std::chrono::local_seconds localNow() const override;
  bool setSystemTimeUtc(const SystemTimeRecord& record) override;  // SetSystemTime
  void sleep(std::chrono::milliseconds duration) override;
  std::string shortDateText(std::chrono::year_month_day date) const override;
  std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const override;
};

class Win32Icmp : public Icmp {
 public:
  void startSocketLibrary() override;  // WSAStartup 1.1
  void cleanupSocketLibrary() override;
  std::optional<Ipv4Address> resolveFirstIpv4(const std::string& host) override;
  std::unique_ptr<EchoHandle> openEchoHandle() override;  // IcmpCreateFile
};

// Win32_OperatingSystem from root\cimv2 through COM, impersonation level impersonate.
class WmiOsQuery : public OsQuery {
 public:
  std::vector<OperatingSystemItem> operatingSystems() override;
};

}  // namespace platform::win32
