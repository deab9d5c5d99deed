// Runs the installer's replacement once, with its checks: replace_bench FOLDER SOURCE TARGET.
#include <cstdio>

#include "platform/error.h"
#include "platform/qt/files.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    static_cast<void>(std::fprintf(stderr, "usage: replace_bench FOLDER SOURCE TARGET\n"));
    return 2;
  }
  try {
    const auto folder = platform::qt::OpenFolder(argv[1]);
    const auto length = folder->fileLength(argv[2]);
    auto copy = folder->stageCopy(argv[2], argv[3], [] {});
    if (copy->length() != length || folder->fileLength(argv[2]) != length) return 1;
    copy->putInPlace();
  } catch (const platform::Error& e) {
    static_cast<void>(std::fprintf(stderr, "%s\n", e.what()));
    return 1;
  }
  return 0;
}
