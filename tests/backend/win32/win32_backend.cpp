// The Win32 layer as a contract backend, beside the fake.
#include "platform/win32/win32_services.h"
#include "platform/win32/win32_toolkit.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

class Win32Backend : public Backend {
 public:
  platform::Toolkit& toolkit() override { return toolkit_; }
  platform::Clock& clock() override { return clock_; }
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse) override {
    return ServeLocally(std::move(steps), refuse);
  }
  std::string describe(const char* error) const override {
    return platform::win32::SystemMessage(std::string(error) == "reset" ? WSAECONNRESET
                                                                        : WSAECONNREFUSED);
  }
  // Wine hands a reset over as an orderly close, recv returning 0, with no error anywhere.
  bool seesResets() const override {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
  }

 private:
  platform::win32::Win32Toolkit toolkit_;
  platform::win32::Win32Clock clock_;
};

}  // namespace

std::vector<BackendMaker> Backends() {
  return {{"Fake", MakeFakeBackend}, {"Win32", [] { return std::make_unique<Win32Backend>(); }}};
}

}  // namespace contract
