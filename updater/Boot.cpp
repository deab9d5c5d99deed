#include "updater/Boot.h"

#include <chrono>
#include <cstdlib>

#include "platform/error.h"

namespace pelstow {

using namespace std::chrono_literals;

namespace {

constexpr const char* kDefaultName = "NewEXE.exe";
constexpr const char* kUpdatePrefix = "_new_";
// The main program that started us is often still closing, holding its executable.
constexpr auto kReplaceRetryLimit = 10s;
constexpr auto kReplaceRetryPause = 250ms;
// The replacement is whole when it returns, so the lengths match at once unless the download
// changed under us; then we give up instead of waiting for ever.
constexpr auto kCopyWaitLimit = 10s;
constexpr auto kCopyPollPause = 50ms;
constexpr std::int32_t kTimeoutError = 1460;  // ERROR_TIMEOUT
constexpr std::int32_t kInvalidUseOfNull = 94;

[[noreturn]] void EndProcess(platform::Platform& p, int exitCode) {
  p.files.terminateProcess(exitCode);
  std::abort();  // not reached: the process has ended
}

void Pause(platform::Platform& p, std::chrono::milliseconds pause) {
  p.toolkit.waitForEvents(p.clock.monotonicNow() + pause);
}

void ReplaceRetrying(platform::Platform& p, const std::string& source, const std::string& target) {
  const auto start = p.clock.monotonicNow();
  for (;;) {
    try {
      p.files.replaceFile(source, target);
      return;
    } catch (const platform::Error& error) {
      if (!error.inUse() || p.clock.monotonicNow() - start >= kReplaceRetryLimit) throw;
    }
    Pause(p, kReplaceRetryPause);
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
    if (currentLength != expectedLength) Pause(p, kCopyPollPause);
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

  const std::int64_t expectedLength = p.files.fileLength(updatePath);
  const auto answer =
      p.toolkit.messageBox("已下載完成，要立即執行新版程式嗎？", "版本升級",
                           platform::MessageButtons::YesNo, platform::MessageAnswer::Yes);
  ReplaceRetrying(p, updatePath, targetPath);
  if (answer != platform::MessageAnswer::Yes) EndProcess(p, 0);

  WaitForCopy(p, targetPath, expectedLength);
  p.files.deleteFile(updatePath);
  p.files.startProgram(targetPath, folder);  // a failed start is not reported
  EndProcess(p, 0);
}

}  // namespace pelstow
