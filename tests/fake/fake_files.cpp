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

void FakeFiles::replaceFile(const std::string& source, const std::string& target) {
  log_.push_back("replace " + source + " " + target);
  if (alwaysInUse) throw platform::Error(26, "Text file busy", true);
  if (!replaceErrors.empty()) {
    const platform::Error error = replaceErrors.front();
    replaceErrors.pop_front();
    throw platform::Error(error);
  }
  const auto found = files.find(source);
  if (found == files.end()) throw platform::Error(53, "File not found: " + source);
  files[target] = {found->second.content, false};
}

void FakeFiles::deleteFile(const std::string& path) {
  log_.push_back("delete " + path);
  if (files.erase(path) == 0) throw platform::Error(53, "File not found: " + path);
}

bool FakeFiles::startProgram(const std::string& path, const std::string& workingFolder) {
  log_.push_back("start " + path + " in " + workingFolder);
  started.push_back({path, workingFolder});
  return files.count(path) != 0;
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
