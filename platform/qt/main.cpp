// The entry point of every program on Linux: builds the Qt and POSIX services and hands them over.
#include <unistd.h>

#include <QApplication>

#include "platform/qt/qt_events.h"
#include "platform/qt/qt_platform.h"
#include "platform/qt/safe_start.h"

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
      platform::qt::ReportCurrentException();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  platform::qt::StartSafely();
  // The arguments are the program's, not the toolkit's: QApplication would act on the options it
  // knows (-reverse, -style, -platform ...) and remove them from argv.
  std::string arguments = platform::qt::ArgumentText(argc, argv);
  int toolkitArgc = 1;
  Application app(toolkitArgc, argv);
  platform::qt::QtPlatform qt(std::move(arguments), argv[0] != nullptr ? argv[0] : "");
  try {
    return programMain(qt.services);
  } catch (...) {
    platform::qt::ReportCurrentException();
  }
}
