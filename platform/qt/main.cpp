// The entry point of every program on Linux: builds the Qt and POSIX services and hands them over.
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <exception>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/qt/posix_clock.h"
#include "platform/qt/posix_files.h"
#include "platform/qt/posix_icmp.h"
#include "platform/qt/qt_toolkit.h"

namespace {

platform::Toolkit* gToolkit = nullptr;

// The standard report of the error being handled, then the end of the program with exit code 1.
[[noreturn]] void ReportCurrentException() {
  const std::string title =
      QFileInfo(QCoreApplication::applicationFilePath()).baseName().toStdString();
  const auto report = platform::CurrentErrorReport();
  const std::string text = report.text();
  static_cast<void>(std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str()));
  if (gToolkit && !report.windowLost)
    gToolkit->messageBox(text, title, platform::MessageButtons::Ok, platform::MessageAnswer::Ok);
  static_cast<void>(std::fflush(nullptr));
  ::_exit(1);
}

// Errors raised in event handlers reach the report too, instead of unwinding through Qt.
class Application : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      ReportCurrentException();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The arguments are the program's, not the toolkit's: QApplication would act on the options it
  // knows (-reverse, -style, -platform ...) and remove them from argv.
  std::string arguments = platform::qt::ArgumentText(argc, argv);
  int toolkitArgc = 1;
  Application app(toolkitArgc, argv);
  platform::qt::QtToolkit toolkit(std::move(arguments));
  gToolkit = &toolkit;
  platform::qt::PosixClock clock;
  platform::qt::PosixIcmp icmp;
  platform::qt::PosixFiles files;
  platform::qt::QtOsQuery osQuery;
  platform::Platform platform{toolkit, clock, icmp, files, osQuery};
  try {
    return programMain(platform);
  } catch (...) {
    ReportCurrentException();
  }
}
