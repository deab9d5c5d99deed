// The Qt and POSIX layer as the contract's backend, and the backend tests' entry:
// they run inside the lab (private user, network and mount namespaces), where the echo reaches
// only the loopback device and no test can move this machine's clock.
#include "tests/contract/backend.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <array>
#include <cstdlib>

#include "clocksetter/server_table.h"
#include "platform/qt/platform.h"
#include "tests/backend/backend_env.h"

namespace contract {

namespace {

// The socket's clock helper reaches only the table's servers, on port 37: the peers are the
// first of them, on the lab's own loopback device.
void ServeAsTheFirstTimeServer(Backend& backend) {
  static const std::string address = orvane::AddressOf(orvane::TimeServers()[0]);
  static const bool assigned = [] {
    const std::string cidr = address + "/32";
    std::array<const char*, 7> ip{"ip", "address", "replace", cidr.c_str(), "dev", "lo", nullptr};
    pid_t pid = -1;
    int status = -1;
    return InLab() &&
           ::posix_spawnp(&pid, "ip", nullptr, nullptr, const_cast<char**>(ip.data()), environ) ==
               0 &&
           ::waitpid(pid, &status, 0) == pid && status == 0;
  }();
  if (assigned) backend.servePeersAt(address, orvane::kTimePort);
}

class QtBackend : public Backend {
 public:
  QtBackend() { ServeAsTheFirstTimeServer(*this); }
  platform::Platform& platform() override { return qt_.services; }
  // The system's own texts, in the language the backend tests run in.
  std::string describe(const char* error) const override {
    return std::string(error) == "reset" ? "連線被對方重設" : "連線被拒絕";
  }
  // Qt makes every widget it is asked for; its one failure, no display, ends the program before
  // any window (an end-to-end case).
  bool refuseControls(platform::Window&) override { return false; }
  std::unique_ptr<platform::Folder> openFolder() override {
    return platform::qt::OpenFolder(folder());
  }
  void click(platform::Button& button) override {
    static_cast<platform::qt::QtButton&>(button).widget()->click();
  }

 private:
  platform::qt::QtPlatform qt_{"", ""};
};

}  // namespace

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<QtBackend>(); }

}  // namespace contract

// Only in the lab: where it cannot be made, in_lab ends with 77 and the case is skipped. Listing
// the cases runs none and needs no lab.
int main(int argc, char** argv) {
  const bool listing = std::any_of(argv + 1, argv + argc, [](const char* argument) {
    return std::string(argument) == "--gtest_list_tests";
  });
  if (std::getenv("IN_LAB") == nullptr && !listing) {
    std::vector<char*> args{const_cast<char*>(ORVANE_IN_LAB)};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(ORVANE_IN_LAB, args.data());
    return 1;
  }
  // The regional texts are tested in Traditional Chinese, the programs' own language.
  ::setenv("LC_ALL", "zh_TW.UTF-8", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
