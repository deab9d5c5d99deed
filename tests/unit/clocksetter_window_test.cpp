// The window itself: its design, activation and the close requests it accepts or refuses.
#include "tests/unit/orvane_fixture.h"

namespace orvane_test {
namespace {

using platform::rgb;
using platform::UnloadMode;

class Window : public ClockSetterTest {};

TEST_F(Window, HasItsDesign) {
  EXPECT_EQ(window().design().caption, "網路校時 (By zevo)");
  EXPECT_EQ(window().design().clientWidthTwips, 4680);
  EXPECT_EQ(window().design().clientHeightTwips, 2985);
  EXPECT_EQ(window().design().backColour, rgb(255, 255, 192));

  EXPECT_EQ(Caption("Label3"), "　　　　校正前：");
  EXPECT_EQ(Caption("Label5"), "　時間校正結果：");
  EXPECT_EQ(Caption("lbl目標"), "..........");
  EXPECT_EQ(Control("lbl狀態").foreColour(), rgb(255, 0, 0));
  EXPECT_EQ(Control("lbl校正後").foreColour(), rgb(0, 0, 255));
  EXPECT_EQ(Control("Label6").design().backColour, rgb(255, 128, 0));
  EXPECT_EQ(Control("cmd確定").design().backColour, rgb(255, 255, 0));
  const auto& image = Control("Image1").design().rect;
  EXPECT_EQ(image.left + image.width, 720) << "the icon sits in the headings' indent";
  const auto& retry = Control("cmd再執行").design().rect;
  EXPECT_EQ((std::array{retry.left, retry.top, retry.width, retry.height}),
            (std::array{720, 2520, 1575, 375}));
}

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
