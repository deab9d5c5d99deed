// The exchange with the chosen server: reply handling, socket errors, the one-second wait and the
// two ways quiet mode ends.
#include "tests/unit/orvane_fixture.h"

namespace orvane_test {
namespace {

using fake::Data;
using fake::Failure;
using fake::PeerClose;
using platform::SystemTimeRecord;

class Exchange : public ClockSetterTest {
 protected:
  void Reset() override {
    ClockSetterTest::Reset();
    EchoTimes({10, 20, 30, 40, 50});
  }

  void ExpectUnchangedAfterSearch() {
    EXPECT_EQ(Caption("lbl校正前"), ".............");
    EXPECT_EQ(Caption("lbl狀態"), ".............");
    EXPECT_EQ(Caption("lbl校正後"), ".............");
    EXPECT_EQ(Caption("lbl錯誤訊息"), "");
    EXPECT_EQ(Caption("cmd確定"), "完成");
    EXPECT_FALSE(Control("cmd再執行").isEnabled());
  }
};

TEST_F(Exchange, ReplySetsTheClockAndShowsBeforeAndAfter) {
  Server({Data(40ms, kNewYear2024)});
  Run();

  ASSERT_EQ(socket().connects.size(), 1u);
  EXPECT_EQ(socket().connects[0].host, RowAddress(0));
  EXPECT_EQ(socket().connects[0].port, 37);
  ASSERT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(clock().setRequests[0].record, (SystemTimeRecord{2024, 1, 0, 1, 0, 0, 0, 0}));
  // The local time is read just before the clock changes: start 23:59:50 + 0.39 s of run.
  EXPECT_EQ(Caption("lbl校正前"), "2023-12-31 23:59:50");
  EXPECT_EQ(Caption("lbl狀態"), "系統時間校正成功。");
  EXPECT_EQ(Caption("lbl校正後"), "2024-01-01 08:00:00");
  EXPECT_EQ(Caption("lbl錯誤訊息"), "請按〔完成〕結束校時");
  EXPECT_EQ(Caption("cmd確定"), "完成");
  EXPECT_TRUE(Control("cmd確定").isEnabled());
  EXPECT_TRUE(Control("cmd再執行").isEnabled());
  EXPECT_TRUE(form().syncDone());
  EXPECT_EQ(form().syncing(), 0);
  EXPECT_FALSE(socket().isOpen());
  EXPECT_FALSE(window().isUnloaded()) << "without /Q the window waits for the user";
}

TEST_F(Exchange, RefusedClockIsReportedAndTheRunStillCountsAsDone) {
  clock().refuseSetting = true;
  Server({Data(40ms, {0xE9, 0x3D, 0x60, 0x3B})});
  Run();
  EXPECT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(Caption("lbl狀態"), "執行時有錯誤發生！");
  EXPECT_EQ(Caption("lbl校正後"), "2024-01-02 00:00:59");
  EXPECT_TRUE(Control("cmd再執行").isEnabled());
  EXPECT_TRUE(form().syncDone());
}

TEST_F(Exchange, ReplySplitOverArrivalsIsJoined) {
  Server({Data(100ms, {0xE9, 0x3C}), Data(300ms, {0x7F}), Data(500ms, {0x00})});
  Run();
  ASSERT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(clock().setRequests[0].record.year, 2024);
  EXPECT_EQ(clock().setRequests[0].when, ConnectTime() + 500ms);
  EXPECT_TRUE(form().syncDone());
}

TEST_F(Exchange, BytesAfterTheFourthAreDropped) {
  Server({Data(40ms, {0xE9, 0x3C, 0x7F, 0x00, 0x12, 0x34}), Data(60ms, {0x00, 0x00, 0x00, 0x00})});
  Run();
  ASSERT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(clock().setRequests[0].record.year, 2024);
}

TEST_F(Exchange, ShortReplyChangesNothingAndLeavesOnlyFinish) {
  for (const auto& script : {fake::ConnectionScript{Data(40ms, {0xE9, 0x3C})},
                             fake::ConnectionScript{Data(40ms, {0xE9, 0x3C}), PeerClose(50ms)}}) {
    SCOPED_TRACE(script.size());
    Reset();
    Server(script);
    Run();
    EXPECT_TRUE(clock().setRequests.empty());
    ExpectUnchangedAfterSearch();
    EXPECT_FALSE(form().syncDone());
    EXPECT_EQ(form().syncing(), script.size() == 2 ? 0 : 1)
        << "a closed short reply ends the exchange";
  }
}

TEST_F(Exchange, ReplyAfterTheWaitIsStillProcessedInFull) {
  Server({Data(1500ms, kNewYear2024)});
  Run();
  ASSERT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(clock().setRequests[0].when, ConnectTime() + 1500ms);
  EXPECT_EQ(Caption("lbl狀態"), "系統時間校正成功。");
  EXPECT_EQ(Caption("lbl校正後"), "2024-01-01 08:00:00");
  EXPECT_TRUE(Control("cmd再執行").isEnabled());
}

TEST_F(Exchange, SocketErrorIsShownAndOffersAnotherRun) {
  for (auto after : {100ms, 1500ms}) {  // inside the wait, and from the idle window
    SCOPED_TRACE(after.count());
    Reset();
    Server({Failure(after, "連線被拒絕")});
    Run();
    EXPECT_EQ(Caption("lbl狀態"), "有錯誤發生！");
    EXPECT_EQ(Caption("lbl錯誤訊息"), "連線被拒絕");
    EXPECT_EQ(Caption("cmd確定"), "取消校時");
    EXPECT_TRUE(Control("cmd確定").isEnabled());
    EXPECT_TRUE(Control("cmd再執行").isEnabled());
    EXPECT_EQ(Caption("lbl校正前"), ".............");
    EXPECT_EQ(Caption("lbl校正後"), ".............");
    EXPECT_FALSE(form().syncDone());
    EXPECT_EQ(form().syncing(), 0);
    EXPECT_FALSE(socket().isOpen());
  }
}

TEST_F(Exchange, ConnectsOnlyAfterClosingAndPausing) {
  Run();
  ASSERT_EQ(socket().connects.size(), 1u);
  ASSERT_FALSE(socket().closes.empty());
  ASSERT_EQ(clock().sleeps.size(), 1u);
  EXPECT_EQ(clock().sleeps[0].duration, 200ms);
  EXPECT_LE(socket().closes.front(), clock().sleeps[0].when);
  EXPECT_EQ(ConnectTime(), clock().sleeps[0].when + 200ms);
}

// --- Quiet mode -------------------------------------------------------------------------------

TEST_F(Exchange, QuietRunWithAReplyEndsByItselfWithoutAMessage) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused);
    Reset();
    toolkit().commandLineText = "/q";
    clock().refuseSetting = refused;
    Server({Data(40ms, kNewYear2024)});
    const int exitCode = Run();
    EXPECT_TRUE(toolkit().messageBoxes.empty());
    ASSERT_TRUE(window().unloadedAt);
    EXPECT_EQ(*window().unloadedAt, ConnectTime() + 40ms + 200ms);
    EXPECT_EQ(exitCode, 0);
  }
}

TEST_F(Exchange, QuietRunWithoutAReplyReportsAfterTheOneSecondWait) {
  const fake::ConnectionScript scripts[] = {
      {}, {Data(40ms, {0xE9})}, {Failure(100ms, "無法連線")}, {Data(1500ms, kNewYear2024)}};
  for (const auto& script : scripts) {
    SCOPED_TRACE(&script - scripts);
    Reset();
    toolkit().commandLineText = "-x /Quiet";
    toolkit().answerAfter = 2s;  // a late reply comes while the box is up
    Server(script);
    std::optional<bool> unloadedWhileShown;
    toolkit().onMessageBox = [&](const fake::MessageBoxShown&) {
      unloadedWhileShown = window().isUnloaded();
    };
    Run();
    ASSERT_EQ(toolkit().messageBoxes.size(), 1u);
    const auto& box = toolkit().messageBoxes[0];
    EXPECT_EQ(box.text, "網路有問題！校時未能完成。");
    EXPECT_EQ(box.title, "程式報告");
    EXPECT_EQ(box.buttons, platform::MessageButtons::Ok);
    EXPECT_EQ(box.when, ConnectTime() + 1s);
    EXPECT_EQ(unloadedWhileShown, false) << "the window closes only when the box is closed";
    EXPECT_TRUE(window().isUnloaded());
    EXPECT_TRUE(clock().setRequests.empty()) << "nothing contradicts the box behind it";
  }
}

TEST_F(Exchange, QuietRunShowsTheSocketErrorAtOnce) {
  toolkit().commandLineText = "/Q";
  Server({Failure(100ms, "無法連線")});
  Run();
  const auto& history = Control("lbl錯誤訊息").captionHistory();
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.back().text, "無法連線");
  EXPECT_EQ(history.back().when, ConnectTime() + 100ms);
}

TEST_F(Exchange, WithoutSlashQTheRunReturnsToTheWindowAfterOneSecond) {
  for (const char* line : {"", "-q", "Q", "/ q"}) {
    SCOPED_TRACE(line);
    Reset();
    toolkit().commandLineText = line;
    Run();
    EXPECT_TRUE(toolkit().messageBoxes.empty());
    EXPECT_FALSE(window().isUnloaded());
    ExpectUnchangedAfterSearch();
  }
}

TEST_F(Exchange, TheWaitEndsAtOneSecondAndSleepsInsteadOfSpinning) {
  toolkit().commandLineText = "/Q";  // the message box marks the end of the wait
  Run();
  ASSERT_EQ(toolkit().messageBoxes.size(), 1u);
  EXPECT_EQ(toolkit().messageBoxes[0].when - ConnectTime(), 1s);
  EXPECT_EQ(toolkit().waits, 1) << "a silent server costs one blocking wait";
}

// --- Runs started and ended by the user during a run ------------------------------------------

TEST_F(Exchange, AnotherRunStartedInsideTheWaitAfterASocketError) {
  Server({Failure(100ms, "連線被拒絕")});
  Server({Data(40ms, kNewYear2024)});
  queue().schedule(TimePoint{} + 700ms, [&] { Control("cmd再執行").click(); });
  Run();

  ASSERT_EQ(socket().connects.size(), 2u);
  EXPECT_EQ(icmp().echoes.size(), 10u) << "the second run searches anew";
  // The second run closes the first connection and pauses before it connects.
  EXPECT_EQ(clock().sleeps.back().when + 200ms, ConnectTime(1));
  const auto& closes = socket().closes;
  EXPECT_NE(std::find(closes.begin(), closes.end(), ConnectTime(1) - 200ms), closes.end());
  EXPECT_EQ(clock().setRequests.size(), 1u);
  EXPECT_EQ(Caption("lbl狀態"), "系統時間校正成功。");
  EXPECT_EQ(Caption("cmd確定"), "完成");
  EXPECT_EQ(Caption("lbl錯誤訊息"), "請按〔完成〕結束校時");
}

TEST_F(Exchange, FinishDuringTheWaitEndsTheRunAndIgnoresLateEvents) {
  Server({Data(600ms, kNewYear2024), Failure(700ms, "late")});
  queue().schedule(TimePoint{} + 500ms, [&] { Control("cmd確定").click(); });
  Run();
  ASSERT_TRUE(window().isUnloaded());
  EXPECT_EQ(*window().unloadedAt, TimePoint{} + 500ms);

  // Whatever the socket still delivers finds the window gone.
  queue().advanceTo(TimePoint{} + 2s);
  queue().runDue();
  EXPECT_TRUE(clock().setRequests.empty());
  EXPECT_EQ(Caption("lbl狀態"), ".............");
  EXPECT_EQ(Caption("lbl錯誤訊息"), "");
}

}  // namespace
}  // namespace orvane_test
