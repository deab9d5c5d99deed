// The installer's run on the fake platform: its order, its end states, and its guards (plain
// names, a download still being written or no program at all, a busy target, bounded waits, a new
// version that cannot run). Each case, and each row of a table, runs on a fresh platform.
#include <gtest/gtest.h>

#include "tests/fake/fake_platform.h"
#include "updater/Boot.h"

namespace {

using namespace std::chrono_literals;
using platform::MessageAnswer;
using platform::ProgramState;

const std::string kFolder = "/opt/app/", kTarget = kFolder + "my app.bin",
                  kDownload = kFolder + "_new_my app.bin";
const std::string kStarted = "start " + kTarget + " in /opt/app";
const std::string kOldStanding = "舊版程式未變更：" + kTarget,
                  kNewStanding = "新版程式已放入定位：" + kTarget,
                  kTakenBack = "新版程式無法執行，舊版程式已放回定位並已啟動：" + kTarget;

// One run of the installer: the folder holds the old version of "my app.bin" and, where a case
// says so, its download.
struct Installer : fake::FakePlatform {
  explicit Installer(const std::string& download = "new version") {
    toolkit.log = &log;
    files.files[kTarget] = "old";
    files.files[kDownload] = download;
  }
  // Runs Main to its end; the exit code it ended the process with.
  int Run(const std::string& commandLine = "my app.bin",
          MessageAnswer answer = MessageAnswer::Yes) {
    toolkit.commandLineText = commandLine;
    toolkit.answers = {answer};
    try {
      pelstow::Main(platform);
    } catch (const fake::ProcessEnded& end) {
      return exitCode = end.exitCode;
    }
  }
  // The standard report the run ended with ("" where it ended without one).
  std::string Report(MessageAnswer answer = MessageAnswer::Yes) {
    try {
      Run("my app.bin", answer);
    } catch (const platform::Error&) {
      return platform::DescribeCurrentError().text();
    }
    return "";
  }
  int Count(const std::string& entry) { return int(std::count(log.begin(), log.end(), entry)); }
  std::string Content(const std::string& path) {
    return files.files.count(path) ? files.files.at(path) : "(none)";
  }
  int exitCode = -1;  // how the last run ended the process, where it did
  bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
};

TEST(Pelstow, AnswerYesInstallsDeletesTheDownloadAndStartsTheNewVersionInThisOrder) {
  Installer p;
  EXPECT_EQ(p.Run(), 0);
  ASSERT_EQ(p.toolkit.messageBoxes.size(), 1u);
  const auto& prompt = p.toolkit.messageBoxes[0];
  EXPECT_EQ(std::tie(prompt.text, prompt.title, prompt.buttons, prompt.defaultButton),
            std::make_tuple("已下載完成，要立即執行新版程式嗎？", "版本升級",
                            platform::MessageButtons::YesNo, MessageAnswer::Yes));
  EXPECT_EQ(p.Content(kTarget), "new version");
  EXPECT_EQ(p.files.files.size(), 1u) << "no download, old version or temporary file is left";
  EXPECT_EQ(p.log,
            (std::vector<std::string>{"os-query", "find " + kDownload, "remove-stale " + kTarget,
                                      "length " + kDownload, "messagebox 版本升級",
                                      "length " + kDownload,  // unchanged since before the prompt
                                      "stage " + kDownload + " " + kTarget,
                                      "length " + kDownload,  // unchanged during the copy
                                      "put-in-place-keeping " + kTarget, "length " + kTarget,
                                      "delete " + kDownload, kStarted, "end 0"}));
}

// A name that is not a plain file name of the folder is refused before any file is looked at,
// even where its download exists; a name without a download gets the same message.
TEST(Pelstow, WithoutAPlainNameAndItsDownloadOnlyTheCallMessageIsShown) {
  struct Row {
    std::string name;
    bool hasDownload;
  } rows[] = {{"../x", true}, {"sub/x", true},       {"sub\\x", true}, {"C:x", true},
              {".", true},    {"..", true},          {"*.exe", true},  {"a?.exe", true},
              {"a\nb", true}, {"my app.bin", false}, {"", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Installer p;
    p.files.files.erase(kDownload);
    if (row.hasDownload) p.files.files[kFolder + "_new_" + row.name] = "evil";
    EXPECT_EQ(p.Run(row.name), 0);
    ASSERT_EQ(p.toolkit.messageBoxes.size(), 1u);
    const auto& box = p.toolkit.messageBoxes[0];
    EXPECT_EQ(std::tie(box.text, box.title, box.buttons),
              std::make_tuple("必需由主程式呼叫始可執行！", "Tarrin（zevo）說：",
                              platform::MessageButtons::Ok));
    EXPECT_EQ(p.log.size(), row.hasDownload ? 3u : 4u) << "os-query, [find], messagebox, end";
    EXPECT_EQ(p.files.files.size(), row.hasDownload ? 2u : 1u) << "nothing changed";
    EXPECT_TRUE(p.files.started.empty());
  }
}

TEST(Pelstow, AnEmptyCommandLineUpdatesNewExe) {
  Installer p;
  p.files.files[kFolder + "_new_NewEXE.exe"] = "new NewEXE";
  EXPECT_EQ(p.Run(""), 0);
  EXPECT_EQ(p.Content(kFolder + "NewEXE.exe"), "new NewEXE");
  EXPECT_EQ(p.files.started, std::vector<std::string>{"new NewEXE"});
}

// Each failure ends the run when it happens, and its report says where the user's program
// stands: the old version unchanged, or the whole new one in place. A download that cannot be
// a program is refused whatever the answer, before anything changes. The copy wait gives up
// after exactly ten seconds, looking every 50 ms.
TEST(Pelstow, FailuresAreReportedWithNothingStartedAfterThem) {
  const platform::Error full(28, "無法寫入：裝置上已無空間");
  struct Row {
    const char* what;
    std::function<void(Installer&)> prepare;
    MessageAnswer answer;
    std::string lastStep;
    fake::Duration took;  // after the prompt, the download's length holds for half a second
    std::string standing;
  } rows[] = {
      {"no folder", [](auto& p) { p.files.noProgramFolder = true; }, {}, "(none)", 0s, ""},
      {"no OS query", [](auto& p) { p.osQuery.unreachable = true; }, {}, "os-query", 0s, ""},
      {"an empty download, Yes", [](auto& p) { p.files.files[kDownload] = ""; }, MessageAnswer::Yes,
       "length " + kDownload, 500ms, kOldStanding},
      {"a page, not a program, No", [](auto& p) { p.files.files[kDownload] = "<html>"; },
       MessageAnswer::No, "length " + kDownload, 500ms, kOldStanding},
      {"a full disk", [&](auto& p) { p.files.stageErrors = {full}; }, MessageAnswer::Yes,
       "stage " + kDownload + " " + kTarget, 500ms, kOldStanding},
      {"a copy changed behind us", [](auto& p) { p.files.reportedLength[kTarget] = 3; },
       MessageAnswer::Yes, "length " + kTarget, 10s + 500ms, kNewStanding},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Installer p;
    row.prepare(p);
    const std::string download = p.Content(kDownload);
    const std::string report = p.Report(row.answer);
    ASSERT_NE(report, "");
    EXPECT_TRUE(p.EndsWith(report, row.standing)) << report;
    EXPECT_EQ(p.queue.now() - fake::TimePoint{}, row.took);
    EXPECT_EQ(p.log.empty() ? "(none)" : p.log.back(), row.lastStep);
    EXPECT_TRUE(p.files.started.empty());
    EXPECT_LE(p.Count("length " + kTarget), 201) << "the copy wait looks every 50 ms";
    if (row.standing != kOldStanding) continue;
    EXPECT_EQ(p.Content(kTarget), "old");
    EXPECT_EQ(p.Content(kDownload), download);
  }
}

// On Yes the new version has five seconds to show that it starts. A crash in that time, a
// start that fails or a program the system cannot run puts the old version back (kept aside
// meanwhile, never copied) and starts it; anything else keeps the new one, and the old one goes.
// Where the old one cannot be put back, it is kept under a name the report gives.
TEST(Pelstow, ANewVersionThatCannotRunGivesWayToTheOldOne) {
  const ProgramState crash{ProgramState::Crashed, 11, "程式記憶體區段錯誤"},
      notRun{ProgramState::NotStarted, 127, "結束代碼 127"}, ownError{ProgramState::Ended, 3, ""},
      running{};
  const platform::Error denied(13, "無法啟動：拒絕不符權限的操作");
  const std::string keptOld = kFolder + "my app.old.bin";
  const std::string notPutBack = "新版程式已放入定位：" + kTarget + "\n舊版程式保留為：" + keptOld;
  enum Case { Usual, FirstInstall, OldStaysBusy };
  struct Row {
    const char* what;
    fake::ProgramRun run;
    std::deque<platform::Error> startErrors;
    Case setting;
    fake::Duration watched;
    std::string inPlace, standing;
    std::vector<std::string> started;
    int putBacks;
  } rows[] = {
      // clang-format off
      {"crashes at once",                {300ms, crash},    {},       Usual,        300ms,       "old",         kTakenBack,   {"new version", "old"}, 1},
      {"cannot start",                   {},                {denied}, Usual,        0s,          "old",         kTakenBack,   {"old"},                1},
      {"the system cannot run it",       {50ms, notRun},    {},       Usual,        100ms,       "old",         kTakenBack,   {"new version", "old"}, 1},
      {"crashes after its five seconds", {6s, crash},       {},       Usual,        5s,          "new version", "",           {"new version"},        0},
      {"ends with an error of its own",  {1s, ownError},    {},       Usual,        1s,          "new version", "",           {"new version"},        0},
      {"runs on",                        {24h, running},    {},       Usual,        5s,          "new version", "",           {"new version"},        0},
      {"crashes, the first install",     {0s, crash},       {},       FirstInstall, 0s,          "new version", kNewStanding, {"new version"},        0},
      {"crashes, the old one held",      {300ms, crash},    {},       OldStaysBusy, 300ms + 10s, "new version", notPutBack,   {"new version"},        41},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Installer p;
    if (row.setting == FirstInstall) p.files.files.erase(kTarget);
    p.files.putBackBusy = row.setting == OldStaysBusy;
    p.files.programRuns["new version"] = row.run;
    p.files.startErrors = row.startErrors;
    const std::string report = p.Report();
    EXPECT_EQ(report.empty(), row.standing.empty()) << report;
    EXPECT_TRUE(p.EndsWith(report, row.standing)) << report;
    EXPECT_EQ(p.Content(kTarget), row.inPlace);
    EXPECT_EQ(p.Content(keptOld), row.setting == OldStaysBusy ? "old" : "(none)");
    EXPECT_EQ(p.files.files.size(), row.setting == OldStaysBusy ? 2u : 1u)
        << "no download, staged copy or old version aside is left";
    EXPECT_EQ(p.files.started, row.started);
    EXPECT_EQ(p.queue.now() - fake::TimePoint{}, 500ms + row.watched);
    EXPECT_EQ(p.Count("put-back " + kTarget), row.putBacks);
  }
}

// The main program still appends to its download when the user answers: what is installed is
// the whole download once it has stopped changing, and the target is not touched before. "No"
// installs all the same, and keeps the download.
TEST(Pelstow, ADownloadStillBeingWrittenIsInstalledOnlyWholeOrNotAtAll) {
  struct Row {
    const char* what;
    int chunks;
    fake::Duration first, interval, answerAfter, copyTime;
    bool installs;
  } rows[] = {
      {"10 chunks over 3 s, the answer at 0.4 s", 10, 300ms, 300ms, 400ms, 0ms, true},
      {"a change during the copy", 3, 700ms, 700ms, 0ms, 800ms, true},
      {"written until the ten seconds are up", 21, 500ms, 500ms, 500ms, 0ms, false},
      // Settled for each copy, and changed during each, the last copy ending at the deadline.
      {"changed during every copy for ten seconds", 8, 875ms, 1250ms, 0ms, 750ms, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Installer p("0");
    std::string whole = "0";
    for (int i = 1; i <= row.chunks; ++i) {
      whole += char('0' + i % 10);
      p.queue.schedule(fake::TimePoint{} + row.first + (i - 1) * row.interval,
                       [&p, i] { p.files.files[kDownload] += char('0' + i % 10); });
    }
    p.toolkit.answerAfter = row.answerAfter;
    p.files.copyTime = row.copyTime;
    const std::string report = p.Report(MessageAnswer::No);
    EXPECT_EQ(p.Content(kTarget), row.installs ? whole : "old");
    EXPECT_EQ(report.find("執行階段錯誤 '1460'") == 0, !row.installs) << report;
    EXPECT_EQ(p.Count("put-in-place " + kTarget), row.installs ? 1 : 0);
    EXPECT_EQ(p.files.files.size(), 2u) << "the download stays, no temporary file is left";
    if (row.installs) {
      EXPECT_EQ(p.exitCode, 0);
      continue;
    }
    EXPECT_GE(p.queue.now() - fake::TimePoint{}, 10s);
    EXPECT_LT(p.Count("length " + kDownload), 40) << "no spinning";
  }
}

TEST(Pelstow, ABusyTargetIsRetriedForTenSecondsAndOtherErrorsAreReportedAtOnce) {
  const platform::Error busy(26, "檔案忙碌中", true);
  struct Row {
    const char* what;
    std::deque<platform::Error> stageErrors, placeErrors, deleteErrors;
    bool alwaysBusy, installs;
    fake::Duration atLeast, below;
  } rows[] = {
      {"busy twice, then free", {busy}, {busy}, {}, false, true, 1s, 2s},
      {"a download held open a while", {}, {}, {busy, busy}, false, true, 1s, 2s},
      {"busy for ever", {}, {}, {}, true, false, 10s, 10001ms},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Installer p("new");
    std::tie(p.files.stageErrors, p.files.placeErrors, p.files.deleteErrors, p.files.alwaysBusy) =
        std::tie(row.stageErrors, row.placeErrors, row.deleteErrors, row.alwaysBusy);
    EXPECT_EQ(p.Report().empty(), row.installs);
    EXPECT_EQ(p.Content(kTarget), row.installs ? "new" : "old");
    EXPECT_EQ(p.Content(kDownload), row.installs ? "(none)" : "new");
    EXPECT_GE(p.queue.now() - fake::TimePoint{}, row.atLeast);
    EXPECT_LT(p.queue.now() - fake::TimePoint{}, row.below);
  }
}

// After Yes the screen would stay blank while Pelstow waits or copies: once that has lasted half a
// second, a notice says what for, and it goes when the work goes on. Watching the new version
// start shows nothing.
TEST(Pelstow, AWaitOrACopyOfMoreThanHalfASecondIsSaid) {
  const platform::Error busy(26, "檔案忙碌中", true);
  const auto growing = [](Installer& p) {
    for (int i = 1; i <= 4; ++i)
      p.queue.schedule(fake::TimePoint{} + i * 300ms, [&p] { p.files.files[kDownload] += "x"; });
  };
  struct Row {
    std::string said;
    std::function<void(Installer&)> prepare;
  } rows[] = {
      // clang-format off
      {"",                                      [](auto& p) { p.files.programRuns["new"] = {24h, {}}; }},
      {"等候新版程式下載完成：_new_my app.bin", growing},
      {"等候舊版程式結束：my app.bin",           [&](auto& p) { p.files.placeErrors = {busy, busy, busy, busy}; }},
      {"正在複製新版程式：my app.bin",           [](auto& p) { p.files.copyTime = 2s; }},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.said);
    Installer p("new");
    row.prepare(p);
    EXPECT_EQ(p.Run(), 0);
    using Shown = std::vector<std::tuple<std::string, std::string, bool>>;
    const Shown expected = row.said.empty() ? Shown{} : Shown{{"版本升級", row.said, true}};
    EXPECT_EQ(Shown(p.toolkit.notices.begin(), p.toolkit.notices.end()), expected)
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
      return platform::DescribeCurrentError();
    }
  };
  EXPECT_EQ(reportOf(platform::Error(28, "No space left on device")).text(),
            "執行階段錯誤 '28'：\n\nNo space left on device");
  EXPECT_TRUE(reportOf(platform::WindowDestroyed(1400, "gone")).windowLost);
  EXPECT_EQ(reportOf(std::runtime_error("bad")).description, "bad");
}

}  // namespace
