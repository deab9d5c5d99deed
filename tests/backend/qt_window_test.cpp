// The real Qt window and controls: captions, colours, enabled states, geometry, close requests.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "platform/error.h"
#include "platform/qt/qt_toolkit.h"

namespace {

using platform::rgb;
using platform::UnloadMode;

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindowTest()
      : toolkit(""),
        window(static_cast<platform::qt::QtWindow*>(
            toolkit.createWindow({"測試視窗", 4680, 2985, rgb(255, 255, 192)}).release())) {}
  ~QtWindowTest() override { delete window; }

  template <class T>
  T* Find(const char* name) {
    return window->widget()->findChild<T*>(QString::fromUtf8(name));
  }

  platform::qt::QtToolkit toolkit;
  platform::qt::QtWindow* window;
};

TEST_F(QtWindowTest, ControlsShowTheirCaptionsColoursAndStates) {
  auto& label =
      window->addStatic({"lbl狀態", {1800, 1680, 2775, 255}, "..........", rgb(255, 0, 0)});
  auto& button = window->addButton(
      {"cmd確定", {2400, 2520, 1575, 375}, "完成", rgb(0, 0, 0), rgb(255, 255, 0), true});
  label.setCaption("系統時間校正成功。");
  button.setCaption("取消校時");
  button.setEnabled(false);

  auto* qlabel = Find<QLabel>("lbl狀態");
  auto* qbutton = Find<QPushButton>("cmd確定");
  ASSERT_TRUE(qlabel && qbutton);
  EXPECT_EQ(qlabel->text(), QStringLiteral("系統時間校正成功。"));
  EXPECT_EQ(label.caption(), "系統時間校正成功。");
  EXPECT_EQ(qlabel->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(qbutton->text(), QStringLiteral("取消校時"));
  EXPECT_FALSE(qbutton->isEnabled());
  EXPECT_FALSE(button.isEnabled());
  // Twips to pixels at 96 dpi.
  EXPECT_EQ(qlabel->geometry(), QRect(120, 112, 185, 17));
  EXPECT_EQ(window->widget()->size(), QSize(312, 199));
}

TEST_F(QtWindowTest, ButtonsHaveAYellowFaceAndReportClicks) {
  auto& button = window->addButton(
      {"cmd再執行", {720, 2520, 1575, 375}, "再執行一次", rgb(0, 0, 0), rgb(255, 255, 0), true});
  int clicks = 0;
  button.setOnClick([&] { ++clicks; });
  window->widget()->show();
  auto* qbutton = Find<QPushButton>("cmd再執行");
  const QImage face = qbutton->grab().toImage();
  EXPECT_EQ(face.pixelColor(face.width() / 6, face.height() / 2), QColor(255, 255, 0));
  qbutton->click();
  button.setEnabled(false);
  qbutton->click();
  EXPECT_EQ(clicks, 1);
}

TEST_F(QtWindowTest, ProgressBarDrawsBlueOnRedAfterTheColourMessages) {
  auto& bar = window->addProgressBar({"pgb1", {1800, 240, 2655, 165}, ""});
  bar.sendMessage(platform::kSetBarColour, 0, 0x00FF0000);
  bar.sendMessage(platform::kSetBackgroundColour, 0, 0x000000FF);
  bar.setMax(100);
  bar.setValue(50);
  window->widget()->show();
  auto* qbar = Find<QProgressBar>("pgb1");
  ASSERT_TRUE(qbar);
  EXPECT_EQ(qbar->maximum(), 100);
  EXPECT_EQ(qbar->value(), 50);
  const QImage image = qbar->grab().toImage();
  const int y = image.height() / 2;
  EXPECT_EQ(image.pixelColor(image.width() / 4, y), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(image.width() * 3 / 4, y), QColor(255, 0, 0));
}

TEST_F(QtWindowTest, CloseBoxIsRefusedAndTheProgramsOwnUnloadGoesThrough) {
  std::vector<UnloadMode> asked;
  window->setOnQueryUnload([&](std::int16_t& cancel, UnloadMode mode) {
    asked.push_back(mode);
    if (mode == UnloadMode::ControlMenu) cancel = -1;
  });
  window->widget()->show();
  EXPECT_FALSE(window->widget()->close());  // what the close box does
  EXPECT_TRUE(window->widget()->isVisible());
  EXPECT_FALSE(window->isUnloaded());

  window->unload();
  EXPECT_TRUE(window->isUnloaded());
  EXPECT_FALSE(window->widget()->isVisible());
  EXPECT_EQ(asked, (std::vector{UnloadMode::ControlMenu, UnloadMode::FormCode}));
}

TEST_F(QtWindowTest, ActivationIsRaisedOnceWhenTheWindowIsShownAndRunEndsOnUnload) {
  int activations = 0;
  window->setOnActivate([&] {
    ++activations;
    toolkit.doEvents();  // a run processes events inside the handler
    window->unload();
  });
  EXPECT_EQ(toolkit.run(*window), 0);
  EXPECT_EQ(activations, 1);
  EXPECT_TRUE(window->isUnloaded());
}

TEST_F(QtWindowTest, WaitSleepsUntilTheDeadlineWhenNothingHappens) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(300);
  const std::clock_t cpuStart = std::clock();
  int passes = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    toolkit.waitForEvents(deadline);
    ++passes;
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  EXPECT_LT(passes, 10);
  // A busy loop would burn the whole 300 ms.
  EXPECT_LT(double(std::clock() - cpuStart) / CLOCKS_PER_SEC, 0.1);
}

TEST_F(QtWindowTest, WaitReturnsEarlyForAnEvent) {
  bool fired = false;
  QTimer::singleShot(50, [&] { fired = true; });
  const auto start = std::chrono::steady_clock::now();
  while (!fired && std::chrono::steady_clock::now() - start < std::chrono::seconds(2))
    toolkit.waitForEvents(start + std::chrono::seconds(2));
  EXPECT_TRUE(fired);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace

// An error raised by the program in any handler ends the program with the standard report, and
// never unwinds through Qt's own frames (undefined behaviour by Qt's documentation).
TEST_F(QtWindowTest, AnErrorInAnyHandlerEndsTheProgramWithTheReport) {
  const auto fails = [] { throw platform::Error(28, "No space left on device"); };
  const std::pair<const char*, std::function<void()>> sources[] = {
      {"click",
       [&] {
         auto& button = window->addButton({"cmd", {0, 0, 100, 100}, "x"});
         button.setOnClick(fails);
         static_cast<platform::qt::QtButton&>(button).widget()->click();
       }},
      {"socket",
       [&] {
         auto& socket = window->addTcpSocket("Winsock1");
         socket.setOnError([&](std::int32_t, const std::string&) { fails(); });
         socket.connect("192.0.2.1", 0);  // fails at once, reported from the event loop
         toolkit.waitForEvents(std::chrono::steady_clock::now() + std::chrono::seconds(1));
       }},
      {"activation",
       [&] {
         window->setOnActivate(fails);
         toolkit.run(*window);
       }},
  };
  for (const auto& [source, trigger] : sources) {
    SCOPED_TRACE(source);
    EXPECT_EXIT(
        {
          // The report's message box is answered as soon as it is up.
          QTimer dismiss;
          QObject::connect(&dismiss, &QTimer::timeout, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
          });
          dismiss.start(50);
          trigger();
        },
        testing::ExitedWithCode(1), "執行階段錯誤 '28'");
  }
}

TEST_F(QtWindowTest, AMessageBoxAfterTheWindowIsGoneStandsAlone) {
  delete window;
  window = nullptr;
  QWidget unanswered;
  QWidget* owner = &unanswered;
  QTimer::singleShot(50, [&owner] {
    QWidget* box = QApplication::activeModalWidget();
    owner = box != nullptr ? box->parentWidget() : box;
    if (box != nullptr) box->close();
  });
  toolkit.messageBox("網路有問題！校時未能完成。", "程式報告", platform::MessageButtons::Ok,
                     platform::MessageAnswer::Ok);
  EXPECT_EQ(owner, nullptr);
}
