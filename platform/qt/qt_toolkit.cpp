#include "platform/qt/qt_toolkit.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/error.h"
#include "platform/qt/posix_handles.h"
#include "platform/qt/qt_events.h"

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
  UiLog("caption", label_->objectName(), label_->text());
}
std::string QtStatic::caption() const { return S(label_->text()); }
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
  UiLog("caption", button_->objectName(), button_->text());
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
  UiLog("enabled", button_->objectName(), enabled ? QStringLiteral("1") : QStringLiteral("0"));
}
std::string QtButton::caption() const { return S(button_->text()); }
void QtButton::setForeColour(Colour colour) { SetTextColour(button_, colour); }

void QtProgressBar::setMax(float max) { bar_->setMaximum(int(max)); }
void QtProgressBar::setValue(float value) { bar_->setValue(int(std::lround(value))); }

std::intptr_t QtProgressBar::sendMessage(std::uint32_t message, std::uintptr_t,
                                         std::intptr_t lParam) {
  // Like the classic control, answer with the colour that was in force.
  Colour previous = 0;
  if (message == kSetBarColour) {
    previous = std::exchange(bar_colour_, Colour(lParam));
  } else if (message == kSetBackgroundColour) {
    previous = std::exchange(background_colour_, Colour(lParam));
  } else {
    return 0;
  }
  updateStyle();
  return std::intptr_t(previous);
}

// A style sheet, because desktop styles draw their own bar and ignore palette colours.
void QtProgressBar::updateStyle() {
  bar_->setTextVisible(false);
  bar_->setStyleSheet(QStringLiteral("QProgressBar { background-color: %1; border: 1px solid "
                                     "rgb(128,128,128); } QProgressBar::chunk { "
                                     "background-color: %2; }")
                          .arg(CssColour(background_colour_), CssColour(bar_colour_)));
}

// --- Window -----------------------------------------------------------------------------------

void FormWidget::closeEvent(QCloseEvent* event) {
  Guarded([this, event] {
    if (owner_.isUnloaded() || owner_.requestClose(owner_.takePendingCloseMode())) {
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
  QPalette palette = widget_->palette();
  palette.setColor(QPalette::Window, ToQColor(design.backColour));
  widget_->setPalette(palette);
  widget_->setAutoFillBackground(true);
  const QPixmap icon = ProgramIcon();
  if (!icon.isNull()) widget_->setWindowIcon(icon);
}

QtWindow::~QtWindow() {
  sockets_.clear();
  controls_.clear();
  progressBar_.reset();
}

Control& QtWindow::addStatic(const ControlDesign& d) {
  auto* label = new QLabel(Q(d.caption), widget_.get());
  Place(label, d);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  SetTextColour(label, d.foreColour);
  if (d.hasBackColour) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, ToQColor(d.backColour));
    label->setPalette(palette);
    label->setAutoFillBackground(true);
  }
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

TcpSocket& QtWindow::addTcpSocket(const std::string&) {
  sockets_.push_back(std::make_unique<QtTcpSocket>());
  return *sockets_.back();
}

void QtWindow::closed() {
  UiLog("unload", widget_->windowTitle(), {});
  for (auto& socket : sockets_) socket->close();
  widget_->hide();
  QCoreApplication::exit(0);  // the loop ends once the running handlers have returned
}

UnloadMode QtWindow::takePendingCloseMode() {
  return std::exchange(pendingCloseMode_, UnloadMode::ControlMenu);
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
    reaction();
    break;
  }
  return false;
}

void DestroyWatch::watch(QWidget& widget, std::function<void()> reaction) {
  watched_.emplace_back(&widget, std::move(reaction));
}

void DestroyWatch::forget(QWidget& widget) {
  std::erase_if(watched_, [&widget](const auto& watch) { return watch.first == &widget; });
}

namespace {

// SIGTERM comes through a socket pair, to be handled on the window's thread as a close request
// from another program. The handler that was there before comes back when this object goes.
class TerminationRequests {
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
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    installed_ = ::sigaction(SIGTERM, &action, &previous_) == 0;
  }
  ~TerminationRequests() {
    if (installed_) ::sigaction(SIGTERM, &previous_, nullptr);
    writeEnd_ = -1;
  }
  TerminationRequests(const TerminationRequests&) = delete;
  TerminationRequests& operator=(const TerminationRequests&) = delete;

 private:
  static void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t sent = ::write(writeEnd_, &byte, 1);
  }
  static inline int writeEnd_ = -1;
  UniqueFd read_, write_;
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction previous_ {};
  bool installed_ = false;
};

}  // namespace

QtToolkit::QtToolkit(std::string commandLine) : commandLine_(std::move(commandLine)) {
  static const bool accessible = (QAccessible::installFactory(&FormAccessible), true);
  static_cast<void>(accessible);
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
  const TerminationRequests termination([&form] { form.requestClose(UnloadMode::TaskManager); });
  const QMetaObject::Connection sessionEnd =
      QObject::connect(qApp, &QGuiApplication::commitDataRequest, [&form](QSessionManager&) {
        Guarded([&form] { form.setPendingCloseMode(UnloadMode::AppWindows); });
      });
  // A window destroyed by another X client ends the program as "完成" would.
  destroyWatch_.watch(*form.widget(), [&form] {
    Guarded([&form] { form.requestClose(UnloadMode::TaskManager); });
  });

  // The whole design is on the screen before the run starts: its first echo may block the
  // window's thread for a second.
  form.widget()->show();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  handleEventsUntil(deadline, [&form] { return form.widget()->painted(); });
  doEvents();  // hands the painted window to the display

  QTimer activation;
  activation.setSingleShot(true);
  QObject::connect(&activation, &QTimer::timeout,
                   [&form] { Guarded([&form] { form.activateOnce(); }); });
  activation.start(0);
  running_ = true;
  const int exitCode = form.isUnloaded() ? 0 : QApplication::exec();
  running_ = false;
  destroyWatch_.forget(*form.widget());
  QObject::disconnect(sessionEnd);
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
  UiLog("messagebox", Q(title), Q(text));
  // Another X client may destroy the box: nobody could answer it, so the program cannot go on.
  constexpr int kDestroyed = -1;
  destroyWatch_.watch(box, [&box] { box.done(kDestroyed); });
  const int pressed = box.exec();
  destroyWatch_.forget(box);
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
    UiLog("notice", widget_.windowTitle(), label->text());
    widget_.show();
  }
  ~QtNotice() override { UiLog("notice-closed", widget_.windowTitle(), {}); }
  QtNotice(const QtNotice&) = delete;
  QtNotice& operator=(const QtNotice&) = delete;

 private:
  QWidget widget_;
};

}  // namespace

std::unique_ptr<Notice> QtToolkit::showNotice(const std::string& title, const std::string& text) {
  return std::make_unique<QtNotice>(title, text);
}

}  // namespace platform::qt
