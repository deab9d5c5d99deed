// The installer's run on the fake platform: its order, its end states, and its guards (plain
// names, a download still being written, a busy target, bounded waits).
#include <gtest/gtest.h>

#include "tests/fake/fake_platform.h"
#include "updater/Boot.h"

namespace {

using namespace std::chrono_literals;
using platform::MessageAnswer;

const std::string kFolder = "/opt/app/", kTarget = kFolder + "my app.bin",
                  kDownload = kFolder + "_new_my app.bin";
const std::string kStarted = "start " + kTarget + " in /opt/app";

class Pelstow : public ::testing::Test, protected fake::FakePlatform {
 protected:
  Pelstow() {
    toolkit.log = &log;
    files.files[kTarget] = "old";
  }
  // Runs Main to its end; the exit code it ended the process with.
  int Run(const std::string& commandLine, MessageAnswer answer = MessageAnswer::Yes) {
    toolkit.commandLineText = commandLine;
    toolkit.answers = {answer};
    try {
      pelstow::Main(platform);
    } catch (const fake::ProcessEnded& end) {
      return end.exitCode;
    }
  }
  // The error the run ended with, if it ended with one.
  std::optional<platform::Error> Failure(const std::string& commandLine) {
    try {
      Run(commandLine);
    } catch (const platform::Error& error) {
      return error;
    }
    return std::nullopt;
  }
  int Count(const std::string& entry) { return int(std::count(log.begin(), log.end(), entry)); }
  std::string Content(const std::string& path) {
    return files.files.count(path) ? files.files.at(path) : "(none)";
  }
};

TEST_F(Pelstow, AnswerYesInstallsDeletesTheDownloadAndStartsTheNewVersionInThisOrder) {
  files.files[kDownload] = "new version";
  EXPECT_EQ(Run("my app.bin"), 0);
  ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
  const auto& prompt = toolkit.messageBoxes[0];
  EXPECT_EQ(std::tie(prompt.text, prompt.title, prompt.buttons, prompt.defaultButton),
            std::make_tuple("已下載完成，要立即執行新版程式嗎？", "版本升級",
                            platform::MessageButtons::YesNo, MessageAnswer::Yes));
  EXPECT_EQ(Content(kTarget), "new version");
  EXPECT_EQ(files.files.size(), 1u) << "the download is gone, no temporary file is left";
  EXPECT_EQ(log,
            (std::vector<std::string>{"os-query", "find " + kDownload, "remove-stale " + kTarget,
                                      "length " + kDownload, "messagebox 版本升級",
                                      "length " + kDownload,  // unchanged since before the prompt
                                      "stage " + kDownload + " " + kTarget,
                                      "length " + kDownload,  // unchanged during the copy
                                      "put-in-place " + kTarget, "length " + kTarget,
                                      "delete " + kDownload, kStarted, "end 0"}));
}

// A name that is not a plain file name of the folder is refused before any file is looked at,
// even where its download exists; a name without a download gets the same message.
TEST_F(Pelstow, WithoutAPlainNameAndItsDownloadOnlyTheCallMessageIsShown) {
  std::vector<std::string> names = {"../x", "sub/x", "sub\\x", "C:x", ".",
                                    "..",   "*.exe", "a?.exe", "a\nb"};
  for (const auto& name : names) files.files[kFolder + "_new_" += name] = "evil";
  const std::size_t unsafe = names.size();
  names.insert(names.end(), {"my app.bin", ""});  // no download for these
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    log.clear();
    toolkit.messageBoxes.clear();
    EXPECT_EQ(Run(name), 0);
    ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
    const auto& box = toolkit.messageBoxes[0];
    EXPECT_EQ(std::tie(box.text, box.title, box.buttons),
              std::make_tuple("必需由主程式呼叫始可執行！", "Tarrin（zevo）說：",
                              platform::MessageButtons::Ok));
    const bool refusedByName = std::size_t(&name - names.data()) < unsafe;
    EXPECT_EQ(log.size(), refusedByName ? 3u : 4u) << "os-query, [find], messagebox, end";
  }
  EXPECT_EQ(files.files.size(), 1 + unsafe);
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, EmptyCommandLineUpdatesNewExeAndAnEmptyDownloadIsNotWaitedFor) {
  files.files[kFolder + "_new_NewEXE.exe"] = "";
  EXPECT_EQ(Run(""), 0);
  EXPECT_EQ(Content(kFolder + "NewEXE.exe"), "");
  EXPECT_EQ(Count("length " + kFolder + "NewEXE.exe"), 0);
  EXPECT_EQ(files.started, std::vector<std::string>{kFolder + "NewEXE.exe"});
}

// Each failure ends the run when it happens, and its report says where the user's program
// stands: the old version unchanged, or the whole new one in place. The copy wait gives up after
// exactly ten seconds, looking every 50 ms.
TEST_F(Pelstow, FailuresAreReportedWithNothingStartedAfterThem) {
  const platform::Error full(28, "無法寫入：裝置上已無空間"),
      denied(13, "無法啟動：拒絕不符權限的操作");
  const std::string old = "舊版程式未變更：" + kTarget, placed = "新版程式已放入定位：" + kTarget;
  struct Case {
    std::function<void()> prepare;
    std::vector<std::string> logTail;
    fake::Duration took;  // after the prompt, the download's length holds for half a second
    std::string standing;
  } cases[] = {
      {[&] { files.noProgramFolder = true; }, {}, 0s, ""},
      {[&] { osQuery.unreachable = true; }, {"os-query"}, 0s, ""},
      {[&] { files.stageErrors = {full}; }, {"stage " + kDownload + " " + kTarget}, 500ms, old},
      {[&] { files.startErrors = {denied}; }, {"delete " + kDownload, kStarted}, 500ms, placed},
      {[&] { files.reportedLength[kTarget] = 3; }, {"length " + kTarget}, 10s + 500ms, placed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    log.clear();
    osQuery.unreachable = files.noProgramFolder = false;
    files.reportedLength.clear();
    files.files[kDownload] = "new version";
    c.prepare();
    const auto start = queue.now();
    const auto error = Failure("my app.bin");
    ASSERT_TRUE(error);
    const std::string text = error->what();
    EXPECT_EQ(text.substr(text.size() - c.standing.size()), c.standing);
    EXPECT_EQ(queue.now() - start, c.took);
    EXPECT_TRUE(std::equal(c.logTail.rbegin(), c.logTail.rend(), log.rbegin()));
    EXPECT_LE(Count("length " + kTarget), 200) << "the copy wait pauses between looks";
  }
}

// The main program still appends to its download when the user answers: what is installed is
// the whole download once it has stopped changing, and the target is not touched before. "No"
// installs all the same, and keeps the download.
TEST_F(Pelstow, ADownloadStillBeingWrittenIsInstalledOnlyWholeOrNotAtAll) {
  struct Case {
    const char* what;
    int chunks;
    fake::Duration interval, answerAfter, copyTime;
    bool installs;
  } cases[] = {
      {"10 chunks over 3 s, the answer at 0.4 s", 10, 300ms, 400ms, 0ms, true},
      {"a change during the copy", 3, 700ms, 0ms, 800ms, true},
      {"written until the ten seconds are up", 21, 500ms, 500ms, 0ms, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log.clear();
    const auto start = queue.now();
    files.files[kTarget] = "old";
    files.files[kDownload] = "0";
    std::string whole = "0";
    for (int i = 1; i <= c.chunks; ++i) {
      whole += char('0' + i % 10);
      queue.schedule(start + i * c.interval,
                     [this, i] { files.files[kDownload] += char('0' + i % 10); });
    }
    toolkit.answerAfter = c.answerAfter;
    files.copyTime = c.copyTime;
    if (c.installs) {
      EXPECT_EQ(Run("my app.bin", MessageAnswer::No), 0);
      EXPECT_EQ(Content(kTarget), whole);
    } else {
      EXPECT_EQ(Failure("my app.bin").value_or(platform::Error(0, "")).number(), 1460);
      EXPECT_EQ(Content(kTarget), "old");
      EXPECT_GE(queue.now() - start, 10s);
      EXPECT_LT(Count("length " + kDownload), 40) << "no spinning";
    }
    EXPECT_EQ(Count("put-in-place " + kTarget), c.installs ? 1 : 0);
    EXPECT_EQ(files.files.size(), 2u) << "the download stays, no temporary file is left";
  }
}

TEST_F(Pelstow, ABusyTargetIsRetriedForTenSecondsAndOtherErrorsAreReportedAtOnce) {
  const platform::Error busy(26, "檔案忙碌中", true);
  struct Case {
    const char* what;
    std::deque<platform::Error> stageErrors, placeErrors, deleteErrors;
    bool alwaysBusy, installs;
    fake::Duration atLeast, below;
  } cases[] = {
      {"busy twice, then free", {busy}, {busy}, {}, false, true, 1s, 2s},
      {"a download held open a while", {}, {}, {busy, busy}, false, true, 1s, 2s},
      {"busy for ever", {}, {}, {}, true, false, 10s, 10001ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files.files[kTarget] = "old";
    files.files[kDownload] = "new";
    std::tie(files.stageErrors, files.placeErrors, files.deleteErrors, files.alwaysBusy) =
        std::tie(c.stageErrors, c.placeErrors, c.deleteErrors, c.alwaysBusy);
    const auto start = queue.now();
    EXPECT_EQ(Failure("my app.bin").has_value(), !c.installs);
    EXPECT_EQ(Content(kTarget), c.installs ? "new" : "old");
    EXPECT_EQ(Content(kDownload), c.installs ? "(none)" : "new");
    EXPECT_GE(queue.now() - start, c.atLeast);
    EXPECT_LT(queue.now() - start, c.below);
  }
}

// After Yes the screen would stay blank while Pelstow waits or copies: once that has lasted half a
// second, a notice says what for, and it goes when the work goes on.
TEST_F(Pelstow, AWaitOrACopyOfMoreThanHalfASecondIsSaid) {
  const platform::Error busy(26, "檔案忙碌中", true);
  const auto writing = [&] {
    for (int i = 1; i <= 4; ++i)
      queue.schedule(queue.now() + i * 300ms, [&] { files.files[kDownload] += "x"; });
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] {}, ""},
      {writing, "等候新版程式下載完成：_new_my app.bin"},
      {[&] {
         files.placeErrors = {busy, busy, busy, busy};
       },
       "等候舊版程式結束：my app.bin"},
      {[&] { files.copyTime = 2s; }, "正在複製新版程式：my app.bin"},
  };
  for (const auto& [prepare, said] : cases) {
    SCOPED_TRACE(said);
    toolkit.notices.clear();
    files.copyTime = {};
    files.files[kDownload] = "new";
    prepare();
    EXPECT_EQ(Run("my app.bin"), 0);
    using Shown = std::vector<std::tuple<std::string, std::string, bool>>;
    const Shown expected = said.empty() ? Shown{} : Shown{{"版本升級", said, true}};
    EXPECT_EQ(Shown(toolkit.notices.begin(), toolkit.notices.end()), expected)
        << "one notice, closed when the work goes on";
  }
}

// A staged copy's name fits a name's 255 bytes, its target's cut between two UTF-8 characters.
TEST(StagedCopyName, FitsANameAndCutsBetweenCharacters) {
  std::string target = "n";
  while (target.size() < 250) target += "時";
  const std::string copy = platform::StagedCopyName(target);
  EXPECT_EQ(copy.size(), 1 + 241 + 5 + 6u) << "80 characters whole, the 81st not at all";
  EXPECT_EQ(copy.substr(1, 241), target.substr(0, 241));
  EXPECT_TRUE(platform::IsStagedCopyOf(copy, target));
}

TEST(QueryOSInfo, TakesTheLastItemAndLeavesTheVersionAloneWhenThereIsNone) {
  std::vector<std::string> log;
  fake::FakeOsQuery os(log);
  std::string version = "before";
  for (const auto& [items, caption, versionAfter] :
       {std::tuple{std::vector<platform::OperatingSystemItem>{}, "", "before"},
        {{{"first", "1.0"}, {"second", "2.0"}}, "second", "2.0"}}) {
    os.items = items;
    EXPECT_EQ(pelstow::QueryOSInfo(os, version), caption);
    EXPECT_EQ(version, versionAfter);
  }
  os.items = {{std::nullopt, "3.0"}};
  try {
    pelstow::QueryOSInfo(os, version);
    ADD_FAILURE() << "a null caption is an error";
  } catch (const platform::Error& error) {
    EXPECT_EQ(error.number(), 94) << "Invalid use of Null";
  }
}

TEST(StandardErrorReport, GivesTheErrorsNumberAndDescription) {
  const auto reportOf = [](auto error) {
    try {
      throw error;
    } catch (...) {
      return platform::CurrentErrorReport();
    }
  };
  EXPECT_EQ(reportOf(platform::Error(28, "No space left on device")).text(),
            "執行階段錯誤 '28'：\n\nNo space left on device");
  EXPECT_TRUE(reportOf(platform::WindowDestroyed(1400, "gone")).windowLost);
  EXPECT_EQ(reportOf(std::runtime_error("bad")).description, "bad");
}

}  // namespace
