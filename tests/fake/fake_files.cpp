#include "tests/fake/fake_files.h"

namespace fake {

std::string FakeFiles::findNormalFile(const std::string& path) {
  log_.push_back("find " + path);
  const auto found = files.find(path);
  if (found == files.end() || found->second.hidden) return {};
  return path.substr(path.rfind('/') + 1);
}

std::int64_t FakeFiles::fileLength(const std::string& path) {
  log_.push_back("length " + path);
  if (const auto reported = reportedLength.find(path); reported != reportedLength.end())
    return reported->second;
  const auto found = files.find(path);
  if (found == files.end()) throw platform::Error(53, "File not found: " + path);
  return std::int64_t(found->second.content.size());
}

void FakeFiles::ThrowNext(std::deque<platform::Error>& errors, bool busy) {
  if (busy) throw platform::Error(26, "Text file busy", true);
  if (errors.empty()) return;
  const platform::Error error = errors.front();
  errors.pop_front();
  throw platform::Error(error);
}

class FakeStagedCopy : public platform::StagedCopy {
 public:
  FakeStagedCopy(FakeFiles& files, std::string content, std::string target)
      : files_(files), content_(std::move(content)), target_(std::move(target)) {}
  std::int64_t length() const override { return std::int64_t(content_.size()); }
  void putInPlace() override {
    files_.log_.push_back("put-in-place " + target_);
    FakeFiles::ThrowNext(files_.placeErrors, files_.alwaysBusy);
    files_.files[target_] = {content_, false};
  }

 private:
  FakeFiles& files_;
  std::string content_, target_;
};

std::unique_ptr<platform::StagedCopy> FakeFiles::stageCopy(const std::string& source,
                                                           const std::string& target) {
  log_.push_back("stage " + source + " " + target);
  ThrowNext(stageErrors, false);
  const auto found = files.find(source);
  if (found == files.end()) throw platform::Error(53, "File not found: " + source);
  auto copy = std::make_unique<FakeStagedCopy>(*this, found->second.content, target);
  queue_.runUntil(queue_.now() + copyTime);
  return copy;
}

void FakeFiles::removeStaleCopies(const std::string& target) {
  log_.push_back("remove-stale " + target);
}

void FakeFiles::deleteFile(const std::string& path) {
  log_.push_back("delete " + path);
  if (files.erase(path) == 0) throw platform::Error(53, "File not found: " + path);
}

void FakeFiles::startProgram(const std::string& path, const std::string& workingFolder) {
  log_.push_back("start " + path + " in " + workingFolder);
  ThrowNext(startErrors, false);
  started.push_back({path, workingFolder});
}

void FakeFiles::terminateProcess(int exitCode) {
  log_.push_back("terminate " + std::to_string(exitCode));
  throw ProcessEnded{exitCode};
}

std::vector<platform::OperatingSystemItem> FakeOsQuery::operatingSystems() {
  log_.push_back("os-query");
  if (unreachable) throw platform::Error(-2147217405, "The management service refused access");
  return items;
}

}  // namespace fake
