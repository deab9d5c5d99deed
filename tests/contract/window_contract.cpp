// The window toolkit, its controls and progress bar, its waits and its close requests.
#include "platform/error.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

using platform::rgb;

class WindowContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    window = P().toolkit.createWindow({"測試視窗", 4680, 2985, rgb(255, 255, 192)});
  }
  std::unique_ptr<platform::Window> window;
};

TEST_F(WindowContract, ButtonsReactOnlyWhenEnabled) {
  auto& button = window->addButton(
      {"cmd確定", {2400, 2520, 1575, 375}, "完成", rgb(0, 0, 0), rgb(255, 255, 0), true});
  int clicks = 0;
  button.setOnClick([&] { ++clicks; });
  backend->click(button);
  button.setEnabled(false);
  backend->click(button);
  EXPECT_EQ(std::make_pair(clicks, button.isEnabled()), std::make_pair(1, false));
}

// A control the window system will not make is an error the program cannot go past: never a
// window with a hole where the control should be.
TEST_F(WindowContract, AControlThatCannotBeMadeIsAnError) {
  if (!backend->refuseControls(*window)) GTEST_SKIP() << "this window system refuses no control";
  EXPECT_THROW(window->addStatic({"Label1", {240, 240, 1455, 255}, "x"}), platform::Error);
  EXPECT_THROW(window->addButton({"cmd確定", {2400, 2520, 1575, 375}, "完成"}), platform::Error);
}

TEST_F(WindowContract, RunRaisesActivationOnceAndEndsWithTheWindow) {
  int activations = 0;
  window->setOnActivate([&] {
    ++activations;
    P().toolkit.doEvents();  // a run handles events inside the handler
    window->unload();
  });
  EXPECT_EQ(P().toolkit.run(*window), 0);
  EXPECT_EQ(activations, 1);
}

// A wait sleeps until its deadline (a busy loop would ask whether it is done a thousand times),
// or until an event comes.
TEST_F(WindowContract, AWaitSleepsUntilItsDeadlineOrTheNextEvent) {
  const auto start = P().clock.monotonicNow();
  int passes = 0;
  Wait(300ms, [&] { return ++passes > 100; });
  EXPECT_LE(passes, 10) << "a few messages of the system's own may wake it";
  EXPECT_LT(P().clock.monotonicNow() - start, 1s);

  auto& socket = window->addTcpSocket("Winsock1");
  bool arrived = false;
  socket.setOnDataArrival([&](std::int32_t) { arrived = true; });
  const auto peer = backend->serve({Pause(50ms), Send({1})});
  socket.connect(peer->host(), peer->port());
  const auto asked = P().clock.monotonicNow();
  Wait(2s, [&] { return arrived; });
  EXPECT_LT(P().clock.monotonicNow() - asked, 1s);
}

}  // namespace

}  // namespace contract
