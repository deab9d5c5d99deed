#include "platform/qt/qt_events.h"

#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

#include "platform/error.h"

namespace platform::qt {

void ReportCurrentException() {
  const auto report = CurrentErrorReport();
  const QString title = QFileInfo(QCoreApplication::applicationFilePath()).baseName();
  const QString text = QString::fromStdString(report.text());
  static_cast<void>(
      std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData()));
  // A window destroyed by another program leaves nobody to answer a message box.
  if (qApp != nullptr && !report.windowLost) {
    UiLog("messagebox", title, text);
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok);
    box.exec();
  }
  static_cast<void>(std::fflush(nullptr));
  ::_exit(1);
}

void UiLog(const char* event, const QString& control, const QString& text) {
  static FILE* log = [] {
    const char* path = std::getenv("PLATFORM_UI_LOG");
    return path != nullptr && *path != '\0' ? std::fopen(path, "a") : nullptr;
  }();
  if (log == nullptr) return;
  QString line = text;
  line.replace(u'\n', QStringLiteral("\\n"));
  static_cast<void>(std::fprintf(log, "%s\t%s\t%s\n", event, control.toUtf8().constData(),
                                 line.toUtf8().constData()));
  static_cast<void>(std::fflush(log));
}

}  // namespace platform::qt
