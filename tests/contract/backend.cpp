// What every backend shares: local servers in threads of their own and folders of real
// files, on POSIX or Windows.
#include "tests/contract/backend.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#ifdef _WIN32
#include <ws2tcpip.h>

#include "platform/win32/system.h"
using Socket = platform::win32::UniqueSocket;
using Winsock = platform::win32::WinsockSession;
using SocketLength = int;
using SendLength = int;
constexpr int kNoSignal = 0, kShutBoth = SD_BOTH;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/qt/system.h"
using Socket = platform::qt::UniqueFd;
struct Winsock {};
using SocketLength = socklen_t;
using SendLength = std::size_t;
constexpr int kNoSignal = MSG_NOSIGNAL, kShutBoth = SHUT_RDWR;
#endif

namespace contract {

namespace fs = std::filesystem;

namespace {

class LocalPeer : public Peer {
 public:
  LocalPeer(std::vector<PeerStep> steps, bool refuse, const std::string& host, std::uint16_t port)
      : steps_(std::move(steps)),
        listener_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)),
        host_(host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    auto* named = reinterpret_cast<sockaddr*>(&address);
    SocketLength length = sizeof address;
    const int reuse = 1;  // the port of the last row's peer, still in TIME_WAIT
    if (port != 0)
      ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof reuse);
    static_cast<void>(::bind(listener_.get(), named, length));
    ::getsockname(listener_.get(), named, &length);
    port_ = ntohs(address.sin_port);
    if (refuse) return;  // the port stays ours, and nothing listens on it
    static_cast<void>(::listen(listener_.get(), 8));
    thread_ = std::thread([this] {
      while (const Socket fd{::accept(listener_.get(), nullptr, nullptr)}) {
        ++accepted_;
        serve(fd);
      }
    });
  }
  ~LocalPeer() override {
    ::shutdown(listener_.get(), kShutBoth);
    listener_.reset();
    if (thread_.joinable()) thread_.join();
  }
  std::string host() const override { return host_; }
  std::uint16_t port() const override { return port_; }
  int accepted() const override { return accepted_; }

 private:
  void serve(const Socket& fd) {
    for (const PeerStep& step : steps_) {
      if (step.kind == PeerStep::Send)
        ::send(fd.get(), reinterpret_cast<const char*>(step.bytes.data()),
               SendLength(step.bytes.size()), kNoSignal);
      if (step.kind == PeerStep::Pause) std::this_thread::sleep_for(step.pause);
      if (step.kind == PeerStep::Reset) {
        const linger abort{1, 0};  // closing now sends RST instead of FIN
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof abort);
      }
    }
  }
  [[maybe_unused]] Winsock winsock_;
  std::vector<PeerStep> steps_;
  Socket listener_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

std::string Utf8(const fs::path& path) {
  const auto text = path.u8string();
  return {text.begin(), text.end()};
}
fs::path FromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

fs::path Record(const fs::path& folder) {
  return folder.parent_path() / (folder.filename().native() + FromUtf8(".record").native());
}

}  // namespace

Backend::Backend() {
  static int made = 0;
  folder_ =
      fs::temp_directory_path() / FromUtf8("程式 資料夾 " + std::to_string(std::random_device{}()) +
                                           "-" + std::to_string(++made));
  fs::create_directory(folder_);
}

Backend::~Backend() {
  for (const auto& entry : fs::directory_iterator(path(""))) {
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
#ifdef _WIN32
    ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
  }
  // A program started from the folder may still be ending: Windows removes no file in use.
  std::error_code error;
  for (int i = 0; i < 100 && (fs::remove_all(path(""), error), error); ++i)
    std::this_thread::sleep_for(50ms);
  fs::remove(Record(folder_), error);
}

// On Windows a long name passes MAX_PATH: the helpers take it by its "\\?\" path. A short one goes
// through Windows' ordinary rules, as the main program's own file calls would.
fs::path Backend::path(const std::string& name) const {
#ifdef _WIN32
  const fs::path path = folder_ / FromUtf8(name);
  return path.native().size() < MAX_PATH ? path : fs::path(L"\\\\?\\" + path.native());
#else
  return folder_ / FromUtf8(name);
#endif
}

std::unique_ptr<Peer> Backend::serve(std::vector<PeerStep> steps, bool refuse) {
  return std::make_unique<LocalPeer>(std::move(steps), refuse, peerHost_, peerPort_);
}

std::string Backend::folder() { return Utf8(folder_ / ""); }

void Backend::write(const std::string& name, const std::string& content, bool hidden) {
  std::ofstream(path(name), std::ios::binary) << content;
#ifdef _WIN32
  if (hidden) ::SetFileAttributesW(path(name).c_str(), FILE_ATTRIBUTE_HIDDEN);
#else
  static_cast<void>(hidden);  // a hidden name starts with a dot
#endif
}

std::optional<std::string> Backend::read(const std::string& name) {
  std::ifstream in(path(name), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string{std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> Backend::names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path("")))
    names.push_back(Utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

void Backend::writeProgram(const std::string& name, bool executable, Ending ending) {
#ifdef _WIN32
  // This test program stands in: started with RECORD_START, it only records how, then ends as
  // the last bytes of its own file say.
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ::CopyFileW(self, path(name).c_str(), FALSE);
  const char* tails[] = {"", "EXIT3", "EXITM", "FAULT", "NODLL"};
  std::ofstream(path(name), std::ios::binary | std::ios::app) << tails[int(ending)];
  ::SetEnvironmentVariableW(L"RECORD_START", Record(folder_).c_str());
  static_cast<void>(executable);  // Windows runs what has a program's name
#else
  const char* ends[] = {"", "exit 3\n", "exit 255\n", "kill -SEGV $$\n", ""};
  write(name, ending == Ending::NotStarting
                  ? "#!/usr/bin/env orvane-missing-interpreter\n"
                  : "#!/bin/sh\n{ pwd; echo \"$#\"; } > '" + Record(folder_).string() + "'\n" +
                        ends[int(ending)]);
  fs::permissions(path(name), executable ? fs::perms(0755) : fs::perms(0644));
#endif
}

std::optional<std::string> Backend::started() {
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(Record(folder_), std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    if (!text.empty()) return text;
    std::this_thread::sleep_for(50ms);
  }
  return std::nullopt;
}

}  // namespace contract
