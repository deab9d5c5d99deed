// Runs the installer's replacement once, with its checks: replace_bench SOURCE TARGET.
#include <cstdio>

#include "platform/error.h"
#include "platform/qt/posix_files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    static_cast<void>(std::fprintf(stderr, "usage: replace_bench SOURCE TARGET\n"));
    return 2;
  }
  try {
    platform::qt::PosixFiles files;
    const auto length = files.fileLength(argv[1]);
    auto copy = files.stageCopy(argv[1], argv[2]);
    if (copy->length() != length || files.fileLength(argv[1]) != length) return 1;
    copy->putInPlace();
  } catch (const platform::Error& e) {
    static_cast<void>(std::fprintf(stderr, "%s\n", e.what()));
    return 1;
  }
  return 0;
}
