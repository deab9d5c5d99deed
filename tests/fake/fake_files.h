// In-memory files, shell and OS query for the installer's unit tests. Every operation is logged
// in order; terminateProcess unwinds with ProcessEnded so a test can look at the end state.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/osquery.h"
#include "tests/fake/fake_platform.h"

namespace fake {

struct ProcessEnded {
  int exitCode;
};

class FakeFiles : public platform::Files {
 public:
  FakeFiles(EventQueue& queue, std::vector<std::string>& log) : queue_(queue), log_(log) {}

  std::string findNormalFile(const std::string& path) override;
  std::int64_t fileLength(const std::string& path) override;
  std::unique_ptr<platform::StagedCopy> stageCopy(const std::string& source,
                                                  const std::string& target) override;
  void removeStaleCopies(const std::string& target) override;
  void deleteFile(const std::string& path) override;
  void startProgram(const std::string& path, const std::string& workingFolder) override;
  [[noreturn]] void terminateProcess(int exitCode) override;
  char separator() const override { return '/'; }

  struct File {
    std::string content;
    bool hidden = false;
  };
  std::map<std::string, File> files;
  // How long a copy takes: what is scheduled meanwhile (a download still being written) happens
  // after the copy has read the file.
  Duration copyTime{};
  // Errors the next copies and placements raise, one each; the target is left as it was.
  std::deque<platform::Error> stageErrors, placeErrors, startErrors;
  bool alwaysBusy = false;
  // Lengths reported instead of the real one, by path (a file changed by someone else).
  std::map<std::string, std::int64_t> reportedLength;
  struct Start {
    std::string path, workingFolder;
  };
  std::vector<Start> started;

 private:
  friend class FakeStagedCopy;
  static void ThrowNext(std::deque<platform::Error>& errors, bool busy);
  EventQueue& queue_;
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
