// Files and shell: what an installer needs to put a new version in place and start it.
// Operations that fail throw platform::Error.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class Files {
 public:
  virtual ~Files() = default;
  // The name of the file at this path if it is a normal file (not hidden, system or a folder),
  // else empty text.
  virtual std::string findNormalFile(const std::string& path) = 0;
  virtual std::int64_t fileLength(const std::string& path) = 0;
  // Replaces target with a copy of source in one atomic step: a failure leaves target as it was.
  virtual void replaceFile(const std::string& source, const std::string& target) = 0;
  virtual void deleteFile(const std::string& path) = 0;
  // Starts a program detached, with no arguments, in the given working folder. False on failure.
  virtual bool startProgram(const std::string& path, const std::string& workingFolder) = 0;
  // Ends this process at once.
  [[noreturn]] virtual void terminateProcess(int exitCode) = 0;
  // The folder separator of this system.
  virtual char separator() const = 0;
};

}  // namespace platform
