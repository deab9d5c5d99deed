// The installer's run on the fake platform: its order, its four end states, and the guards it
// adds (plain names, a bounded wait, retries while the old version is still closing).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fake/fake_files.h"
#include "tests/fake/fake_platform.h"
#include "updater/Boot.h"

namespace {

using namespace std::chrono_literals;
using fake::ProcessEnded;
using platform::MessageAnswer;

constexpr const char* kFolder = "/opt/app";

class Pelstow : public ::testing::Test {
 protected:
  Pelstow() {
    toolkit.programFolderText = kFolder;
    toolkit.callLog = &log;
  }

  void Download(const std::string& name, const std::string& content) {
    files.files[std::string(kFolder) + "/_new_" + name] = {content};
  }
  void Installed(const std::string& name, const std::string& content) {
    files.files[std::string(kFolder) + "/" + name] = {content};
  }
  bool Has(const std::string& name) { return files.files.count(std::string(kFolder) + "/" + name); }
  std::string Content(const std::string& name) {
    return files.files.at(std::string(kFolder) + "/" + name).content;
  }
  bool Logged(const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
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

  void ExpectOnlyTheCallMessage() {
    ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
    EXPECT_EQ(toolkit.messageBoxes[0].text, "必需由主程式呼叫始可執行！");
    EXPECT_EQ(toolkit.messageBoxes[0].title, "Tarrin（zevo）說：");
    EXPECT_EQ(toolkit.messageBoxes[0].buttons, platform::MessageButtons::Ok);
    EXPECT_TRUE(files.started.empty());
  }

  std::vector<std::string> log;
  fake::EventQueue queue;
  fake::FakeToolkit toolkit{queue};
  fake::FakeClock clock{queue};
  fake::FakeIcmp icmp{queue};
  fake::FakeFiles files{log};
  fake::FakeOsQuery osQuery{log};
  platform::Platform platform{toolkit, clock, icmp, files, osQuery};
};

TEST_F(Pelstow, AnswerYesReplacesDeletesTheDownloadAndStartsTheNewVersion) {
  Installed("app.bin", "old");
  Download("app.bin", "new version");
  EXPECT_EQ(Run("app.bin", MessageAnswer::Yes), 0);

  ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
  const auto& prompt = toolkit.messageBoxes[0];
  EXPECT_EQ(prompt.text, "已下載完成，要立即執行新版程式嗎？");
  EXPECT_EQ(prompt.title, "版本升級");
  EXPECT_EQ(prompt.buttons, platform::MessageButtons::YesNo);
  EXPECT_EQ(prompt.defaultButton, MessageAnswer::Yes);
  EXPECT_EQ(Content("app.bin"), "new version");
  EXPECT_FALSE(Has("_new_app.bin"));
  const std::vector<std::string> expected = {
      "os-query",
      "find /opt/app/_new_app.bin",
      "length /opt/app/_new_app.bin",
      "messagebox 版本升級",
      "replace /opt/app/_new_app.bin /opt/app/app.bin",
      "length /opt/app/app.bin",
      "delete /opt/app/_new_app.bin",
      "start /opt/app/app.bin in /opt/app/",
      "terminate 0",
  };
  EXPECT_EQ(log, expected);
}

TEST_F(Pelstow, AnswerNoReplacesAllTheSameButKeepsTheDownloadAndStartsNothing) {
  Installed("app.bin", "old");
  Download("app.bin", "new version");
  EXPECT_EQ(Run("app.bin", MessageAnswer::No), 0);
  EXPECT_EQ(Content("app.bin"), "new version");
  EXPECT_EQ(Content("_new_app.bin"), "new version");
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, WithoutADownloadOnlyTheCallMessageIsShown) {
  Installed("app.bin", "old");
  for (const char* line : {"app.bin", ""}) {
    EXPECT_EQ(Run(line), 0);
    EXPECT_EQ(Content("app.bin"), "old");
    EXPECT_EQ(files.files.size(), 1u);
  }
  EXPECT_EQ(toolkit.messageBoxes.size(), 2u);
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, EmptyCommandLineUpdatesNewExe) {
  Download("NewEXE.exe", "new");
  EXPECT_EQ(Run(""), 0);
  EXPECT_EQ(Content("NewEXE.exe"), "new");
  ASSERT_EQ(files.started.size(), 1u);
  EXPECT_EQ(files.started[0].path, "/opt/app/NewEXE.exe");
}

TEST_F(Pelstow, NamesThatCouldLeaveTheFolderAreRefusedUntouched) {
  files.files["/opt/_new_x"] = {"evil"};
  for (const char* name :
       {"../x", "sub/x", "sub\\x", "C:x", ".", "..", "*.exe", "a?.exe", "a\nb"}) {
    SCOPED_TRACE(name);
    toolkit.messageBoxes.clear();
    log.clear();
    EXPECT_EQ(Run(name), 0);
    ExpectOnlyTheCallMessage();
    EXPECT_EQ(log, (std::vector<std::string>{"os-query", "messagebox Tarrin（zevo）說：",
                                             "terminate 0"}));
  }
}

TEST_F(Pelstow, EmptyDownloadEndsTheWaitWithoutMeasuringTheTarget) {
  Installed("app.bin", "old");
  Download("app.bin", "");
  EXPECT_EQ(Run("app.bin"), 0);
  EXPECT_FALSE(Logged("length /opt/app/app.bin"));
  EXPECT_EQ(files.started.size(), 1u);
}

TEST_F(Pelstow, TheOsQueryComesFirstAndItsFailureEndsTheRunBeforeAnyFile) {
  Download("app.bin", "new");
  EXPECT_EQ(Run("app.bin"), 0);
  EXPECT_EQ(log.front(), "os-query");

  log.clear();
  osQuery.unreachable = true;
  EXPECT_THROW(Run("app.bin"), platform::Error);
  EXPECT_EQ(log, std::vector<std::string>{"os-query"});
}

TEST_F(Pelstow, ACopyThatNeverMatchesEndsInAnErrorAfterTenSeconds) {
  Installed("app.bin", "old");
  Download("app.bin", "new version");
  files.reportedLength["/opt/app/app.bin"] = 3;  // the download changed size under us
  try {
    Run("app.bin");
    FAIL() << "the wait should have failed";
  } catch (const platform::Error& error) {
    EXPECT_EQ(error.number(), 1460);
  }
  EXPECT_GE(queue.elapsed(), 10s);
  EXPECT_LT(queue.elapsed(), 11s);
  EXPECT_LT(std::count(log.begin(), log.end(), "length /opt/app/app.bin"), 250)
      << "the wait pauses between measurements";
  EXPECT_TRUE(Has("_new_app.bin"));
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, ATargetInUseIsRetriedUntilItIsFree) {
  Installed("app.bin", "old");
  Download("app.bin", "new");
  files.replaceErrors = {platform::Error(26, "Text file busy", true),
                         platform::Error(13, "Permission denied", true)};
  EXPECT_EQ(Run("app.bin"), 0);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const auto& e) { return e.rfind("replace ", 0) == 0; }),
            3);
  EXPECT_EQ(Content("app.bin"), "new");
  EXPECT_LT(queue.elapsed(), 1s);
}

TEST_F(Pelstow, ATargetInUseForMoreThanTenSecondsIsAnError) {
  Installed("app.bin", "old");
  Download("app.bin", "new");
  files.alwaysInUse = true;
  EXPECT_THROW(Run("app.bin"), platform::Error);
  EXPECT_GE(queue.elapsed(), 10s);
  EXPECT_LT(queue.elapsed(), 11s);
  EXPECT_EQ(Content("app.bin"), "old");
  EXPECT_TRUE(Has("_new_app.bin"));
  EXPECT_TRUE(files.started.empty());
}

TEST_F(Pelstow, OtherCopyErrorsAreNotRetried) {
  Installed("app.bin", "old");
  Download("app.bin", "new");
  files.replaceErrors = {platform::Error(28, "No space left on device")};
  EXPECT_THROW(Run("app.bin"), platform::Error);
  EXPECT_EQ(queue.elapsed(), 0s);
  EXPECT_EQ(Content("app.bin"), "old");
}

TEST(QueryOSInfo, TakesTheLastItemAndLeavesTheVersionAloneWhenThereIsNone) {
  std::vector<std::string> log;
  fake::FakeOsQuery os(log);
  std::string version = "before";

  os.items = {};
  EXPECT_EQ(pelstow::QueryOSInfo(os, version), "");
  EXPECT_EQ(version, "before");

  os.items = {{"Debian GNU/Linux 12 (bookworm)", "12"}};
  EXPECT_EQ(pelstow::QueryOSInfo(os, version), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(version, "12");

  os.items = {{"first", "1.0"}, {"second", "2.0"}};
  EXPECT_EQ(pelstow::QueryOSInfo(os, version), "second");
  EXPECT_EQ(version, "2.0");

  os.items = {{std::nullopt, "3.0"}};
  EXPECT_THROW(pelstow::QueryOSInfo(os, version), platform::Error);
}

}  // namespace

namespace {

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
