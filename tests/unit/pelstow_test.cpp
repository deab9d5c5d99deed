// The installer's run on the fake platform: its order, its end states, and its guards (plain
// names, a download still being written, a busy target, bounded waits).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fake/fake_files.h"
#include "tests/fake/fake_platform.h"
#include "updater/Boot.h"

namespace {

using namespace std::chrono_literals;
using fake::ProcessEnded;
using platform::MessageAnswer;

const std::string kFolder = "/opt/app/";
const std::string kTarget = kFolder + "app.bin";
const std::string kDownload = kFolder + "_new_app.bin";

class Pelstow : public ::testing::Test {
 protected:
  Pelstow() {
    toolkit.programFolderText = "/opt/app";
    toolkit.callLog = &log;
    files.files[kTarget] = {"old"};
  }

  // Runs Main to its end; the exit code it ended the process with.
  int Run(const std::string& commandLine, MessageAnswer answer = MessageAnswer::Yes) {
    toolkit.commandLineText = commandLine;
    toolkit.answers.push_back(answer);
    try {
      pelstow::Main(platform);
    } catch (const ProcessEnded& end) {
      return end.exitCode;
    }
  }
  int Count(const std::string& entry) { return int(std::count(log.begin(), log.end(), entry)); }
  bool Has(const std::string& path) { return files.files.count(path) != 0; }
  std::string Content(const std::string& path) { return files.files.at(path).content; }
  // The main program appends to its download every interval from now, this many times.
  void StillWriting(int chunks, fake::Duration interval) {
    for (int i = 1; i <= chunks; ++i)
      queue.schedule(queue.now() + i * interval,
                     [this, i] { files.files[kDownload].content += std::to_string(i % 10); });
  }

  std::vector<std::string> log;
  fake::EventQueue queue;
  fake::FakeToolkit toolkit{queue};
  fake::FakeClock clock{queue};
  fake::FakeIcmp icmp{queue};
  fake::FakeFiles files{queue, log};
  fake::FakeOsQuery osQuery{log};
  platform::Platform platform{toolkit, clock, icmp, files, osQuery};
};

TEST_F(Pelstow, AnswerYesInstallsDeletesTheDownloadAndStartsTheNewVersionInThisOrder) {
  files.files[kDownload] = {"new version"};
  EXPECT_EQ(Run("app.bin", MessageAnswer::Yes), 0);

  ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
  const auto& prompt = toolkit.messageBoxes[0];
  EXPECT_EQ(prompt.text, "已下載完成，要立即執行新版程式嗎？");
  EXPECT_EQ(prompt.title, "版本升級");
  EXPECT_EQ(prompt.buttons, platform::MessageButtons::YesNo);
  EXPECT_EQ(prompt.defaultButton, MessageAnswer::Yes);
  EXPECT_EQ(Content(kTarget), "new version");
  EXPECT_FALSE(Has(kDownload));
  const std::vector<std::string> expected = {
      "os-query",
      "find " + kDownload,
      "remove-stale " + kTarget,
      "length " + kDownload,
      "messagebox 版本升級",
      "length " + kDownload,  // unchanged since before the prompt
      "stage " + kDownload + " " + kTarget,
      "length " + kDownload,  // unchanged during the copy
      "put-in-place " + kTarget,
      "length " + kTarget,
      "delete " + kDownload,
      "start " + kTarget + " in " + kFolder,
      "terminate 0",
  };
  EXPECT_EQ(log, expected);
}

TEST_F(Pelstow, ANewVersionThatCannotBeStartedIsReported) {
  files.files[kDownload] = {"new version"};
  files.startErrors = {platform::Error(2, "The system cannot find the file specified")};
  EXPECT_THROW(Run("app.bin"), platform::Error);
  EXPECT_EQ(Content(kTarget), "new version");
  EXPECT_FALSE(Has(kDownload));
}

TEST_F(Pelstow, AnswerNoInstallsAllTheSameButKeepsTheDownloadAndStartsNothing) {
  files.files[kDownload] = {"new version"};
  EXPECT_EQ(Run("app.bin", MessageAnswer::No), 0);
  EXPECT_EQ(Content(kTarget), "new version");
  EXPECT_EQ(Content(kDownload), "new version");
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, WithoutAPlainNameAndItsDownloadOnlyTheCallMessageIsShown) {
  files.files["/opt/_new_x"] = {"evil"};
  for (const char* name :
       {"app.bin", "", "../x", "sub/x", "sub\\x", "C:x", ".", "..", "*.exe", "a?.exe", "a\nb"}) {
    SCOPED_TRACE(name);
    log.clear();
    toolkit.messageBoxes.clear();
    EXPECT_EQ(Run(name), 0);
    ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
    EXPECT_EQ(toolkit.messageBoxes[0].text, "必需由主程式呼叫始可執行！");
    EXPECT_EQ(toolkit.messageBoxes[0].title, "Tarrin（zevo）說：");
    EXPECT_EQ(toolkit.messageBoxes[0].buttons, platform::MessageButtons::Ok);
    EXPECT_EQ(log.back(), "terminate 0");
    EXPECT_EQ(Count("remove-stale " + kTarget), 0) << "nothing is touched";
  }
  EXPECT_EQ(files.files.size(), 2u);
  EXPECT_EQ(Content(kTarget), "old");
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, EmptyCommandLineUpdatesNewExe) {
  files.files[kFolder + "_new_NewEXE.exe"] = {"new"};
  EXPECT_EQ(Run(""), 0);
  EXPECT_EQ(Content(kFolder + "NewEXE.exe"), "new");
  ASSERT_EQ(files.started.size(), 1u);
  EXPECT_EQ(files.started[0].path, kFolder + "NewEXE.exe");
}

TEST_F(Pelstow, EmptyDownloadEndsTheWaitWithoutMeasuringTheTarget) {
  files.files[kDownload] = {""};
  EXPECT_EQ(Run("app.bin"), 0);
  EXPECT_EQ(Count("length " + kTarget), 0);
  EXPECT_EQ(files.started.size(), 1u);
}

TEST_F(Pelstow, TheOsQueryComesFirstAndItsFailureEndsTheRunBeforeAnyFile) {
  files.files[kDownload] = {"new"};
  osQuery.unreachable = true;
  EXPECT_THROW(Run("app.bin"), platform::Error);
  EXPECT_EQ(log, std::vector<std::string>{"os-query"});
}

// The main program still appends to its download when the user answers: what is installed is
// the whole download once it has stopped changing, and the target is not touched before.
TEST_F(Pelstow, ADownloadStillBeingWrittenIsInstalledOnlyWholeOrNotAtAll) {
  struct Row {
    const char* what;
    int chunks;
    fake::Duration interval, answerAfter, copyTime;
    bool installs;
  } rows[] = {
      {"10 chunks over 3 s, answer at 0.4 s", 10, 300ms, 400ms, 0ms, true},
      {"a change during the copy", 3, 700ms, 0ms, 800ms, true},
      {"written slowly for 13 s", 26, 500ms, 400ms, 0ms, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto start = queue.now();
    files.files[kDownload] = {"0"};
    toolkit.answerAfter = row.answerAfter;
    files.copyTime = row.copyTime;
    StillWriting(row.chunks, row.interval);
    const auto final = [&] {
      std::string text = "0";
      for (int i = 1; i <= row.chunks; ++i) text += std::to_string(i % 10);
      return text;
    }();
    if (row.installs) {
      EXPECT_EQ(Run("app.bin", MessageAnswer::No), 0);
      EXPECT_EQ(Content(kTarget), final);
      EXPECT_EQ(Count("put-in-place " + kTarget), 1);
    } else {
      try {
        Run("app.bin");
        ADD_FAILURE() << "a download that never settles must not be installed";
      } catch (const platform::Error& error) {
        EXPECT_EQ(error.number(), 1460);
      }
      EXPECT_EQ(Content(kTarget), "old");
      EXPECT_EQ(Count("put-in-place " + kTarget), 0);
      EXPECT_TRUE(Has(kDownload));
      EXPECT_GE(queue.now() - start, 10s);
      EXPECT_LT(Count("length " + kDownload), 40) << "no spinning";
    }
    EXPECT_TRUE(files.started.empty());
    files.files[kTarget] = {"old"};
    log.clear();
  }
}

TEST_F(Pelstow, ABusyTargetIsRetriedForTenSecondsAndOtherErrorsAreReportedAtOnce) {
  const platform::Error busy(26, "Text file busy", true), full(28, "No space left on device");
  struct Row {
    const char* what;
    std::deque<platform::Error> stageErrors, placeErrors;
    bool alwaysBusy, installs;
    fake::Duration before;
  } rows[] = {
      {"busy twice, then free", {busy}, {busy}, false, true, 2s},
      {"busy for ever", {}, {}, true, false, 11s},
      {"disk full", {full}, {}, false, false, 1s},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.what);
    files.started.clear();
    files.files[kTarget] = {"old"};
    files.files[kDownload] = {"new"};
    files.stageErrors = row.stageErrors;
    files.placeErrors = row.placeErrors;
    files.alwaysBusy = row.alwaysBusy;
    const auto start = queue.now();
    if (row.installs) {
      EXPECT_EQ(Run("app.bin"), 0);
      EXPECT_EQ(Content(kTarget), "new");
    } else {
      EXPECT_THROW(Run("app.bin"), platform::Error);
      EXPECT_EQ(Content(kTarget), "old");
      EXPECT_TRUE(Has(kDownload));
      EXPECT_TRUE(files.started.empty());
    }
    EXPECT_LT(queue.now() - start, row.before);
    if (row.alwaysBusy) {
      EXPECT_GE(queue.now() - start, 10s);
    }
  }
}

TEST_F(Pelstow, ACopyThatNeverMatchesEndsInAnErrorAfterTenSeconds) {
  files.files[kDownload] = {"new version"};
  files.reportedLength[kTarget] = 3;  // something else keeps changing the target
  try {
    Run("app.bin");
    FAIL() << "the wait should have failed";
  } catch (const platform::Error& error) {
    EXPECT_EQ(error.number(), 1460);
  }
  EXPECT_LT(Count("length " + kTarget), 250) << "the wait pauses between measurements";
  EXPECT_TRUE(Has(kDownload));
  EXPECT_TRUE(files.started.empty());
}

TEST(QueryOSInfo, TakesTheLastItemAndLeavesTheVersionAloneWhenThereIsNone) {
  std::vector<std::string> log;
  fake::FakeOsQuery os(log);
  std::string version = "before";

  os.items = {};
  EXPECT_EQ(pelstow::QueryOSInfo(os, version), "");
  EXPECT_EQ(version, "before");

  os.items = {{"first", "1.0"}, {"second", "2.0"}};
  EXPECT_EQ(pelstow::QueryOSInfo(os, version), "second");
  EXPECT_EQ(version, "2.0");

  os.items = {{std::nullopt, "3.0"}};
  EXPECT_THROW(pelstow::QueryOSInfo(os, version), platform::Error);
}

TEST(StandardErrorReport, GivesTheErrorsNumberAndDescription) {
  try {
    throw platform::Error(28, "No space left on device");
  } catch (...) {
    const auto report = platform::CurrentErrorReport();
    EXPECT_EQ(report.number, 28);
    EXPECT_EQ(report.text(), "執行階段錯誤 '28'：\n\nNo space left on device");
  }
  try {
    throw std::runtime_error("bad");
  } catch (...) {
    EXPECT_EQ(platform::CurrentErrorReport().description, "bad");
  }
}

}  // namespace
