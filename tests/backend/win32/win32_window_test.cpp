// The real Win32 window and controls, read back through the system's own messages.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "platform/win32/win32_toolkit.h"

namespace {

using platform::rgb;
using platform::UnloadMode;
using platform::win32::Win32Window;

class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest()
      : window(static_cast<Win32Window*>(
            toolkit.createWindow({"測試視窗", 4680, 2985, rgb(255, 255, 192)}).release())) {}
  ~Win32WindowTest() override { delete window; }

  HWND Child(const std::wstring& text) {
    return ::FindWindowExW(window->hwnd(), nullptr, nullptr, text.c_str());
  }
  static std::wstring Text(HWND hwnd) {
    wchar_t text[256];
    return std::wstring(text, std::size_t(::GetWindowTextW(hwnd, text, 256)));
  }
  UINT Dpi() { return ::GetDpiForWindow(window->hwnd()); }

  platform::win32::Win32Toolkit toolkit;
  Win32Window* window;
};

TEST_F(Win32WindowTest, ControlsShowTheirCaptionsAndStates) {
  auto& label =
      window->addStatic({"lbl狀態", {1800, 1680, 2775, 255}, "..........", rgb(255, 0, 0)});
  auto& button = window->addButton(
      {"cmd確定", {2400, 2520, 1575, 375}, "完成", rgb(0, 0, 0), rgb(255, 255, 0), true});
  label.setCaption("系統時間校正成功。");
  button.setCaption("取消校時");
  button.setEnabled(false);

  HWND qlabel = Child(L"系統時間校正成功。");
  HWND qbutton = Child(L"取消校時");
  ASSERT_TRUE(qlabel && qbutton);
  EXPECT_EQ(Text(qlabel), L"系統時間校正成功。");
  EXPECT_EQ(label.caption(), "系統時間校正成功。");
  EXPECT_FALSE(::IsWindowEnabled(qbutton));
  EXPECT_FALSE(button.isEnabled());

  RECT client;
  ::GetClientRect(window->hwnd(), &client);
  EXPECT_EQ(client.right, ::MulDiv(4680, int(Dpi()), 1440));
  EXPECT_EQ(client.bottom, ::MulDiv(2985, int(Dpi()), 1440));
}

TEST_F(Win32WindowTest, ButtonsReportClicksOnlyWhenEnabled) {
  auto& button = window->addButton(
      {"cmd再執行", {720, 2520, 1575, 375}, "再執行一次", rgb(0, 0, 0), rgb(255, 255, 0), true});
  int clicks = 0;
  button.setOnClick([&] { ++clicks; });
  HWND hwnd = Child(L"再執行一次");
  ::SendMessageW(hwnd, BM_CLICK, 0, 0);
  button.setEnabled(false);
  ::SendMessageW(hwnd, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
}

TEST_F(Win32WindowTest, ProgressBarTakesTheColourMessagesAndTheValues) {
  auto& bar = window->addProgressBar({"pgb1", {1800, 240, 2655, 165}, ""});
  bar.sendMessage(platform::kSetBarColour, 0, 0x00FF0000);
  bar.sendMessage(platform::kSetBackgroundColour, 0, 0x000000FF);
  bar.setMax(100);
  bar.setValue(75);
  HWND hwnd = ::FindWindowExW(window->hwnd(), nullptr, PROGRESS_CLASSW, nullptr);
  ASSERT_TRUE(hwnd);
  EXPECT_EQ(::SendMessageW(hwnd, PBM_GETPOS, 0, 0), 75);
  EXPECT_EQ(::SendMessageW(hwnd, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(COLORREF(::SendMessageW(hwnd, PBM_GETBARCOLOR, 0, 0)), RGB(0, 0, 255));
  EXPECT_EQ(COLORREF(::SendMessageW(hwnd, PBM_GETBKCOLOR, 0, 0)), RGB(255, 0, 0));
}

TEST_F(Win32WindowTest, CloseBoxIsRefusedAndTheProgramsOwnUnloadGoesThrough) {
  std::vector<UnloadMode> asked;
  window->setOnQueryUnload([&](std::int16_t& cancel, UnloadMode mode) {
    asked.push_back(mode);
    if (mode == UnloadMode::ControlMenu) cancel = -1;
  });
  window->show();
  ::SendMessageW(window->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
  EXPECT_TRUE(::IsWindowVisible(window->hwnd()));
  EXPECT_FALSE(window->isUnloaded());
  ::SendMessageW(window->hwnd(), WM_CLOSE, 0, 0);  // another program's close request
  EXPECT_TRUE(window->isUnloaded());
  EXPECT_FALSE(::IsWindowVisible(window->hwnd()));
  EXPECT_EQ(asked, (std::vector{UnloadMode::ControlMenu, UnloadMode::TaskManager}));
}

TEST_F(Win32WindowTest, ActivationIsRaisedOnceAndRunEndsOnUnload) {
  int activations = 0;
  window->setOnActivate([&] {
    ++activations;
    toolkit.doEvents();
    window->unload();
  });
  EXPECT_EQ(toolkit.run(*window), 0);
  EXPECT_EQ(activations, 1);
}

TEST_F(Win32WindowTest, WaitSleepsUntilTheDeadlineWhenNothingHappens) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(300);
  FILETIME created, ended, kernelBefore, userBefore, kernelAfter, userAfter;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernelBefore, &userBefore);
  int passes = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    toolkit.waitForEvents(deadline);
    ++passes;
  }
  ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernelAfter, &userAfter);
  const auto ticks = [](FILETIME t) {
    return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const double cpu =
      double(ticks(userAfter) - ticks(userBefore) + ticks(kernelAfter) - ticks(kernelBefore)) / 1e7;
  EXPECT_LT(passes, 10);
  EXPECT_LT(cpu, 0.1);
}

TEST(Win32CommandLine, IsTheTextAfterTheProgramName) {
  using platform::win32::ArgumentsOf;
  EXPECT_EQ(ArgumentsOf(L"\"C:\\Program Files\\orvane.exe\" /Q"), L"/Q");
  EXPECT_EQ(ArgumentsOf(L"orvane.exe   -x /q"), L"-x /q");
  EXPECT_EQ(ArgumentsOf(L"pelstow.exe my app.exe"), L"my app.exe");
  EXPECT_EQ(ArgumentsOf(L"pelstow.exe"), L"");
}

}  // namespace
