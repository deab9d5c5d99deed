// The window toolkit, progress bar and socket control on Qt 6 Widgets and QtNetwork.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/window.h"

namespace platform::qt {

QColor ToQColor(Colour colour);
void UiLog(const char* event, const QString& control, const QString& text);

class QtStatic : public Control {
 public:
  explicit QtStatic(QLabel* label) : label_(label) {}
  void setCaption(const std::string& text) override;
  std::string caption() const override;
  void setForeColour(Colour colour) override;
  void setEnabled(bool enabled) override { label_->setEnabled(enabled); }
  bool isEnabled() const override { return label_->isEnabled(); }
  QLabel* widget() const { return label_; }

 private:
  QLabel* label_;
};

class QtButton : public Button {
 public:
  explicit QtButton(QPushButton* button);
  void setCaption(const std::string& text) override;
  std::string caption() const override;
  void setForeColour(Colour colour) override;
  void setEnabled(bool enabled) override;
  bool isEnabled() const override { return button_->isEnabled(); }
  void setOnClick(std::function<void()> handler) override { onClick_ = std::move(handler); }
  QPushButton* widget() const { return button_; }

 private:
  QPushButton* button_;
  std::function<void()> onClick_;
};

class QtProgressBar : public ProgressBar {
 public:
  explicit QtProgressBar(QProgressBar* bar) : bar_(bar) { updateStyle(); }
  void setMax(float max) override;
  void setValue(float value) override;
  std::intptr_t sendMessage(std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  QProgressBar* widget() const { return bar_; }
  Colour barColour() const { return bar_colour_; }
  Colour backgroundColour() const { return background_colour_; }

 private:
  void updateStyle();
  QProgressBar* bar_;
  Colour bar_colour_ = rgb(0, 120, 215);
  Colour background_colour_ = rgb(230, 230, 230);
};

// The socket control: QTcpSocket with the Winsock control's events. A peer that closes the
// connection raises the close event, never an error.
class QtTcpSocket : public TcpSocket {
 public:
  QtTcpSocket();
  void close() override;
  void connect(const std::string& remoteHost, std::uint16_t remotePort) override;
  std::vector<std::uint8_t> readAll() override;
  void setOnDataArrival(std::function<void(std::int32_t)> h) override { onData_ = std::move(h); }
  void setOnError(std::function<void(std::int32_t, const std::string&)> h) override {
    onError_ = std::move(h);
  }
  void setOnClose(std::function<void()> h) override { onClose_ = std::move(h); }

 private:
  QTcpSocket socket_;
  std::function<void(std::int32_t)> onData_;
  std::function<void(std::int32_t, const std::string&)> onError_;
  std::function<void()> onClose_;
};

class QtWindow;

// The form's widget: refuses or lets through close requests through the program's handler.
class FormWidget : public QWidget {
 public:
  explicit FormWidget(QtWindow& owner) : owner_(owner) {}

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QtWindow& owner_;
};

class QtWindow : public WindowBase {
 public:
  explicit QtWindow(const WindowDesign& design);
  ~QtWindow() override;
  Control& addStatic(const ControlDesign& d) override;
  Button& addButton(const ControlDesign& d) override;
  Control& addPicture(const ControlDesign& d) override;
  ProgressBar& addProgressBar(const ControlDesign& d) override;
  TcpSocket& addTcpSocket(const std::string& name) override;
  QWidget* widget() const { return widget_.get(); }
  // The source of the next close event the window system sends (the session's end).
  void setPendingCloseMode(UnloadMode mode) { pendingCloseMode_ = mode; }
  UnloadMode takePendingCloseMode();

 private:
  void closed() override;
  QRect Pixels(const TwipRect& twips) const;
  std::unique_ptr<FormWidget> widget_;
  std::vector<std::unique_ptr<Control>> controls_;
  std::unique_ptr<QtProgressBar> progressBar_;
  std::vector<std::unique_ptr<QtTcpSocket>> sockets_;
  UnloadMode pendingCloseMode_ = UnloadMode::ControlMenu;
};

// Reactions to top-level windows that another X client destroys, which Qt itself ignores.
class DestroyWatch : public QAbstractNativeEventFilter {
 public:
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
  void watch(QWidget& widget, std::function<void()> reaction);
  void forget(QWidget& widget);

 private:
  std::vector<std::pair<QPointer<QWidget>, std::function<void()>>> watched_;
};

class QtToolkit : public Toolkit {
 public:
  // The process's arguments, as ArgumentText took them before the toolkit could change them.
  explicit QtToolkit(std::string commandLine);
  std::unique_ptr<Window> createWindow(const WindowDesign& design) override;
  int run(Window& window) override;
  MessageAnswer messageBox(const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageAnswer defaultButton) override;
  void doEvents() override;
  void waitForEvents(TimePoint deadline) override;
  std::string commandLine() const override { return commandLine_; }
  std::string programFolder() const override;
  void endProgram(int exitCode) override;

 private:
  std::string commandLine_;
  QtWindow* window_ = nullptr;
  QTimer activation_;
  DestroyWatch destroyWatch_;
};

// The arguments after the program's path, joined by spaces, byte for byte.
std::string ArgumentText(int argc, const char* const* argv);

// The program's icon, for windows and pictures.
QPixmap ProgramIcon();

}  // namespace platform::qt
