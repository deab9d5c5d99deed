#include "updater/Boot.h"

#include <chrono>
#include <cstdlib>

#include "platform/error.h"

namespace pelstow {

using namespace std::chrono_literals;

namespace {

constexpr const char* kDefaultName = "NewEXE.exe";
constexpr const char* kUpdatePrefix = "_new_";
// The main program may still be writing its download when the user answers: a download is
// taken as whole once its length has held this long and did not change while it was copied.
constexpr auto kSettleTime = 500ms;
// How long the installation waits, at most, for the download to settle and for the target to be
// free (the main program that started us is often still closing, holding its executable).
constexpr auto kInstallLimit = 10s;
constexpr auto kBusyPause = 250ms;
// The installed copy is whole when it is in place, so the lengths match at once unless something
// else changed the target; then we give up instead of waiting for ever.
constexpr auto kCopyWaitLimit = 10s;
constexpr auto kCopyPollPause = 50ms;
constexpr std::int32_t kTimeoutError = 1460;  // ERROR_TIMEOUT
constexpr std::int32_t kInvalidUseOfNull = 94;

using TimePoint = std::chrono::steady_clock::time_point;

[[noreturn]] void EndProcess(platform::Platform& p, int exitCode) {
  p.files.terminateProcess(exitCode);
  std::abort();  // not reached: the process has ended
}

// Lets events be handled, without spinning, until the time has come.
void PauseUntil(platform::Platform& p, TimePoint until) {
  while (p.clock.monotonicNow() < until) p.toolkit.waitForEvents(until);
}

// Runs the operation again while it fails only because its file is busy, until the deadline.
template <class Operation>
auto RetryWhileBusy(platform::Platform& p, TimePoint deadline, Operation operation) {
  for (;;) {
    try {
      return operation();
    } catch (const platform::Error& error) {
      if (!error.inUse() || p.clock.monotonicNow() >= deadline) throw;
    }
    PauseUntil(p, p.clock.monotonicNow() + kBusyPause);
  }
}

// A file's length and when it was measured.
struct Look {
  std::int64_t length;
  TimePoint at;
};

Look LookAt(platform::Platform& p, const std::string& path) {
  return {p.files.fileLength(path), p.clock.monotonicNow()};
}

// Puts a copy of the download in place of the target once the download has stopped changing: its
// length held for kSettleTime, then it was copied whole with no change during the copy. The
// target is touched only then. Returns the length installed.
std::int64_t InstallSettledDownload(platform::Platform& p, const std::string& download,
                                    const std::string& target, Look last) {
  const TimePoint deadline = p.clock.monotonicNow() + kInstallLimit;
  for (;;) {
    PauseUntil(p, last.at + kSettleTime);
    const Look now = LookAt(p, download);
    if (now.length != last.length) {
      last = now;
    } else {
      auto copy = RetryWhileBusy(p, deadline, [&] { return p.files.stageCopy(download, target); });
      last = LookAt(p, download);
      if (copy->length() == now.length && last.length == now.length) {
        RetryWhileBusy(p, deadline, [&] { copy->putInPlace(); });
        return now.length;
      }
    }
    if (p.clock.monotonicNow() >= deadline)
      throw platform::Error(kTimeoutError, "等候新版程式下載完成逾時：" + download);
  }
}

void WaitForCopy(platform::Platform& p, const std::string& target, std::int64_t expectedLength) {
  const auto start = p.clock.monotonicNow();
  std::int64_t currentLength = 0;
  while (currentLength != expectedLength) {
    if (p.clock.monotonicNow() - start >= kCopyWaitLimit)
      throw platform::Error(kTimeoutError, "等候新版程式複製完成逾時：" + target);
    currentLength = p.files.fileLength(target);
    p.toolkit.doEvents();
    if (currentLength != expectedLength) PauseUntil(p, p.clock.monotonicNow() + kCopyPollPause);
  }
}

}  // namespace

std::string QueryOSInfo(platform::OsQuery& osQuery, std::string& version) {
  std::string result;
  for (const auto& item : osQuery.operatingSystems()) {
    if (!item.caption) throw platform::Error(kInvalidUseOfNull, "Invalid use of Null");
    result = *item.caption;
    version = item.version;
  }
  return result;
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?') return false;
  }
  return true;
}

void Main(platform::Platform& p) {
  const std::string commandLine = p.toolkit.commandLine();
  const std::string name = commandLine.empty() ? kDefaultName : commandLine;
  const std::string folder = p.toolkit.programFolder() + p.files.separator();
  const std::string updatePath = folder + kUpdatePrefix + name;
  const std::string targetPath = folder + name;

  // Nothing here depends on the system's name and version; a failed query still ends the run
  // before any file has been looked at.
  std::string systemVersion;
  static_cast<void>(QueryOSInfo(p.osQuery, systemVersion));

  if (!IsPlainFileName(name) || p.files.findNormalFile(updatePath).empty()) {
    p.toolkit.messageBox("必需由主程式呼叫始可執行！", "Tarrin（zevo）說：",
                         platform::MessageButtons::Ok, platform::MessageAnswer::Ok);
    EndProcess(p, 0);
  }

  p.files.removeStaleCopies(targetPath);
  const Look download = LookAt(p, updatePath);
  const auto answer =
      p.toolkit.messageBox("已下載完成，要立即執行新版程式嗎？", "版本升級",
                           platform::MessageButtons::YesNo, platform::MessageAnswer::Yes);
  const std::int64_t installedLength = InstallSettledDownload(p, updatePath, targetPath, download);
  if (answer != platform::MessageAnswer::Yes) EndProcess(p, 0);

  WaitForCopy(p, targetPath, installedLength);
  p.files.deleteFile(updatePath);
  p.files.startProgram(targetPath, folder);
  EndProcess(p, 0);
}

}  // namespace pelstow
