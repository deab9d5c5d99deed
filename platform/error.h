// A failure of a platform operation that the program does not trap: it reaches the program's
// standard error report with its number and description.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  std::int32_t number() const { return number_; }

 private:
  std::int32_t number_;
};

}  // namespace platform
