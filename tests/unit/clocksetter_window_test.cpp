// The window itself: its design, activation and the close requests it accepts or refuses.
#include "tests/unit/orvane_fixture.h"

namespace orvane_test {
namespace {

using platform::rgb;
using platform::UnloadMode;

class Window : public ClockSetterTest {};

TEST_F(Window, ActivationColoursTheProgressBarBlueOnRed) {
  Run();
  EXPECT_EQ(window().progressBar().barColour, rgb(0, 0, 255));
  EXPECT_EQ(window().progressBar().backgroundColour, rgb(255, 0, 0));
}

TEST_F(Window, CloseBoxIsRefusedAndOtherClosesGoThrough) {
  Run();
  window().requestClose(UnloadMode::ControlMenu);
  EXPECT_FALSE(window().isUnloaded());
  for (auto mode : {UnloadMode::FormCode, UnloadMode::AppWindows, UnloadMode::TaskManager}) {
    Reset();
    Run();
    window().requestClose(mode);
    EXPECT_TRUE(window().isUnloaded()) << int(mode);
  }
}

TEST_F(Window, FinishUnloadsTheWindow) {
  queue().schedule(TimePoint{} + 20s, [&] { Control("cmd確定").click(); });
  Run();
  EXPECT_TRUE(window().isUnloaded());
  EXPECT_EQ(*window().unloadedAt, TimePoint{} + 20s);
}

TEST_F(Window, RetryIsDisabledWhileARunIsUnderWay) {
  queue().schedule(TimePoint{} + 100ms, [&] {
    EXPECT_FALSE(Control("cmd再執行").isEnabled());
    Control("cmd再執行").click();  // ignored: the button is disabled
  });
  Run();
  EXPECT_EQ(icmp().echoes.size(), 5u);
}

}  // namespace
}  // namespace orvane_test
