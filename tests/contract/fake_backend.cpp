// The fake platform as a contract backend: a peer is the script of the window's socket, files
// live in its map, a started program records itself.
#include "tests/contract/backend.h"
#include "tests/fake/fake_platform.h"

namespace contract {

namespace {

class FakePeer : public Peer {
 public:
  FakePeer(fake::FakeSocket& socket, bool refuse)
      : socket_(socket), before_(socket.connects.size()), refuse_(refuse) {}
  std::string host() const override { return "10.0.0.1"; }
  std::uint16_t port() const override { return 37; }
  int accepted() const override { return refuse_ ? 0 : int(socket_.connects.size() - before_); }

 private:
  fake::FakeSocket& socket_;
  std::size_t before_;
  bool refuse_;
};

class FakeBackend : public Backend {
 public:
  FakeBackend() { fake_.icmp.answers["127.0.0.1"] = {fake::EchoAnswer::Reply, 0}; }
  platform::Platform& platform() override { return fake_.platform; }
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse) override {
    fake::ConnectionScript script;
    fake::Duration at{};
    bool closes = true;
    for (const PeerStep& step : steps) {
      if (step.kind == PeerStep::Send) script.push_back(fake::Data(at, step.bytes));
      if (step.kind == PeerStep::Pause) at += step.pause;
      if (step.kind == PeerStep::Stream)
        for (int i = 0; i < 1000; ++i) script.push_back(fake::Data(at + i * 1ms, Bytes(1 << 16)));
      if (step.kind == PeerStep::Reset) script.push_back(fake::Failure(at, describe("reset")));
      closes = closes && step.kind != PeerStep::Stream && step.kind != PeerStep::Reset;
    }
    if (closes) script.push_back(fake::PeerClose(at));
    if (refuse) script = {fake::Failure(0ms, describe("refused"))};
    auto& socket = fake_.toolkit.window().socket;
    socket.scripts.push_back(script);
    return std::make_unique<FakePeer>(socket, refuse);
  }
  std::string describe(const char* error) const override {
    return std::string("fake: connection ") + error;
  }
  void click(platform::Button& button) override { static_cast<fake::FakeControl&>(button).click(); }
  void closeBox(platform::Window& window) override {
    static_cast<fake::FakeWindow&>(window).requestClose(platform::UnloadMode::ControlMenu);
  }
  void closeFromOutside(platform::Window& window) override {
    static_cast<fake::FakeWindow&>(window).requestClose(platform::UnloadMode::AppWindows);
  }
  bool refuseControls(platform::Window& window) override {
    static_cast<fake::FakeWindow&>(window).refuseControls = true;
    return true;
  }
  std::string folder() override { return "/contract/程式 資料夾/"; }
  void write(const std::string& name, const std::string& content, bool hidden) override {
    fake_.files.files[folder() + name] = {content, hidden};
  }
  void makeFolder(const std::string& name) override { fake_.files.folders.insert(folder() + name); }
  std::optional<std::string> read(const std::string& name) override {
    const auto found = fake_.files.files.find(folder() + name);
    if (found == fake_.files.files.end()) return std::nullopt;
    return found->second.content;
  }
  std::vector<std::string> names() override {
    std::vector<std::string> names;
    for (const auto& [path, file] : fake_.files.files)
      names.push_back(path.substr(folder().size()));
    return names;
  }
  std::unique_ptr<platform::Folder> openFolder() override {
    return fake_.files.openFolder(folder().substr(0, folder().size() - 1));
  }
  void writeProgram(const std::string& name, bool) override { write(name, "program", false); }
  std::optional<std::string> started() override {
    if (fake_.files.started.empty()) return std::nullopt;
    return fake_.log.back().substr(fake_.log.back().find(" in ") + 4) + "\n0\n";
  }

 private:
  fake::FakePlatform fake_;
};

}  // namespace

std::unique_ptr<Backend> MakeFakeBackend() { return std::make_unique<FakeBackend>(); }

}  // namespace contract
