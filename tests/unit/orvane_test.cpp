// The clock setter's window on the fake platform: its design, the search, the exchange, quiet
// mode, and what the user does in the middle of a run.
#include <gtest/gtest.h>

#include "clocksetter/frm時間校正.h"
#include "clocksetter/server_table.h"
#include "tests/fake/fake_platform.h"

namespace {

using namespace std::chrono_literals;
using fake::Data;
using fake::Failure;
using fake::PeerClose;
using fake::TimePoint;
using platform::rgb;
using Strings = std::vector<std::string>;

const std::string kDots = ".............";
const fake::Bytes kNewYear2024 = {0xE9, 0x3C, 0x7F, 0x00};  // 2024-01-01 00:00:00 UTC
const fake::Bytes kHalf = {0xE9, 0x3C};
constexpr platform::Colour kBlack = 0, kRed = 255;

std::string Row(std::size_t i) { return orvane::AddressOf(orvane::TimeServers()[i]); }

// The fake platform with a clock setter on it, rebuilt whole for each case.
struct World : fake::FakePlatform {
  orvane::frm時間校正 form{toolkit, clock, icmp, network};
};

class Orvane : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void Reset(std::array<std::uint32_t, 5> echoMs = {10, 20, 30, 40, 50}) {
    world = std::make_unique<World>();
    for (std::size_t i = 0; i < 5; ++i)
      world->icmp.answers[Row(i)] = {fake::EchoAnswer::Reply, echoMs[i]};
  }
  void Server(fake::ConnectionScript script) { Socket().scripts.push_back(std::move(script)); }
  // A fresh run against a server, with a clock that may refuse to be set; quiet mode answers its
  // message after two seconds.
  void RunExchange(const fake::ConnectionScript& script, bool clockRefuses,
                   const std::string& commandLine = "") {
    Reset();
    world->clock.refuseSetting = clockRefuses;
    world->toolkit.commandLineText = commandLine;
    world->toolkit.answerAfter = 2s;
    Server(script);
    EXPECT_EQ(Run(), 0);
  }
  void At(fake::Duration when, std::function<void()> action) {
    world->queue.schedule(TimePoint{} + when, std::move(action));
  }
  int Run() { return world->toolkit.run(world->form.window()); }

  fake::FakeWindow& Window() { return world->toolkit.window(); }
  fake::FakeControl& Control(const std::string& name) { return Window().control(name); }
  fake::FakeSocket& Socket() { return Window().socket; }
  TimePoint Connected(std::size_t i = 0) { return Socket().connects.at(i).when; }
  // The result part of the window, and which buttons may be pressed.
  Strings Outcome() {
    Strings shown;
    for (const char* name : {"lbl校正前", "lbl狀態", "lbl校正後", "lbl錯誤訊息", "cmd確定"})
      shown.push_back(Control(name).caption());
    shown.back() += Control("cmd確定").isEnabled() ? "+" : "-";
    shown.push_back(Control("cmd再執行").isEnabled() ? "retry" : "no retry");
    return shown;
  }

  std::unique_ptr<World> world;
};

const Strings kAfterSearch = {kDots, kDots, kDots, "", "完成+", "no retry"};

// The colours and flags of the design (where each control lies is for the eye to judge).
TEST_F(Orvane, TheWindowHasItsDesign) {
  const auto& window = Window().design;
  EXPECT_EQ(window.caption, "網路校時 (By zevo)");
  EXPECT_EQ(std::tie(window.clientWidthTwips, window.clientHeightTwips, window.backColour),
            std::make_tuple(4680, 2985, rgb(255, 255, 192)));
  const platform::Colour blue = rgb(0, 0, 255), yellow = rgb(255, 255, 0);
  const std::vector<platform::ControlDesign> design = {
      {"Label6", {}, "", kBlack, rgb(255, 128, 0), true},
      {"Label1", {}, "尋找時間伺服器："},
      {"Label2", {}, "目標時間伺服器："},
      {"lbl目標", {}, "..........", blue, 0, false, "目標時間伺服器"},
      {"Label3", {}, "　　　　校正前："},
      {"lbl校正前", {}, "..........", blue, 0, false, "校正前"},
      {"Label4", {}, "　　　　校正後："},
      {"lbl校正後", {}, "..........", blue, 0, false, "校正後"},
      {"Image1", {}, "", kBlack, 0, false, "時鐘"},
      {"Label5", {}, "　時間校正結果："},
      {"lbl狀態", {}, "..........", kRed, 0, false, "時間校正結果"},
      {"lbl錯誤訊息", {}, "..........", blue},
      {"cmd再執行", {}, "再執行一次", kBlack, yellow, true},
      {"cmd確定", {}, "完成", kBlack, yellow, true},
  };
  ASSERT_EQ(Window().controls.size(), design.size());
  for (std::size_t i = 0; i < design.size(); ++i) {
    const auto& [shown, want] = std::tie(Window().controls[i].design, design[i]);
    EXPECT_EQ(std::tie(shown.name, shown.caption, shown.foreColour, shown.hasBackColour,
                       shown.accessibleName),
              std::tie(want.name, want.caption, want.foreColour, want.hasBackColour,
                       want.accessibleName));
    if (want.hasBackColour) {
      EXPECT_EQ(shown.backColour, want.backColour) << want.name;
    }
  }
  EXPECT_EQ(Window().barDesign.accessibleName, "尋找時間伺服器");
}

TEST_F(Orvane, ActivationColoursTheBarAndOnlyTheCloseBoxIsRefused) {
  using Mode = platform::UnloadMode;
  for (auto mode : {Mode::ControlMenu, Mode::FormCode, Mode::AppWindows, Mode::TaskManager}) {
    Reset();
    Run();
    EXPECT_EQ(std::tie(Window().bar.bar, Window().bar.background, Window().bar.max),
              std::make_tuple(rgb(0, 0, 255), rgb(255, 0, 0), 100.0f));
    Window().requestClose(mode);
    EXPECT_EQ(Window().isUnloaded(), mode != Mode::ControlMenu) << int(mode);
  }
}

// The fastest server wins, ties go to the lower row, a failed probe counts as 9999 ms; each
// probed server is shown in turn in black, then the choice in red.
TEST_F(Orvane, TheSearchChoosesTheFastestServer) {
  const auto bad = fake::EchoAnswer{fake::EchoAnswer::ErrorStatus, 5, 11003};
  const auto none = fake::EchoAnswer{fake::EchoAnswer::NoReplyStored};
  struct Case {
    std::array<std::uint32_t, 5> ms;
    std::map<std::size_t, fake::EchoAnswer> failures;
    std::size_t chosen;
    std::string shown;
  } cases[] = {
      {{30, 12, 40, 12, 50}, {}, 1, Row(1) + "  (12ms)"},
      {{10, 900, 40, 45, 50}, {{0, bad}}, 2, Row(2) + "  (40ms)"},
      {{47, 0, 60, 70, 80}, {{2, none}}, 1, Row(1) + "  (0ms)"},
      {{}, {{0, bad}, {1, bad}, {2, none}, {3, bad}, {4, bad}}, 0, "無法連接到時間伺服器。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    Reset(c.ms);
    for (const auto& [row, answer] : c.failures) world->icmp.answers[Row(row)] = answer;
    Run();
    EXPECT_EQ(Socket().connects.at(0).host, Row(c.chosen));
    EXPECT_EQ(Socket().connects.at(0).port, 37);
    const auto& history = Control("lbl目標").history;
    ASSERT_EQ(history.size(), 7u);
    EXPECT_EQ(history.front().text, kDots);
    for (std::size_t i = 0; i < 5; ++i) {
      const bool failed = c.failures.count(i) != 0;
      EXPECT_EQ(history[i + 1].text,
                Row(i) + (failed ? "(bad)" : "(" + std::to_string(c.ms[i]) + "ms)"));
      EXPECT_EQ(history[i + 1].colour, kBlack);
    }
    EXPECT_EQ(history.back().text, c.shown);
    EXPECT_EQ(history.back().colour, kRed);
  }
}

// Each probe costs at most its time-out; then the socket is closed, and the connect comes after a
// pause of 200 ms.
TEST_F(Orvane, EachProbeCostsAtMostItsTimeOutAndTheBarCountsInQuarters) {
  world->icmp.answers.clear();  // nobody answers
  Run();
  ASSERT_EQ(world->icmp.echoes.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_EQ(std::tie(world->icmp.echoes[i].destination, world->icmp.echoes[i].timeoutMs),
              std::make_tuple(Row(i), 1000u));
  EXPECT_EQ(Window().bar.values, (std::vector<float>{0, 25, 50, 75, 100, 100}));
  ASSERT_EQ(world->clock.sleeps.size(), 1u);
  const auto [pause, at] = world->clock.sleeps[0];
  EXPECT_EQ(std::make_pair(pause, at - TimePoint{}), std::make_pair(200ms, fake::Duration(5s)));
  EXPECT_LE(Socket().closes.at(0), at);
  ASSERT_EQ(Socket().connects.size(), 1u);
  EXPECT_EQ(Connected(), at + 200ms);
}

// What each kind of reply or failure leaves in the window, and what it asks of the clock: the
// whole second received, as UTC.
TEST_F(Orvane, TheExchangeShowsItsOutcomeAndAsksTheClockForTheTimeReceived) {
  const Strings set = {"2023-12-31 23:59:50",
                       "系統時間校正成功。",
                       "2024-01-01 08:00:00",
                       "請按〔完成〕結束校時",
                       "完成+",
                       "retry"};
  const Strings late = {"2023-12-31 23:59:51", set[1], set[2], set[3], set[4], set[5]};
  const Strings refused = {set[0], "執行時有錯誤發生！", "2024-01-02 00:00:59", set[3], set[4],
                           set[5]};
  const Strings failed = {kDots, "有錯誤發生！", kDots, "連線被拒絕", "取消校時+", "retry"};
  const fake::Bytes six = {0xE9, 0x3C, 0x7F, 0, 1, 2};
  using Request = std::vector<platform::SystemTimeRecord>;
  const Request newYear = {{2024, 1, 0, 1, 0, 0, 0, 0}},
                afternoon = {{2024, 1, 0, 1, 16, 0, 59, 0}};
  struct Row {
    const char* what;
    fake::ConnectionScript script;
    bool clockRefuses;
    Strings outcome;
    Request asked;
    bool leftOpen = false;  // the program closes a connection once its exchange has ended
  } rows[] = {
      {"a reply", {Data(40ms, kNewYear2024)}, false, set, newYear},
      {"in two parts", {Data(100ms, {0xE9, 0x3C, 0x7F}), Data(300ms, {0})}, false, set, newYear},
      {"six bytes", {Data(40ms, six), Data(60ms, {0, 0})}, false, set, newYear},
      {"after the wait", {Data(1500ms, kNewYear2024)}, false, late, newYear},
      {"a refused clock", {Data(40ms, {0xE9, 0x3D, 0x60, 0x3B})}, true, refused, afternoon},
      {"two bytes", {Data(40ms, kHalf)}, false, kAfterSearch, {}, true},
      {"two bytes, closed", {Data(40ms, kHalf), PeerClose(50ms)}, false, kAfterSearch, {}},
      {"nothing", {}, false, kAfterSearch, {}, true},
      {"refused in the wait", {Failure(100ms, "連線被拒絕")}, false, failed, {}},
      {"refused after it", {Failure(1500ms, "連線被拒絕")}, false, failed, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RunExchange(row.script, row.clockRefuses);
    EXPECT_EQ(Outcome(), row.outcome);
    EXPECT_EQ(world->clock.setRequests, row.asked);
    EXPECT_EQ(Socket().closes.back() > Connected(), !row.leftOpen);
    EXPECT_FALSE(Window().isUnloaded()) << "without /Q the window waits for the user";
  }
}

// Run with "/Q", the program ends by itself: 200 ms after a processed reply (the clock set or
// not), or after the failure message where no reply was processed in the wait. The exchange is
// given up before that message is shown, so nothing contradicts it. The wait handles what comes
// at once, and sleeps when nothing does.
TEST_F(Orvane, QuietModeEndsByItselfAndSaysSoOnlyWhenNoReplyWasProcessed) {
  struct Row {
    const char* what;
    fake::ConnectionScript script;
    bool clockRefuses, box;
    std::optional<fake::Duration> errorShown;  // after the connection
  } rows[] = {
      {"a reply", {Data(40ms, kNewYear2024)}, false, false, {}},
      {"a refused clock", {Data(40ms, kNewYear2024)}, true, false, {}},
      {"after the wait", {Data(1500ms, kNewYear2024)}, false, true, {}},
      {"two bytes", {Data(40ms, kHalf)}, false, true, {}},
      {"nothing", {}, false, true, {}},
      {"refused in the wait", {Failure(100ms, "連線被拒絕")}, false, true, 100ms},
      {"refused after it", {Failure(1500ms, "連線被拒絕")}, false, true, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RunExchange(row.script, row.clockRefuses, "-x /q");
    ASSERT_TRUE(Window().unloadedAt);
    const auto& status = Control("lbl狀態").history.back();
    EXPECT_EQ(status.text == "有錯誤發生！", row.errorShown.has_value());
    if (row.errorShown) {
      EXPECT_EQ(status.when, Connected() + *row.errorShown);
    }
    if (row.script.empty()) {
      EXPECT_EQ(world->toolkit.waits, 1) << "one blocking wait";
    }
    const auto& boxes = world->toolkit.messageBoxes;
    ASSERT_EQ(boxes.size(), row.box ? 1u : 0u);
    if (!row.box) {
      EXPECT_EQ(*Window().unloadedAt, status.when + 200ms);
      continue;
    }
    EXPECT_EQ(
        std::tie(boxes[0].text, boxes[0].title, boxes[0].buttons),
        std::make_tuple("網路有問題！校時未能完成。", "程式報告", platform::MessageButtons::Ok));
    EXPECT_EQ(boxes[0].when, Connected() + 1s);
    EXPECT_EQ(*Window().unloadedAt, boxes[0].when + 2s) << "the window closes with the box";
    EXPECT_TRUE(world->clock.setRequests.empty()) << "nothing contradicts the box behind it";
  }
}

TEST_F(Orvane, RetryIsDisabledDuringARunAndAnotherRunStartsAfresh) {
  Server({Failure(100ms, "連線被拒絕")});
  Server({Data(40ms, kNewYear2024)});
  At(100ms, [&] { Control("cmd再執行").click(); });  // ignored: disabled in the search
  At(700ms, [&] { Control("cmd再執行").click(); });  // in the wait, after the error
  Run();
  ASSERT_EQ(Socket().connects.size(), 2u);
  EXPECT_EQ(world->icmp.echoes.size(), 10u);
  EXPECT_EQ(world->clock.sleeps.back().second + 200ms, Connected(1));
  EXPECT_EQ(Outcome(), (Strings{"2023-12-31 23:59:51", "系統時間校正成功。", "2024-01-01 08:00:00",
                                "請按〔完成〕結束校時", "完成+", "retry"}));
  for (const char* name : {"lbl目標", "lbl狀態", "lbl校正前", "lbl校正後"}) {
    EXPECT_EQ(std::ranges::count(Control(name).history, kDots, &fake::FakeControl::Shown::text), 2)
        << name << " is cleared by each run";
  }
}

// "再執行一次" clicked in the wait after an error starts the next run at once, from where the first
// began: two hundred of them nest no deeper than one, and "完成" still ends the program.
TEST_F(Orvane, RunsStartedInsideAWaitDoNotNest) {
  for (int i = 0; i < 201; ++i) Server({Failure(100ms, "連線被拒絕")});
  std::function<void()> user = [&] {
    if (Socket().connects.size() < 201) {
      Control("cmd再執行").click();  // does nothing until the error has enabled it
      world->queue.schedule(world->queue.now() + 50ms, user);
    } else {
      Control("cmd確定").click();
    }
  };
  At(0ms, user);
  Run();
  EXPECT_EQ(Socket().connects.size(), 201u);
  EXPECT_TRUE(Window().isUnloaded());
  EXPECT_LE(world->queue.deepest, 2) << "the activation, and one event inside its wait";
  EXPECT_LT(Connected(200) - Connected(199), 1s) << "each run starts within its predecessor's wait";
}

// A run after an error starts from "完成", and the bytes of a short reply do not join the
// next connection's.
TEST_F(Orvane, ANewRunLeavesNothingOfTheLastOne) {
  Server({Data(40ms, {0xE9, 0x3C}), Failure(300ms, "連線被重設")});
  Server({Data(40ms, {0x7F, 0x00})});
  At(5s + 700ms, [&] { Control("cmd再執行").click(); });
  Run();
  EXPECT_TRUE(world->clock.setRequests.empty());
  EXPECT_EQ(Outcome(), kAfterSearch);
}

TEST_F(Orvane, FinishEndsARunAtOnce) {
  // In the search (the click is handled after the second probe) and in the wait, also quietly.
  for (auto [when, handled, line] :
       {std::tuple{150ms, 200ms, ""}, {1000ms, 1000ms, ""}, {1000ms, 1000ms, "/Q"}}) {
    Reset({100, 100, 100, 100, 100});
    world->toolkit.commandLineText = line;
    Server({Data(600ms, kNewYear2024), Failure(700ms, "late")});
    At(when, [&] { Control("cmd確定").click(); });
    Run();
    EXPECT_EQ(*Window().unloadedAt, TimePoint{} + handled);
    world->queue.runUntil(TimePoint{} + 10s);  // whatever the socket still delivers
    EXPECT_TRUE(world->clock.setRequests.empty());
    EXPECT_TRUE(world->toolkit.messageBoxes.empty());
    EXPECT_EQ(Outcome(), kAfterSearch);
    EXPECT_EQ(world->icmp.echoes.size(), when < 1s ? 2u : 5u);
  }
}

// At sign-in ("/LOGIN") a run begins as soon as the system has a route to a server (said by the
// layer, or seen at the next look each second), or after 30 s all the same; and it never
// overlaps another Orvane's run: a quiet run that had to wait for one ends without its own.
TEST_F(Orvane, ASignInRunWaitsForTheNetworkAndNoRunOverlapsAnother) {
  const std::string turn = "tw.zevo.orvane.run", waitNet = "等候網路連線…",
                    waitTurn = "等候另一個網路校時結束…";
  const fake::ConnectionScript reply = {Data(40ms, kNewYear2024)},
                               noRoute = {Failure(10ms, "網路無法連線")};
  const auto never = std::optional<fake::Duration>();
  struct Case {
    const char* what;
    std::string commandLine;
    std::optional<fake::Duration> routeFrom, otherRunUntil;
    bool silent;
    fake::ConnectionScript script;
    std::optional<fake::Duration> began;  // the run's search; none: no run of its own
    std::string waitedWith;
    bool box;
  } cases[] = {
      // clang-format off
      {"the network up",             "/Q /login", 0s,    never, false, reply,   0s,    "",       false},
      {"a route after 2.5 s, told",  "/Q /LOGIN", 2500ms, never, false, reply,  2500ms, waitNet, false},
      {"after 3.5 s, told nothing",  "/Q /LOGIN", 3500ms, never, true, reply,   4s,    waitNet,  false},
      {"no route in 30 s",           "/Q /LOGIN", never, never, false, noRoute, 30s,   waitNet,  true},
      {"not at sign-in",             "/Q",        never, never, false, reply,   0s,    "",       false},
      {"another run, quietly",       "/Q",        0s,    2s,    false, reply,   never, waitTurn, false},
      {"another run, in the window", "",          0s,    2s,    false, reply,   2s,    waitTurn, false},
      {"a name held for ever",       "/Q",        0s,    24h,   false, reply,   60s,   waitTurn, false},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    Reset();
    world->toolkit.commandLineText = row.commandLine;
    for (std::size_t i = 0; row.routeFrom && i < 5; ++i)
      world->network.routes[Row(i)] = TimePoint{} + *row.routeFrom;
    world->network.silent = row.silent;
    if (row.otherRunUntil) world->toolkit.heldElsewhere[turn] = TimePoint{} + *row.otherRunUntil;
    Server(row.script);
    Run();
    const auto& search = Control("lbl目標").history;
    const auto began = std::find_if(search.begin(), search.end(),
                                    [&](const auto& shown) { return shown.text == kDots; });
    EXPECT_EQ(began == search.end() ? never : std::optional(began->when - TimePoint{}), row.began);
    const auto& said = Control("lbl錯誤訊息").history;
    EXPECT_EQ(said.empty() ? "" : said.front().text, row.waitedWith);
    EXPECT_EQ(world->toolkit.messageBoxes.size(), row.box ? 1u : 0u);
    EXPECT_EQ(world->toolkit.holds[turn], 0) << "let go once the run is over";
    EXPECT_LE(world->network.looks, 5 * 31) << "a look a second at most, at each server";
    EXPECT_LE(world->toolkit.waits, 300) << "no spinning";
  }
}

}  // namespace
