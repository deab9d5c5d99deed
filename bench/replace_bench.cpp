// Runs the installer's file replacement once: replace_bench SOURCE TARGET.
#include <cstdio>

#include "platform/error.h"
#include "platform/qt/posix_files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    static_cast<void>(std::fprintf(stderr, "usage: replace_bench SOURCE TARGET\n"));
    return 2;
  }
  try {
    platform::qt::PosixFiles().replaceFile(argv[1], argv[2]);
  } catch (const platform::Error& e) {
    static_cast<void>(std::fprintf(stderr, "%s\n", e.what()));
    return 1;
  }
  return 0;
}
