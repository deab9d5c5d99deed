// Files and shell on Win32. A name is made a full path once (GetFullPathNameW, which drops a
// trailing dot or space as Windows does), and that one form names the file for the search, the
// copy, the delete and the start: "\\?\" before it for the file functions, which then take paths
// past MAX_PATH, and as it is for the shell and for the user.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace platform::win32 {

class Win32Files : public Files {
 public:
  std::unique_ptr<Folder> programFolder() override;
};

// A folder by its path.
std::unique_ptr<Folder> OpenFolder(const std::string& path);

}  // namespace platform::win32
