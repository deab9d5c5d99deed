// The search: five probes in row order, what the window shows meanwhile, and the choice.
#include "tests/unit/orvane_fixture.h"

namespace orvane_test {
namespace {

constexpr platform::Colour kBlack = 0, kRed = 255;

class Search : public ClockSetterTest {
 protected:
  std::string Chosen() { return socket().connects.at(0).host; }
  std::vector<std::string> TargetCaptions() {
    std::vector<std::string> texts;
    for (const auto& change : Control("lbl目標").captionHistory()) texts.push_back(change.text);
    return texts;
  }
};

TEST_F(Search, FastestServerWinsAndTiesGoToTheLowerRow) {
  EchoTimes({30, 12, 40, 12, 50});
  Run();
  EXPECT_EQ(Chosen(), RowAddress(1));
  EXPECT_EQ(form().serverHost(), RowAddress(1));
  EXPECT_EQ(Caption("lbl目標"), RowAddress(1) + "  (12ms)");
  EXPECT_EQ(Control("lbl目標").foreColour(), kRed);
}

TEST_F(Search, FailedRowZeroLosesToAnyAnswer) {
  EchoTimes({10, 900, 40, 45, 50});
  icmp().answers[RowAddress(0)] = fake::ErrorStatus(11003);  // destination host unreachable
  Run();
  EXPECT_EQ(Chosen(), RowAddress(2));
}

TEST_F(Search, ShowsEachProbedServerInTurnInBlackThenTheChoiceInRed) {
  EchoTimes({47, 0, 60, 70, 80});
  icmp().answers[RowAddress(2)] = fake::NoReplyStored();
  icmp().answers.erase(RowAddress(3));  // times out
  Run();
  const std::vector<std::string> expected = {
      ".............",           RowAddress(0) + "(47ms)", RowAddress(1) + "(0ms)",
      RowAddress(2) + "(bad)",   RowAddress(3) + "(bad)",  RowAddress(4) + "(80ms)",
      RowAddress(1) + "  (0ms)",
  };
  EXPECT_EQ(TargetCaptions(), expected);
  const auto& history = Control("lbl目標").captionHistory();
  for (std::size_t i = 1; i + 1 < history.size(); ++i) EXPECT_EQ(history[i].colour, kBlack) << i;
  EXPECT_EQ(history.back().colour, kRed);
}

TEST_F(Search, EveryRowFailedStillTriesRowZero) {
  icmp().refuseHandle = true;
  Run();
  EXPECT_EQ(Caption("lbl目標"), "無法連接到時間伺服器。");
  EXPECT_EQ(Control("lbl目標").foreColour(), kRed);
  EXPECT_EQ(Chosen(), RowAddress(0));
}

TEST_F(Search, EachProbeCostsAtMostItsOneSecondTimeOut) {
  Run();  // no server answers
  ASSERT_EQ(icmp().echoes.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(icmp().echoes[i].destination, RowAddress(i));
    EXPECT_EQ(icmp().echoes[i].timeoutMs, 1000u);
  }
  EXPECT_EQ(ConnectTime() - TimePoint{}, 5s + 200ms);
}

TEST_F(Search, ProgressCountsToAHundredInQuarters) {
  EchoTimes({1, 2, 3, 4, 5});
  Run();
  EXPECT_EQ(window().progressBar().values(), (std::vector<float>{0, 25, 50, 75, 100, 100}));
  EXPECT_EQ(window().progressBar().max(), 100);
}

TEST_F(Search, AnotherRunClearsTheDisplayAndProbesAnew) {
  EchoTimes({1, 2, 3, 4, 5});
  Server({fake::Data(10ms, kNewYear2024)});
  queue().schedule(TimePoint{} + 5s, [&] {
    ASSERT_TRUE(Control("cmd再執行").isEnabled());
    EXPECT_EQ(Caption("lbl狀態"), "系統時間校正成功。");
    Control("cmd再執行").click();
  });
  icmp().answers[RowAddress(0)] = fake::Reply(1);
  Run();
  EXPECT_EQ(icmp().echoes.size(), 10u);
  for (const char* name : {"lbl目標", "lbl狀態", "lbl校正前", "lbl校正後"}) {
    const auto& history = Control(name).captionHistory();
    EXPECT_TRUE(std::any_of(history.begin() + 1, history.end(), [](const auto& c) {
      return c.text == ".............";
    })) << name;
  }
  // The second run found a silent server: its window shows the cleared state.
  EXPECT_EQ(Caption("lbl狀態"), ".............");
  EXPECT_EQ(Caption("lbl錯誤訊息"), "");
  EXPECT_FALSE(Control("cmd再執行").isEnabled());
  EXPECT_FALSE(form().syncDone());
}

TEST_F(Search, FinishDuringTheSearchStopsIt) {
  EchoTimes({100, 100, 100, 100, 100});
  queue().schedule(TimePoint{} + 150ms, [&] { Control("cmd確定").click(); });
  Run();
  EXPECT_TRUE(window().isUnloaded());
  EXPECT_EQ(icmp().echoes.size(), 2u) << "the click is handled after the second probe";
  EXPECT_TRUE(socket().connects.empty());
  EXPECT_EQ(Control("lbl目標").captionHistory().size(), 2u) << "nothing is shown after unload";
}

}  // namespace
}  // namespace orvane_test
