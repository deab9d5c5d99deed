// The standard report of an error that the program does not trap, the guard that sends every
// error of a handler called by a toolkit there, and the log of what the window shows. Written
// once; each toolkit layer supplies the three hooks at the end.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace platform {

// The error being handled: its number and description on standard error, in the UI log and,
// unless the window it came from is gone, in a message box; then the process ends with code 1.
[[noreturn]] void EndWithErrorReport();

// Runs a handler called by a toolkit: an exception must not unwind through the toolkit's frames.
template <class Handler>
void Guarded(Handler&& handler) noexcept {
  try {
    std::forward<Handler>(handler)();
  } catch (...) {
    EndWithErrorReport();
  }
}

// What the window shows, line by line, when PLATFORM_UI_LOG names a file (the end-to-end tests and
// the demo watch a real run through it): "<event>\t<control>\t<text>", a newline as "\n".
void UiLog(const char* event, const std::string& control, const std::string& text);

namespace layer {
// The program's file name, without folder or extension: the report's title.
std::string ProgramName();
// A modal box with the text and an OK button, where one can be shown at all.
void ShowReportBox(const std::string& title, const std::string& text);
// Text as the window shows it (a byte of a file name that is not UTF-8 as U+FFFD).
std::string Displayable(const std::string& text);
// The file PLATFORM_UI_LOG names, opened to append; null without one.
std::FILE* OpenUiLog();
}  // namespace layer

}  // namespace platform
