// A failure of a platform operation that the program does not trap: it reaches the program's
// standard error report with its number and description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class Error : public std::runtime_error {
 public:
  // inUse: the file is held by another program or access is denied for now; worth retrying.
  Error(std::int32_t number, const std::string& description, bool inUse = false)
      : std::runtime_error(description), number_(number), inUse_(inUse) {}
  std::int32_t number() const { return number_; }
  bool inUse() const { return inUse_; }

 private:
  std::int32_t number_;
  bool inUse_;
};

}  // namespace platform

namespace platform {

// The standard report of an error that the program does not trap: what the exception being
// handled says, as a number and a description, and the report's text.
struct ErrorReport {
  std::int32_t number;
  std::string description;
  std::string text() const;
};
ErrorReport CurrentErrorReport();

}  // namespace platform
