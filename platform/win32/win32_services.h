// Clock, ICMP echo, files and shell, and the WMI query on Win32.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
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

class Win32Files : public Files {
 public:
  std::string findNormalFile(const std::string& path) override;
  std::int64_t fileLength(const std::string& path) override;
  // A copy beside the target, flushed and deleted by the system should the process end first;
  // putting it in place is MoveFileExW with replace-existing and write-through. Paths past
  // MAX_PATH are handed over as "\\?\" paths.
  std::unique_ptr<StagedCopy> stageCopy(const std::string& source,
                                        const std::string& target) override;
  void removeStaleCopies(const std::string& target) override;
  void deleteFile(const std::string& path) override;
  void startProgram(const std::string& path, const std::string& workingFolder) override;
  [[noreturn]] void terminateProcess(int exitCode) override;
  char separator() const override { return '\\'; }
};

// Win32_OperatingSystem from root\cimv2 through COM, impersonation level impersonate.
class WmiOsQuery : public OsQuery {
 public:
  std::vector<OperatingSystemItem> operatingSystems() override;
};

}  // namespace platform::win32
