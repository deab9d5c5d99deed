// Files and shell on POSIX: every operation is taken relative to one open folder (openat,
// renameat, unlinkat, fstatat), so a folder of any depth works and renaming it meanwhile cannot
// redirect the work. Names are bytes, passed to the system as they are.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace platform::qt {

class PosixFiles : public Files {
 public:
  // argv[0]: where the caller found the program, a link perhaps.
  explicit PosixFiles(std::string invokedAs) : invokedAs_(std::move(invokedAs)) {}
  std::unique_ptr<Folder> programFolder() override;

 private:
  std::string invokedAs_;
};

// A folder opened by its path; throws platform::Error where it cannot be opened.
std::unique_ptr<Folder> OpenFolder(const std::string& path);

}  // namespace platform::qt
