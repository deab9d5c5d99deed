// The Qt and POSIX layer as a contract backend, beside the fake.
#include "platform/qt/posix_clock.h"
#include "platform/qt/qt_toolkit.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

class QtBackend : public Backend {
 public:
  platform::Toolkit& toolkit() override { return toolkit_; }
  platform::Clock& clock() override { return clock_; }
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse) override {
    return ServeLocally(std::move(steps), refuse);
  }
  // The system's own texts, in the language the backend tests run in.
  std::string describe(const char* error) const override {
    return std::string(error) == "reset" ? "連線被對方重設" : "連線被拒絕";
  }

 private:
  platform::qt::QtToolkit toolkit_{""};
  platform::qt::PosixClock clock_;
};

}  // namespace

std::vector<BackendMaker> Backends() {
  return {{"Fake", MakeFakeBackend}, {"Qt", [] { return std::make_unique<QtBackend>(); }}};
}

}  // namespace contract
