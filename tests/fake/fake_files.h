// In-memory files, shell and OS query for the installer's unit tests. Every operation is logged
// in order; terminateProcess unwinds with ProcessEnded so a test can look at the end state.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/osquery.h"

namespace fake {

struct ProcessEnded {
  int exitCode;
};

class FakeFiles : public platform::Files {
 public:
  explicit FakeFiles(std::vector<std::string>& log) : log_(log) {}

  std::string findNormalFile(const std::string& path) override;
  std::int64_t fileLength(const std::string& path) override;
  void replaceFile(const std::string& source, const std::string& target) override;
  void deleteFile(const std::string& path) override;
  bool startProgram(const std::string& path, const std::string& workingFolder) override;
  [[noreturn]] void terminateProcess(int exitCode) override;
  char separator() const override { return '/'; }

  struct File {
    std::string content;
    bool hidden = false;
  };
  std::map<std::string, File> files;
  // Errors the next replacements raise, one each; the target is left as it was.
  std::deque<platform::Error> replaceErrors;
  bool alwaysInUse = false;
  // Lengths reported instead of the real one, by path (a file that changed size under us).
  std::map<std::string, std::int64_t> reportedLength;
  struct Start {
    std::string path, workingFolder;
  };
  std::vector<Start> started;

 private:
  std::vector<std::string>& log_;
};

class FakeOsQuery : public platform::OsQuery {
 public:
  explicit FakeOsQuery(std::vector<std::string>& log) : log_(log) {}
  std::vector<platform::OperatingSystemItem> operatingSystems() override;
  std::vector<platform::OperatingSystemItem> items = {{"Debian GNU/Linux 12 (bookworm)", "12"}};
  bool unreachable = false;

 private:
  std::vector<std::string>& log_;
};

}  // namespace fake
