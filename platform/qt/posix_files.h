// Files and shell on POSIX, and the OS query through Qt.
#pragma once

#include "platform/files.h"
#include "platform/osquery.h"

namespace platform::qt {

class PosixFiles : public Files {
 public:
  std::string findNormalFile(const std::string& path) override;
  std::int64_t fileLength(const std::string& path) override;
  // Streams source into a temporary file beside target, flushes it and gives it target's
  // permission bits; putting it in place renames it over target, so target is either the old file
  // or the whole new one. Paths are bytes, passed to the system as they are.
  std::unique_ptr<StagedCopy> stageCopy(const std::string& source,
                                        const std::string& target) override;
  void removeStaleCopies(const std::string& target) override;
  void deleteFile(const std::string& path) override;
  void startProgram(const std::string& path, const std::string& workingFolder) override;
  [[noreturn]] void terminateProcess(int exitCode) override;
  char separator() const override { return '/'; }
};

class QtOsQuery : public OsQuery {
 public:
  std::vector<OperatingSystemItem> operatingSystems() override;
};

}  // namespace platform::qt
