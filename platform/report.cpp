#include "platform/report.h"

#include <cstdlib>

#include "platform/error.h"

namespace platform {

void EndWithErrorReport() {
  const ErrorReport report = DescribeCurrentError();
  const std::string title = layer::ProgramName(), text = layer::Displayable(report.text());
  static_cast<void>(std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str()));
  static_cast<void>(std::fflush(stderr));
  // A window destroyed by another program leaves nobody to answer a message box.
  if (!report.windowLost) {
    UiLog("messagebox", title, text);
    layer::ShowReportBox(title, text);
  }
  static_cast<void>(std::fflush(nullptr));
  std::_Exit(1);
}

void UiLog(const char* event, const std::string& control, const std::string& text) {
  static std::FILE* const log = layer::OpenUiLog();
  if (log == nullptr) return;
  std::string line = layer::Displayable(text);
  for (std::size_t at = 0; (at = line.find('\n', at)) != std::string::npos;)
    line.replace(at, 1, "\\n");
  static_cast<void>(std::fprintf(log, "%s\t%s\t%s\n", event, control.c_str(), line.c_str()));
  static_cast<void>(std::fflush(log));
}

}  // namespace platform
