// The backend tests run inside the lab (private user, network and mount namespaces): the echo
// tests then reach only the loopback device and no test can move this machine's clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>

#include "tests/backend/backend_env.h"

int main(int argc, char** argv) {
  if (!InLab() && std::getenv("IN_LAB") == nullptr) {
    ::setenv("LAB_OPTIONAL", "1", 1);
    std::vector<char*> args{const_cast<char*>(ORVANE_IN_LAB)};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(ORVANE_IN_LAB, args.data());  // returns only when namespaces cannot be made
  }
  // The regional texts are tested in Traditional Chinese, the programs' own language.
  ::setenv("LC_ALL", "zh_TW.UTF-8", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
