// What every callback of the Qt layer shares: the standard report of an error the program does
// not trap, the guard that keeps exceptions from crossing Qt's frames, and the log of the window.
#pragma once

#include <QString>
#include <utility>

namespace platform::qt {

// The standard report of the error being handled (a message box with its number and description,
// also on standard error), then the end of the process with exit code 1.
[[noreturn]] void ReportCurrentException();

// Runs a handler called from Qt: an exception must not unwind through Qt's own frames.
template <class Handler>
void Guarded(Handler&& handler) noexcept {
  try {
    std::forward<Handler>(handler)();
  } catch (...) {
    ReportCurrentException();
  }
}

// What the window shows, line by line, for tests and demos that watch a real run from outside:
// set PLATFORM_UI_LOG to a file name. Lines: "<event>\t<control>\t<text>".
void UiLog(const char* event, const QString& control, const QString& text);

}  // namespace platform::qt
