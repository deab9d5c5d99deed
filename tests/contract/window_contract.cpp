// The window toolkit, its controls and progress bar, its waits and its close requests.
#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

#include "platform/error.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

using platform::rgb;
using platform::UnloadMode;

// The CPU time this process has used (std::clock on Windows is wall time).
double CpuSeconds() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user);
  const auto ticks = [](FILETIME t) {
    return double(ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;
#else
  return double(std::clock()) / CLOCKS_PER_SEC;
#endif
}

class WindowContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    window = P().toolkit.createWindow({"測試視窗", 4680, 2985, rgb(255, 255, 192)});
  }
  std::unique_ptr<platform::Window> window;
};

TEST_P(WindowContract, ControlsShowWhatTheyAreToldAndButtonsReactOnlyWhenEnabled) {
  auto& label =
      window->addStatic({"lbl狀態", {1800, 1680, 2775, 255}, "..........", rgb(255, 0, 0)});
  window->addPicture({"Image1", {240, 960, 480, 480}, ""});
  auto& button = window->addButton(
      {"cmd確定", {2400, 2520, 1575, 375}, "完成", rgb(0, 0, 0), rgb(255, 255, 0), true});
  EXPECT_EQ(label.caption() + button.caption(), "..........完成");
  label.setCaption("　　　　校正前：");
  button.setCaption("取消校時");
  EXPECT_EQ(label.caption() + button.caption(), "　　　　校正前：取消校時");
  int clicks = 0;
  button.setOnClick([&] { ++clicks; });
  backend->click(button);
  button.setEnabled(false);
  backend->click(button);
  EXPECT_EQ(std::make_pair(clicks, button.isEnabled()), std::make_pair(1, false));
}

// A control the window system will not make is an error the program cannot go past: never a
// window with a hole where the control should be.
TEST_P(WindowContract, AControlThatCannotBeMadeIsAnError) {
  if (!backend->refuseControls(*window)) GTEST_SKIP() << "this window system refuses no control";
  EXPECT_THROW(window->addStatic({"Label1", {240, 240, 1455, 255}, "x"}), platform::Error);
  EXPECT_THROW(window->addButton({"cmd確定", {2400, 2520, 1575, 375}, "完成"}), platform::Error);
}

TEST_P(WindowContract, TheProgressBarAnswersAColourMessageWithTheColourBefore) {
  auto& bar = window->addProgressBar({"pgb1", {1800, 240, 2655, 165}, ""});
  bar.setMax(100);
  bar.setValue(75);
  for (auto message : {platform::kSetBarColour, platform::kSetBackgroundColour}) {
    bar.sendMessage(message, 0, 0x00FF0000);
    EXPECT_EQ(bar.sendMessage(message, 0, 0x000000FF), 0x00FF0000);
  }
}

TEST_P(WindowContract, TheProgramDecidesOnEveryCloseRequest) {
  std::vector<UnloadMode> asked;
  window->setOnQueryUnload([&](std::int16_t& cancel, UnloadMode mode) {
    asked.push_back(mode);
    if (mode == UnloadMode::ControlMenu) cancel = -1;
  });
  backend->closeBox(*window);
  EXPECT_FALSE(window->isUnloaded());
  backend->closeFromOutside(*window);
  EXPECT_TRUE(window->isUnloaded());
  EXPECT_EQ(asked, (std::vector{UnloadMode::ControlMenu, UnloadMode::AppWindows}));
}

TEST_P(WindowContract, RunRaisesActivationOnceAndEndsWithTheWindow) {
  int activations = 0;
  window->setOnActivate([&] {
    ++activations;
    P().toolkit.doEvents();  // a run handles events inside the handler
    window->unload();
  });
  EXPECT_EQ(P().toolkit.run(*window), 0);
  EXPECT_EQ(activations, 1);
}

// A wait sleeps until its deadline (no spinning: a busy loop would burn the whole time), or
// until an event comes.
TEST_P(WindowContract, AWaitSleepsUntilItsDeadlineOrTheNextEvent) {
  const double cpu = CpuSeconds();
  const auto start = P().clock.monotonicNow();
  int passes = 0;
  Wait(300ms, [&] { return ++passes > 10; });
  EXPECT_LE(passes, 3);
  EXPECT_LT(P().clock.monotonicNow() - start, 1s);
  EXPECT_LT(CpuSeconds() - cpu, 0.1);

  auto& socket = window->addTcpSocket("Winsock1");
  bool arrived = false;
  socket.setOnDataArrival([&](std::int32_t) { arrived = true; });
  const auto peer = backend->serve({Pause(50ms), Send({1})});
  socket.connect(peer->host(), peer->port());
  const auto asked = P().clock.monotonicNow();
  Wait(2s, [&] { return arrived; });
  EXPECT_LT(P().clock.monotonicNow() - asked, 1s);
}

CONTRACT_SUITE(WindowContract);

}  // namespace

}  // namespace contract
