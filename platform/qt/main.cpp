// The entry point of every program on Linux: builds the Qt and POSIX services and hands them over.
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/qt/platform.h"
#include "platform/qt/safe_start.h"
#include "platform/report.h"

namespace {

// Errors raised in event handlers reach the report too; every handler of the layer is guarded
// already, this is the backstop.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      platform::EndWithErrorReport();
    }
  }
};

// Qt ends a program that finds no display with abort(), a core file and advice to reinstall it:
// while the toolkit starts, a fatal message is the standard report of that failure instead.
QtMessageHandler gQtsOwn = nullptr;
const char* gProgram = "";

void WhileTheToolkitStarts(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
  if (type != QtFatalMsg) {
    if (gQtsOwn != nullptr) return gQtsOwn(type, context, message);
    static_cast<void>(std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData()));
    return;
  }
  const char* display = std::getenv("DISPLAY");
  const platform::ErrorReport report{ENXIO, std::string("無法開啟顯示器（DISPLAY=") +
                                                (display != nullptr ? display : "") +
                                                "），視窗無法顯示。"};
  static_cast<void>(std::fprintf(stderr, "%s: %s\n", gProgram, report.text().c_str()));
  static_cast<void>(std::fflush(nullptr));
  ::_exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  platform::qt::StartSafely();
  // The arguments are the program's, not the toolkit's: QApplication would act on the options it
  // knows (-reverse, -style, -platform ...) and remove them from argv.
  std::string arguments = platform::qt::ArgumentText(argc, argv);
  int toolkitArgc = 1;
  gProgram = argv[0] != nullptr ? argv[0] : "";
  gQtsOwn = qInstallMessageHandler(&WhileTheToolkitStarts);
  Application app(toolkitArgc, argv);
  qInstallMessageHandler(gQtsOwn);
  platform::qt::QtPlatform qt(std::move(arguments), argv[0] != nullptr ? argv[0] : "");
  try {
    return programMain(qt.services);
  } catch (...) {
    platform::EndWithErrorReport();
  }
}
