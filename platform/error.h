// A failure of a platform operation that the program does not trap: it reaches the program's
// standard error report with its number and description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class Error : public std::runtime_error {
 public:
  // inUse: the file is busy for now (held by a program that is still closing); worth retrying.
  Error(std::int32_t number, const std::string& description, bool inUse = false)
      : std::runtime_error(description), number_(number), inUse_(inUse) {}
  std::int32_t number() const { return number_; }
  bool inUse() const { return inUse_; }

 private:
  std::int32_t number_;
  bool inUse_;
};

// A window of the program was destroyed by another program: no one can answer it, so the report
// goes to the terminal only.
class WindowDestroyed : public Error {
 public:
  using Error::Error;
};
constexpr std::int32_t kWindowDestroyedError = 1400;  // ERROR_INVALID_WINDOW_HANDLE

// The standard report of an error that the program does not trap: what the exception being
// handled says, as a number and a description, and the report's text.
struct ErrorReport {
  std::int32_t number;
  std::string description;
  bool windowLost = false;  // a window was destroyed from outside: show no message box
  std::string text() const;
};
ErrorReport DescribeCurrentError();

}  // namespace platform
