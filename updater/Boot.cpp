#include "updater/Boot.h"

#include <chrono>
#include <cstdlib>
#include <optional>

#include "platform/error.h"

namespace pelstow {

using namespace std::chrono_literals;

namespace {

constexpr const char* kDefaultName = "NewEXE.exe";
constexpr const char* kUpdatePrefix = "_new_";
constexpr const char* kTitle = "版本升級";
// The main program may still be writing its download when the user answers: a download is
// taken as whole once its length has held this long and did not change while it was copied.
constexpr auto kSettleTime = 500ms;
// How long the installation waits, at most, for the download to settle and for the files to be
// free (the main program that started us is often still closing, holding its executable).
constexpr std::chrono::milliseconds kInstallLimit = 10s, kBusyPause = 250ms;
// The installed copy is whole when it is in place, so the lengths match at once unless something
// else changed the target; then we give up instead of waiting for ever.
constexpr std::chrono::milliseconds kCopyWaitLimit = 10s, kCopyPollPause = 50ms;
// A wait or a copy longer than this would leave the user looking at nothing: it gets a notice.
constexpr auto kNoticeAfter = 500ms;
// The new version has this long to show that it starts: a crash in that time, or a start that
// fails, puts the old version back. It is looked at this often meanwhile.
constexpr std::chrono::milliseconds kProvingTime = 5s, kProvingStep = 100ms;
constexpr std::int32_t kTimeoutError = 1460;  // ERROR_TIMEOUT
constexpr std::int32_t kInvalidUseOfNull = 94;

using TimePoint = std::chrono::steady_clock::time_point;

[[noreturn]] void EndProcess(platform::Platform& p, int exitCode) {
  p.toolkit.endProgram(exitCode);
  std::abort();  // not reached: without a message loop the program ends at once
}

// One of the installation's waits, or its copy, for as long as this object lives: events are
// handled meanwhile without spinning, and once it has lasted half a second a notice says what it
// is waiting for; the notice goes with it.
class Wait {
 public:
  Wait(platform::Platform& p, std::string what)
      : p_(p), what_(std::move(what)), start_(p.clock.monotonicNow()) {}

  void until(TimePoint when) {
    for (;;) {
      tellIfLong();
      p_.toolkit.handleEventsUntil(notice_ ? when : std::min(when, start_ + kNoticeAfter));
      if (p_.clock.monotonicNow() >= when) return;
    }
  }
  // For work that goes on without waiting (the parts of a copy).
  void tellIfLong() {
    if (notice_ || p_.clock.monotonicNow() - start_ < kNoticeAfter) return;
    notice_ = p_.toolkit.showNotice(kTitle, what_);
    p_.toolkit.doEvents();  // on the screen before the work goes on
  }

 private:
  platform::Platform& p_;
  std::string what_;
  TimePoint start_;
  std::unique_ptr<platform::Notice> notice_;
};

// Runs the operation again while it fails only because its file is busy, until the deadline.
template <class Operation>
auto RetryWhileBusy(platform::Platform& p, TimePoint deadline, const std::string& waitingFor,
                    Operation operation) {
  std::optional<Wait> wait;
  for (;;) {
    try {
      return operation();
    } catch (const platform::Error& error) {
      if (!error.inUse() || p.clock.monotonicNow() >= deadline) throw;
    }
    if (!wait) wait.emplace(p, waitingFor);
    wait->until(p.clock.monotonicNow() + kBusyPause);
  }
}

struct MeasuredLength {
  std::int64_t length;
  TimePoint measuredAt;
};

MeasuredLength Measure(platform::Platform& p, platform::Folder& folder, const std::string& name) {
  return {folder.fileLength(name), p.clock.monotonicNow()};
}

std::string WaitingForDownload(const std::string& download) {
  return "等候新版程式下載完成：" + download;
}

[[noreturn]] void GiveUpOn(platform::Folder& folder, const std::string& download) {
  throw platform::Error(kTimeoutError, "等候新版程式下載完成逾時：" + folder.pathOf(download));
}

// Settled: the download's length has held for kSettleTime since `last`.
MeasuredLength AwaitSettled(platform::Platform& p, platform::Folder& folder,
                            const std::string& download, MeasuredLength last, TimePoint deadline) {
  Wait settling(p, WaitingForDownload(download));
  for (;;) {
    settling.until(last.measuredAt + kSettleTime);
    const MeasuredLength now = Measure(p, folder, download);
    if (now.length == last.length) return now;
    if (p.clock.monotonicNow() >= deadline) GiveUpOn(folder, download);
    last = now;
  }
}

// Copied unchanged: a whole copy of the settled download, which did not change while it was
// copied; none when it did, and `last` is then its length after the copy.
std::unique_ptr<platform::StagedCopy> CopyUnchanged(platform::Platform& p, platform::Folder& folder,
                                                    const std::string& download,
                                                    const std::string& target, MeasuredLength& last,
                                                    TimePoint deadline) {
  const std::int64_t settled = last.length;
  auto copy = RetryWhileBusy(p, deadline, WaitingForDownload(download), [&] {
    Wait copying(p, "正在複製新版程式：" + target);
    return folder.stageCopy(download, target, [&copying] { copying.tellIfLong(); });
  });
  last = Measure(p, folder, download);
  if (copy->length() == settled && last.length == settled) return copy;
  return nullptr;
}

// Put in place: the copy takes the target's place once the old program lets go of it.
std::unique_ptr<platform::KeptVersion> PutInPlace(platform::Platform& p, platform::StagedCopy& copy,
                                                  const std::string& target, TimePoint deadline,
                                                  bool keepOld) {
  return RetryWhileBusy(p, deadline, "等候舊版程式結束：" + target,
                        [&] { return copy.putInPlace(keepOld); });
}

struct Installed {
  std::int64_t length = 0;
  std::unique_ptr<platform::KeptVersion> old;  // kept aside, where asked and possible
};

// Puts a copy of the download in place of the target once it is whole: settled, it can be a
// program, copied unchanged. The target is touched only then, in one step.
Installed InstallSettledDownload(platform::Platform& p, platform::Folder& folder,
                                 const std::string& download, const std::string& target,
                                 MeasuredLength last, TimePoint deadline, bool keepOld) {
  for (;;) {
    last = AwaitSettled(p, folder, download, last, deadline);
    folder.checkIsProgram(download, target);
    const std::int64_t length = last.length;
    if (const auto copy = CopyUnchanged(p, folder, download, target, last, deadline))
      return {length, PutInPlace(p, *copy, target, deadline, keepOld)};
    if (p.clock.monotonicNow() >= deadline) GiveUpOn(folder, download);
  }
}

void WaitForCopy(platform::Platform& p, platform::Folder& folder, const std::string& target,
                 std::int64_t expectedLength) {
  const auto start = p.clock.monotonicNow();
  Wait checking(p, "等候新版程式複製完成：" + target);
  while (folder.fileLength(target) != expectedLength) {
    if (p.clock.monotonicNow() - start >= kCopyWaitLimit)
      throw platform::Error(kTimeoutError, "等候新版程式複製完成逾時：" + folder.pathOf(target));
    p.toolkit.doEvents();
    checking.until(p.clock.monotonicNow() + kCopyPollPause);
  }
}

// The report of a failure says where the user's program stands: the promise is that it is either
// the old version, unchanged, or the whole new one.
[[noreturn]] void Rethrow(const platform::Error& error, const std::string& standing) {
  throw platform::Error(error.number(), std::string(error.what()) + "\n\n" + standing,
                        error.inUse());
}

// What went wrong in the new version's first seconds: nothing when it ran (or ended by its own
// or someone else's hand); a failure when it could not be started, the system could not run
// it, or it crashed.
std::optional<platform::Error> FailureAtItsStart(platform::Platform& p, platform::Folder& folder,
                                                 const std::string& name) {
  using platform::ProgramState;
  try {
    const auto program = folder.startProgram(name);
    const TimePoint deadline = p.clock.monotonicNow() + kProvingTime;
    ProgramState state = program->state();
    while (state.is == ProgramState::Running && p.clock.monotonicNow() < deadline) {
      p.toolkit.handleEventsUntil(std::min(deadline, p.clock.monotonicNow() + kProvingStep));
      state = program->state();
    }
    if (state.is == ProgramState::Crashed)
      return platform::Error(state.number,
                             "新版程式一啟動就當機（" + state.why + "）：" + folder.pathOf(name));
    if (state.is == ProgramState::NotStarted)
      return platform::Error(state.number,
                             "新版程式無法啟動（" + state.why + "）：" + folder.pathOf(name));
    return std::nullopt;
  } catch (const platform::Error& error) {
    return error;
  }
}

// Starts the new version; where it does not start, or crashes within its first seconds, the old
// one goes back in place and is started instead, and the report says so. Where even that cannot
// be done, the old one is kept under a name the report gives.
void StartProven(platform::Platform& p, platform::Folder& folder, const std::string& name,
                 std::unique_ptr<platform::KeptVersion> old) {
  const auto failure = FailureAtItsStart(p, folder, name);
  if (!failure) {
    old.reset();  // the new version runs: the old one kept aside goes
    return;
  }
  if (!old) Rethrow(*failure, "新版程式已放入定位：" + folder.pathOf(name));
  try {
    RetryWhileBusy(p, p.clock.monotonicNow() + kInstallLimit, "等候新版程式結束：" + name,
                   [&] { old->putBack(); });
  } catch (const platform::Error& error) {
    const std::string keptAs = old->keepForGood();
    Rethrow(*failure, std::string("無法換回舊版程式（") + error.what() +
                          "），新版程式已放入定位：" + folder.pathOf(name) + "\n舊版程式保留為：" +
                          folder.pathOf(keptAs));
  }
  const std::string standing = "新版程式無法執行，舊版程式已放回定位";
  try {
    folder.startProgram(name);
  } catch (const platform::Error&) {
    Rethrow(*failure, standing + "，但無法啟動：" + folder.pathOf(name));
  }
  Rethrow(*failure, standing + "並已啟動：" + folder.pathOf(name));
}

}  // namespace

std::string QueryOSInfo(platform::OsQuery& osQuery, std::string& version) {
  std::string result;
  for (const auto& item : osQuery.operatingSystems()) {
    if (!item.caption) throw platform::Error(kInvalidUseOfNull, "不正確地使用 Null：作業系統名稱");
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
  const auto folder = p.files.programFolder();
  const std::string update = kUpdatePrefix + name;

  // Nothing here depends on the system's name and version; a failed query still ends the run
  // before any file has been looked at.
  std::string systemVersion;
  static_cast<void>(QueryOSInfo(p.osQuery, systemVersion));

  if (!IsPlainFileName(name) || folder->findNormalFile(update).empty()) {
    p.toolkit.messageBox("必需由主程式呼叫始可執行！", "Tarrin（zevo）說：",
                         platform::MessageButtons::Ok, platform::MessageAnswer::Ok);
    EndProcess(p, 0);
  }

  folder->removeStaleCopies(name);
  const MeasuredLength download = Measure(p, *folder, update);
  const auto answer =
      p.toolkit.messageBox("已下載完成，要立即執行新版程式嗎？", kTitle,
                           platform::MessageButtons::YesNo, platform::MessageAnswer::Yes);
  // Installing, and then letting go of the download, wait for other programs within these ten
  // seconds; the copy's check and the take-back have limits of their own.
  const TimePoint deadline = p.clock.monotonicNow() + kInstallLimit;
  // On Yes the new version is watched as it starts, with the old one kept aside meanwhile.
  const bool keepOld = answer == platform::MessageAnswer::Yes;
  Installed installed;
  try {
    installed = InstallSettledDownload(p, *folder, update, name, download, deadline, keepOld);
  } catch (const platform::Error& error) {
    Rethrow(error, "舊版程式未變更：" + folder->pathOf(name));
  }
  if (!keepOld) EndProcess(p, 0);

  try {
    WaitForCopy(p, *folder, name, installed.length);
    RetryWhileBusy(p, deadline, "等候其他程式放開下載的檔案：" + update,
                   [&] { folder->deleteFile(update); });
  } catch (const platform::Error& error) {
    Rethrow(error, "新版程式已放入定位：" + folder->pathOf(name));
  }
  StartProven(p, *folder, name, std::move(installed.old));
  EndProcess(p, 0);
}

}  // namespace pelstow
