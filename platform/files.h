// Files and shell: what an installer needs to put a new version in place and start it.
// Paths are the system's own bytes (UTF-8 on Windows). Operations that fail throw platform::Error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A whole copy of a file, made beside the file it is to replace under a temporary name. Until it
// is put in place the file it replaces is untouched; destroying it removes it.
class StagedCopy {
 public:
  virtual ~StagedCopy() = default;
  // The length of what was copied.
  virtual std::int64_t length() const = 0;
  // Replaces the target with the copy in one atomic step, with the target's permissions (or
  // attributes); a failure leaves the target as it was.
  virtual void putInPlace() = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  // The name of the file at this path if it is a normal file (not hidden, system or a folder),
  // else empty text.
  virtual std::string findNormalFile(const std::string& path) = 0;
  virtual std::int64_t fileLength(const std::string& path) = 0;
  // Copies source, which must be a regular file, into a temporary file beside target.
  virtual std::unique_ptr<StagedCopy> stageCopy(const std::string& source,
                                                const std::string& target) = 0;
  // Removes the temporary copies for target that an interrupted earlier run left behind.
  virtual void removeStaleCopies(const std::string& target) = 0;
  // Deletes the file, also a read-only one.
  virtual void deleteFile(const std::string& path) = 0;
  // Starts a program detached, with no arguments, in the given working folder.
  virtual void startProgram(const std::string& path, const std::string& workingFolder) = 0;
  // Ends this process at once.
  [[noreturn]] virtual void terminateProcess(int exitCode) = 0;
  // The folder separator of this system.
  virtual char separator() const = 0;
};

// Staged copies are named ".<target name>.new-" and six letters or digits, beside their target;
// a long target name is cut short so that the whole stays within the 255 bytes a file name may
// have (and is not cut inside a UTF-8 sequence).
constexpr std::size_t kStagedCopySuffixLength = 6;
std::string StagedCopyPrefix(const std::string& targetName);
bool IsStagedCopyOf(const std::string& entryName, const std::string& targetName);

}  // namespace platform
