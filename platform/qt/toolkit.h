// The window toolkit and progress bar on Qt 6 Widgets.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "platform/qt/socket.h"
#include "platform/toolkit.h"

namespace platform::qt {

QColor ToQColor(Colour colour);

class QtStatic : public Control {
 public:
  explicit QtStatic(QLabel* label) : label_(label) {}
  void setCaption(const std::string& text) override;
  void setForeColour(Colour colour) override;
  void setEnabled(bool enabled) override { label_->setEnabled(enabled); }
  bool isEnabled() const override { return label_->isEnabled(); }
  QLabel* widget() const { return label_; }

 private:
  QLabel* label_;  // owned by the window's widget
};

class QtButton : public Button {
 public:
  explicit QtButton(QPushButton* button);
  void setCaption(const std::string& text) override;
  void setForeColour(Colour colour) override;
  void setEnabled(bool enabled) override;
  bool isEnabled() const override { return button_->isEnabled(); }
  void setOnClick(std::function<void()> handler) override { onClick_ = std::move(handler); }
  QPushButton* widget() const { return button_; }

 private:
  QPushButton* button_;  // owned by the window's widget
  std::function<void()> onClick_;
  bool focusReturns_ = false;
};

class QtProgressBar : public ProgressBar {
 public:
  explicit QtProgressBar(QProgressBar* bar) : bar_(bar) { updateStyle(); }
  void setMax(float max) override { bar_->setMaximum(int(max)); }
  void setValue(float value) override { bar_->setValue(int(std::lround(value))); }
  void sendMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  QProgressBar* widget() const { return bar_; }

 private:
  void updateStyle();
  QProgressBar* bar_;  // owned by the window's widget
  Colour barColour_ = rgb(0, 120, 215);
  Colour backgroundColour_ = rgb(230, 230, 230);
};

class QtWindow;

// The form's widget: lets close requests through the program's handler, and says when it has
// been painted.
class FormWidget : public QWidget {
 public:
  explicit FormWidget(QtWindow& owner) : owner_(owner) {}
  bool painted() const { return painted_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QtWindow& owner_;
  bool painted_ = false;
};

class QtWindow : public WindowBase {
 public:
  explicit QtWindow(const WindowDesign& design);
  Control& addStatic(const ControlDesign& d) override;
  Button& addButton(const ControlDesign& d) override;
  Control& addPicture(const ControlDesign& d) override;
  ProgressBar& addProgressBar(const ControlDesign& d) override;
  TcpSocket& addTcpSocket(const std::string& name) override;
  FormWidget* widget() const { return widget_.get(); }

 private:
  void closed() override;
  std::unique_ptr<FormWidget> widget_;  // goes last: the controls' widgets are its children
  std::vector<std::unique_ptr<Control>> controls_;
  std::unique_ptr<QtProgressBar> progressBar_;
};

// Reactions to top-level windows that another X client destroys, which Qt itself ignores.
class DestroyWatch : public QAbstractNativeEventFilter {
 public:
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  // A reaction to the widget's destruction, for as long as this object lives.
  class Watching : NonCopyable {
   public:
    Watching(DestroyWatch& watch, QWidget& widget, std::function<void()> reaction);
    ~Watching();

   private:
    DestroyWatch& watch_;
    QWidget* widget_;
  };

 private:
  std::vector<std::pair<QPointer<QWidget>, std::function<void()>>> watched_;
};

class QtToolkit : public Toolkit {
 public:
  // The process's arguments, as ArgumentText took them before the toolkit could change them.
  explicit QtToolkit(std::string commandLine);
  ~QtToolkit() override;
  std::unique_ptr<Window> createWindow(const WindowDesign& design) override;
  int run(Window& window) override;
  MessageAnswer messageBox(const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageAnswer defaultButton) override;
  void doEvents() override;
  bool waitForEvents(TimePoint deadline) override;
  std::string commandLine() const override { return commandLine_; }
  void endProgram(int exitCode) override;
  std::unique_ptr<Notice> showNotice(const std::string& title, const std::string& text) override;
  // A name of the abstract socket namespace: the kernel lets it go with the process.
  std::unique_ptr<Interface> holdMachineWide(const std::string& name) override;

 private:
  std::string commandLine_;
  bool running_ = false;    // inside run's message loop
  QPointer<QWidget> form_;  // the owner of message boxes while it is shown; null once destroyed
  DestroyWatch destroyWatch_;
};

// The arguments after the program's path, joined by spaces, byte for byte.
std::string ArgumentText(int argc, const char* const* argv);

// The program's icon, for windows and pictures.
QPixmap ProgramIcon();

}  // namespace platform::qt
