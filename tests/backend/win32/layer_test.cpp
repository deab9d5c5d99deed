// What only the Win32 layer has: the command line, the double click, the picture
// at its DPI, file attributes, Windows' busy files and paths.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/error.h"
#include "platform/win32/platform.h"
#include "tests/backend/backend_env.h"
#include "tests/contract/backend.h"

namespace contract {
namespace {

TEST(Win32Layer, TheCommandLineIsTheTextAfterTheProgramName) {
  using platform::win32::ArgumentText;
  EXPECT_EQ(ArgumentText(L"\"C:\\Program Files\\orvane.exe\" /Q"), L"/Q");
  EXPECT_EQ(ArgumentText(L"orvane.exe   -x /q"), L"-x /q");
  EXPECT_EQ(ArgumentText(L"pelstow.exe my app.exe"), L"my app.exe");
  EXPECT_EQ(ArgumentText(L"pelstow.exe"), L"");
  EXPECT_EQ(ArgumentText(L"pelstow.exe \"my app.exe\""), L"my app.exe");  // one pair around it all
  EXPECT_EQ(ArgumentText(L"pelstow.exe \"a\" \"b\""), L"\"a\" \"b\"");
}

// A window of the layer, for the cases of its controls.
class Win32Controls : public ::testing::Test {
 protected:
  HWND hwnd() const { return static_cast<platform::win32::Win32Window&>(*window).hwnd(); }
  platform::win32::Win32Toolkit toolkit;
  std::unique_ptr<platform::Window> window = toolkit.createWindow({"x", 4680, 2985});
};

// The second click of a quick pair comes as a double click: a click all the same.
TEST_F(Win32Controls, TheSecondClickOfAQuickPairCounts) {
  auto& button = static_cast<platform::win32::Win32Control&>(
      window->addButton({"cmd", {720, 2520, 1575, 375}, "再執行一次"}));
  int clicks = 0;
  button.setOnClick([&] { ++clicks; });
  for (const int code : {BN_CLICKED, BN_DOUBLECLICKED})
    ::SendMessageW(hwnd(), WM_COMMAND, MAKEWPARAM(0, WORD(code)), LPARAM(button.hwnd()));
  EXPECT_EQ(clicks, 2);
}

// The clock picture is drawn at the size its box has at the window's DPI (48 pixels at 144 dpi).
TEST_F(Win32Controls, ThePictureGrowsWithItsBox) {
  auto& picture = static_cast<platform::win32::Win32Control&>(
      window->addPicture({"Image1", {240, 960, 480, 480}, ""}));
  const auto iconWidth = [&] {
    ICONINFO info{};
    const auto icon = HICON(::SendMessageW(picture.hwnd(), STM_GETICON, 0, 0));
    if (icon == nullptr || !::GetIconInfo(icon, &info)) return 0L;
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    ::DeleteObject(info.hbmColor);
    ::DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
  };
  const UINT dpi = ::GetDpiForWindow(hwnd());
  EXPECT_EQ(iconWidth(), long(::MulDiv(32, int(dpi), 96)));
  RECT suggested{0, 0, 702, 448};
  ::SendMessageW(hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144), LPARAM(&suggested));
  EXPECT_EQ(iconWidth(), 48L);
}

// The installed file takes the target's attributes (normal without one), never the download's
// read-only one, and a read-only download is deleted all the same.
TEST(Win32Layer, TheNewFileHasTheTargetsAttributes) {
  const auto backend = MakeBackend();
  const auto folder = backend->openFolder();
  const auto attributes = [&](const std::string& name) {
    return ::GetFileAttributesW(platform::win32::Wide(folder->pathOf(name)).c_str()) &
           (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  };
  backend->write("app.exe", "old", true);
  for (const std::string name : {"app.exe", "new.exe"}) {
    backend->write("_new_" + name, "new");
    ::SetFileAttributesW(platform::win32::Wide(folder->pathOf("_new_" + name)).c_str(),
                         FILE_ATTRIBUTE_READONLY);
    folder->stageCopy("_new_" + name, name, [] {})->putInPlace();
    folder->deleteFile("_new_" + name);
  }
  EXPECT_EQ(attributes("app.exe"), DWORD(FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(attributes("new.exe"), DWORD(0));
  EXPECT_EQ(backend->names(), (std::vector<std::string>{"app.exe", "new.exe"}));
}

// A download another program holds open is busy for now; so is an old version still running,
// for every try, which keeps one second name for the old version however often it is tried, and
// none once the copy goes. Wine's short write on a full disk is a full disk (ERROR_DISK_FULL),
// the old version left as it was.
TEST(Win32Layer, AHeldFileIsBusyAndAFullDiskIsSaid) {
  const auto backend = MakeBackend();
  const auto folder = backend->openFolder();
  const auto hold = [&](const std::string& name) {
    return platform::win32::UniqueKernelHandle(
        ::CreateFileW(platform::win32::Wide(folder->pathOf(name)).c_str(), GENERIC_READ,
                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  };
  const auto expectBusy = [](const std::function<void()>& operation) {
    try {
      operation();
      ADD_FAILURE() << "done with a file held open";
    } catch (const platform::Error& error) {
      EXPECT_TRUE(error.inUse()) << error.number();  // a sharing violation, or Wine's denial
    }
  };
  backend->write("_new_app.exe", "new");
  backend->write("app.exe", "old");
  {
    const auto held = hold("_new_app.exe");
    expectBusy([&] { folder->deleteFile("_new_app.exe"); });
  }
  {
    auto copy = folder->stageCopy("_new_app.exe", "app.exe", [] {});
    const auto running = hold("app.exe");  // goes first: the copy's end finds the file free
    for (int tries = 0; tries < 3; ++tries) expectBusy([&] { copy->putInPlace(true); });
    EXPECT_EQ(backend->names().size(), 4u) << "the download, the old one, its copy, one link";
  }
  EXPECT_EQ(backend->names(), (std::vector<std::string>{"_new_app.exe", "app.exe"}));
  EXPECT_EQ(backend->read("app.exe"), "old");
  if (!InLab()) GTEST_SKIP() << "the small disk is the lab's";
  const auto small = platform::win32::OpenFolder("Z:\\run\\small-disk");
  std::ofstream("Z:\\run\\small-disk\\app.exe", std::ios::binary) << std::string(64 << 10, 'o');
  std::ofstream("Z:\\run\\small-disk\\_new_app.exe", std::ios::binary)
      << std::string(100 << 10, 'n');
  try {
    small->stageCopy("_new_app.exe", "app.exe", [] {})->putInPlace();
    ADD_FAILURE() << "installed on a full disk";
  } catch (const platform::Error& error) {
    EXPECT_EQ(error.number(), 112) << "ERROR_DISK_FULL: " << error.what();
  }
  EXPECT_EQ(small->fileLength("app.exe"), 64 << 10);
  small->deleteFile("app.exe");
  small->deleteFile("_new_app.exe");
}

// The shell takes no path of MAX_PATH characters or more: a long one goes by its short form on
// Windows; Wine can start none at all, and then it must be said.
TEST(Win32Layer, AProgramPastMaxPathStartsOrTheFailureIsSaid) {
  const auto backend = MakeBackend();
  const std::string name = std::string(240, 'a') + ".exe";
  backend->writeProgram(name, true);
  try {
    backend->openFolder()->startProgram(name);
    EXPECT_TRUE(backend->started());
  } catch (const platform::Error& error) {
    EXPECT_TRUE(backend->isWine()) << "only Wine fails here: " << error.what();
  }
}

}  // namespace
}  // namespace contract
