#include "platform/qt/toolkit.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/error.h"
#include "platform/qt/system.h"
#include "platform/report.h"

namespace platform::qt {

namespace {

constexpr int kTwipsPerPixel = 15;  // at 96 dpi; Qt scales logical pixels with the screen

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
std::string S(const QString& text) { return text.toUtf8().toStdString(); }

QString CssColour(Colour colour) {
  return QStringLiteral("rgb(%1,%2,%3)")
      .arg(colour & 0xFF)
      .arg((colour >> 8) & 0xFF)
      .arg((colour >> 16) & 0xFF);
}

QRect Pixels(const TwipRect& t) {
  return {t.left / kTwipsPerPixel, t.top / kTwipsPerPixel, t.width / kTwipsPerPixel,
          t.height / kTwipsPerPixel};
}

// Where the design puts a control, and what it is called: by its name for the UI log, by its
// heading for assistive technology.
void Place(QWidget* widget, const ControlDesign& d) {
  widget->setObjectName(Q(d.name));
  widget->setGeometry(Pixels(d.rect));
  if (!d.accessibleName.empty()) widget->setAccessibleName(Q(d.accessibleName));
}

// The form is a frame to assistive technology (Qt takes a plain widget for a client area), named
// by its caption.
QAccessibleInterface* FormAccessible(const QString&, QObject* object) {
  auto* form = dynamic_cast<FormWidget*>(object);
  return form != nullptr ? new QAccessibleWidget(form, QAccessible::Window) : nullptr;
}

void SetTextColour(QWidget* widget, Colour colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, ToQColor(colour));
  palette.setColor(QPalette::ButtonText, ToQColor(colour));
  widget->setPalette(palette);
}

void SetBackColour(QWidget* widget, Colour colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, ToQColor(colour));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

}  // namespace

QColor ToQColor(Colour colour) {
  return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

QPixmap ProgramIcon() {
  static const QPixmap icon(QStringLiteral(":/app-icon.png"));  // read once
  return icon;
}

// --- Controls ---------------------------------------------------------------------------------

void QtStatic::setCaption(const std::string& text) {
  label_->setText(Q(text));
  UiLog("caption", S(label_->objectName()), S(label_->text()));
}
void QtStatic::setForeColour(Colour colour) { SetTextColour(label_, colour); }

QtButton::QtButton(QPushButton* button) : button_(button) {
  button_->setAutoDefault(true);  // Return and Enter press the focused button, as Space does
  QObject::connect(button_, &QPushButton::clicked, [this] {
    Guarded([this] {
      if (onClick_) onClick_();
    });
  });
}
void QtButton::setCaption(const std::string& text) {
  button_->setText(Q(text));
  UiLog("caption", S(button_->objectName()), S(button_->text()));
}
// A button disabled while it has the focus hands it on to the next one and takes it back when it
// is enabled again: the key that started a run starts the next one too.
void QtButton::setEnabled(bool enabled) {
  QWidget* window = button_->window();
  if (!enabled && window->focusWidget() == button_) focusReturns_ = true;
  button_->setEnabled(enabled);
  for (QWidget* next = button_->nextInFocusChain();
       !enabled && window->focusWidget() == button_ && next != button_;
       next = next->nextInFocusChain())
    if (next->isEnabled() && (next->focusPolicy() & Qt::TabFocus) != 0) next->setFocus();
  if (enabled && focusReturns_) {
    focusReturns_ = false;
    button_->setFocus();
  }
  UiLog("enabled", S(button_->objectName()), enabled ? "1" : "0");
}
void QtButton::setForeColour(Colour colour) { SetTextColour(button_, colour); }

void QtProgressBar::sendMessage(std::uint32_t message, std::uintptr_t, std::intptr_t lParam) {
  if (message == kSetBarColour) barColour_ = Colour(lParam);
  if (message == kSetBackgroundColour) backgroundColour_ = Colour(lParam);
  updateStyle();
}

// A style sheet, because desktop styles draw their own bar and ignore palette colours.
void QtProgressBar::updateStyle() {
  bar_->setTextVisible(false);
  bar_->setStyleSheet(QStringLiteral("QProgressBar { background-color: %1; border: 1px solid "
                                     "rgb(128,128,128); } QProgressBar::chunk { "
                                     "background-color: %2; }")
                          .arg(CssColour(backgroundColour_), CssColour(barColour_)));
}

// --- Window -----------------------------------------------------------------------------------

// Closes that come as close events are the window manager's close box.
void FormWidget::closeEvent(QCloseEvent* event) {
  Guarded([this, event] {
    if (owner_.isUnloaded() || owner_.requestClose(UnloadMode::ControlMenu)) {
      event->accept();
    } else {
      event->ignore();
    }
  });
}

void FormWidget::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  painted_ = true;
}

QtWindow::QtWindow(const WindowDesign& design) : widget_(std::make_unique<FormWidget>(*this)) {
  widget_->setWindowTitle(Q(design.caption));
  widget_->setFixedSize(design.clientWidthTwips / kTwipsPerPixel,
                        design.clientHeightTwips / kTwipsPerPixel);
  SetBackColour(widget_.get(), design.backColour);
  const QPixmap icon = ProgramIcon();
  if (!icon.isNull()) widget_->setWindowIcon(icon);
}

Control& QtWindow::addStatic(const ControlDesign& d) {
  auto* label = new QLabel(Q(d.caption), widget_.get());
  Place(label, d);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  SetTextColour(label, d.foreColour);
  if (d.hasBackColour) SetBackColour(label, d.backColour);
  controls_.push_back(std::make_unique<QtStatic>(label));
  return *controls_.back();
}

Button& QtWindow::addButton(const ControlDesign& d) {
  auto* button = new QPushButton(Q(d.caption), widget_.get());
  Place(button, d);
  if (d.hasBackColour) {
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: %2; border: 2px outset "
                       "rgb(200,200,0); } QPushButton:pressed { border-style: inset; } "
                       "QPushButton:disabled { color: rgb(160,160,160); }")
            .arg(CssColour(d.backColour), CssColour(d.foreColour)));
  }
  auto control = std::make_unique<QtButton>(button);
  auto& result = *control;
  controls_.push_back(std::move(control));
  return result;
}

Control& QtWindow::addPicture(const ControlDesign& d) {
  auto& control = static_cast<QtStatic&>(addStatic(d));
  control.widget()->setPixmap(ProgramIcon());
  control.widget()->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return control;
}

ProgressBar& QtWindow::addProgressBar(const ControlDesign& d) {
  auto* bar = new QProgressBar(widget_.get());
  Place(bar, d);
  progressBar_ = std::make_unique<QtProgressBar>(bar);
  return *progressBar_;
}

TcpSocket& QtWindow::addTcpSocket(const std::string& name) {
  return ownSocket(std::make_unique<QtTcpSocket>(name));
}

void QtWindow::closed() {
  UiLog("unload", S(widget_->windowTitle()), {});
  widget_->hide();
  QCoreApplication::exit(0);  // the loop ends once the running handlers have returned
}

// --- Toolkit ----------------------------------------------------------------------------------

std::string ArgumentText(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

bool DestroyWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
  const auto destroyed = static_cast<const xcb_destroy_notify_event_t*>(message)->window;
  // Compared with each widget's present native window: Qt replaces a widget's window at times,
  // and destroys the old one itself.
  for (auto watch = watched_.begin(); watch != watched_.end(); ++watch) {
    if (!watch->first || watch->first->internalWinId() != destroyed) continue;
    const auto reaction = std::move(watch->second);
    watched_.erase(watch);
    Guarded(reaction);
    break;
  }
  return false;
}

DestroyWatch::Watching::Watching(DestroyWatch& watch, QWidget& widget,
                                 std::function<void()> reaction)
    : watch_(watch), widget_(&widget) {
  watch_.watched_.emplace_back(&widget, std::move(reaction));
}

DestroyWatch::Watching::~Watching() {
  std::erase_if(watch_.watched_, [this](const auto& watch) { return watch.first == widget_; });
}

namespace {

// SIGTERM comes through a socket pair, to be handled on the window's thread as a close request
// from another program. The handler that was there before comes back when this object goes.
class TerminationRequests : NonCopyable {
 public:
  explicit TerminationRequests(std::function<void()> onRequest) {
    std::array<int, 2> ends{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) return;
    read_.reset(ends[0]);
    write_.reset(ends[1]);
    writeEnd_ = write_.get();
    notifier_ = std::make_unique<QSocketNotifier>(read_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [this, onRequest = std::move(onRequest)] {
                       Guarded([this, &onRequest] {
                         char byte = 0;
                         [[maybe_unused]] const ssize_t drained = ::read(read_.get(), &byte, 1);
                         onRequest();
                       });
                     });
    handlers_.emplace(std::initializer_list<int>{SIGTERM}, &onSignal);
  }
  ~TerminationRequests() {
    handlers_.reset();
    writeEnd_ = -1;
  }

 private:
  static void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t sent = ::write(writeEnd_, &byte, 1);
  }
  static inline int writeEnd_ = -1;
  UniqueFd read_, write_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::optional<SignalHandlers> handlers_;
};

// The session's end, for as long as this object lives.
class SessionEnd : NonCopyable {
 public:
  explicit SessionEnd(std::function<void()> onEnd)
      : connection_(
            QObject::connect(qApp, &QGuiApplication::commitDataRequest,
                             [onEnd = std::move(onEnd)](QSessionManager&) { Guarded(onEnd); })) {}
  ~SessionEnd() { QObject::disconnect(connection_); }

 private:
  QMetaObject::Connection connection_;
};

// The whole design is on the screen before the run starts: its first echo may block the window's
// thread for a second.
void ShowPainted(QtToolkit& toolkit, FormWidget& form) {
  form.show();
  toolkit.handleEventsUntil(std::chrono::steady_clock::now() + std::chrono::seconds(2),
                            [&form] { return form.painted(); });
  toolkit.doEvents();  // hands the painted window to the display
}

}  // namespace

QtToolkit::QtToolkit(std::string commandLine) : commandLine_(std::move(commandLine)) {
  [[maybe_unused]] static const bool accessible =
      (QAccessible::installFactory(&FormAccessible), true);
  QCoreApplication::instance()->installNativeEventFilter(&destroyWatch_);
  QApplication::setQuitOnLastWindowClosed(false);
  auto* translator = new QTranslator(qApp);
  if (translator->load(QLocale::system(), QStringLiteral("qt"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(translator);
}

QtToolkit::~QtToolkit() {
  if (QCoreApplication::instance() != nullptr)
    QCoreApplication::instance()->removeNativeEventFilter(&destroyWatch_);
}

std::unique_ptr<Window> QtToolkit::createWindow(const WindowDesign& design) {
  auto window = std::make_unique<QtWindow>(design);
  form_ = window->widget();
  return window;
}

int QtToolkit::run(Window& window) {
  auto& form = static_cast<QtWindow&>(window);
  // Other programs' requests to end it: SIGTERM, the session's end, an X client destroying it.
  const TerminationRequests termination([&form] { form.requestClose(UnloadMode::TaskManager); });
  const SessionEnd sessionEnd([&form] { form.requestClose(UnloadMode::AppWindows); });
  const DestroyWatch::Watching destroyed(destroyWatch_, *form.widget(),
                                         [&form] { form.requestClose(UnloadMode::TaskManager); });
  ShowPainted(*this, *form.widget());
  QTimer activation;
  activation.setSingleShot(true);
  QObject::connect(&activation, &QTimer::timeout,
                   [&form] { Guarded([&form] { form.activateOnce(); }); });
  activation.start(0);
  running_ = true;
  const int exitCode = form.isUnloaded() ? 0 : QApplication::exec();
  running_ = false;
  return exitCode;
}

MessageAnswer QtToolkit::messageBox(const std::string& text, const std::string& title,
                                    MessageButtons buttons, MessageAnswer defaultButton) {
  QWidget* owner = form_ && form_->isVisible() ? form_.data() : nullptr;
  QMessageBox box(QMessageBox::NoIcon, Q(title), Q(text), QMessageBox::NoButton, owner);
  if (buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(defaultButton == MessageAnswer::No ? QMessageBox::No : QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
  }
  UiLog("messagebox", title, text);
  // Another X client may destroy the box: nobody could answer it, so the program cannot go on.
  constexpr int kDestroyed = -1;
  const int pressed = [&] {
    const DestroyWatch::Watching destroyed(destroyWatch_, box, [&box] { box.done(kDestroyed); });
    return box.exec();
  }();
  if (pressed == kDestroyed)
    throw WindowDestroyed(kWindowDestroyedError, "訊息視窗「" + title + "」被其他程式關閉");
  if (pressed == QMessageBox::Yes) return MessageAnswer::Yes;
  if (pressed == QMessageBox::No) return MessageAnswer::No;
  return MessageAnswer::Ok;
}

void QtToolkit::doEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

bool QtToolkit::waitForEvents(TimePoint deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  // The timer only wakes the sleeping loop at the deadline; any other event wakes it earlier.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  QObject::connect(&wake, &QTimer::timeout, [] {});
  wake.start(int(left.count()));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  return true;
}

void QtToolkit::endProgram(int exitCode) {
  if (running_) return QCoreApplication::exit(exitCode);
  static_cast<void>(std::fflush(nullptr));
  ::_exit(exitCode);
}

namespace {

class QtNotice : public Notice {
 public:
  QtNotice(const std::string& title, const std::string& text) {
    widget_.setWindowTitle(Q(title));
    widget_.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* label = new QLabel(Q(text), &widget_);
    label->setMargin(16);
    label->setAlignment(Qt::AlignCenter);
    label->adjustSize();
    widget_.setFixedSize(label->size());
    UiLog("notice", S(widget_.windowTitle()), S(label->text()));
    widget_.show();
  }
  ~QtNotice() override { UiLog("notice-closed", S(widget_.windowTitle()), {}); }

 private:
  QWidget widget_;
};

}  // namespace

std::unique_ptr<Notice> QtToolkit::showNotice(const std::string& title, const std::string& text) {
  return std::make_unique<QtNotice>(title, text);
}

std::unique_ptr<Interface> QtToolkit::holdMachineWide(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);  // a leading NUL: abstract
  UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const auto size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (!socket || ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0)
    return nullptr;
  return std::make_unique<Holding<UniqueFd>>(std::move(socket));
}

}  // namespace platform::qt

namespace platform::layer {

std::string ProgramName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).baseName().toStdString();
}

void ShowReportBox(const std::string& title, const std::string& text) {
  if (qApp == nullptr) return;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.exec();
}

std::string Displayable(const std::string& text) {
  return QString::fromStdString(text).toStdString();
}

std::FILE* OpenUiLog() {
  const char* path = std::getenv("PLATFORM_UI_LOG");
  return path != nullptr && *path != '\0' ? std::fopen(path, "a") : nullptr;
}

}  // namespace platform::layer
