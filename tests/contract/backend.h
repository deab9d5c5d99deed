// The contract suite: one set of cases per platform interface, written once against the interface
// and run on the target's layer through its Backend (MakeBackend, defined by each test program).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace contract {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// What a server does on each connection it accepts; after the last step it closes in order.
struct PeerStep {
  enum Kind { Send, Pause, Reset } kind;
  Bytes bytes;
  std::chrono::milliseconds pause{};
};
inline PeerStep Send(Bytes bytes) { return {PeerStep::Send, std::move(bytes)}; }
inline PeerStep Pause(std::chrono::milliseconds ms) { return {PeerStep::Pause, {}, ms}; }
inline const PeerStep kReset{PeerStep::Reset, {}};

class Peer {
 public:
  virtual ~Peer() = default;
  virtual std::string host() const = 0;
  virtual std::uint16_t port() const = 0;
  virtual int accepted() const = 0;  // connections so far
};

// The target's layer with local servers and a folder of real files; the layer's backend says
// what only it knows.
class Backend {
 public:
  Backend();
  virtual ~Backend();
  virtual platform::Platform& platform() = 0;
  // The system's description of an error ("reset", "refused"), where a case checks it.
  virtual std::string describe(const char* error) const = 0;
  virtual bool isWine() const { return false; }
  virtual void click(platform::Button& button) = 0;
  // Makes the window system refuse the window's next controls; false where it cannot be made to.
  virtual bool refuseControls(platform::Window& window) = 0;
  // The backend's own folder, opened as the programs open theirs.
  virtual std::unique_ptr<platform::Folder> openFolder() = 0;

  // A server running the steps on every connection; with refuse, none listens at its address.
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse = false);
  // Where the servers listen: 127.0.0.1 on a free port unless the layer reaches only some.
  void servePeersAt(std::string host, std::uint16_t port) {
    peerHost_ = std::move(host);
    peerPort_ = port;
  }
  // The folder's path (ending in the separator), and what is in it.
  std::string folder();
  void write(const std::string& name, const std::string& content, bool hidden = false);
  std::optional<std::string> read(const std::string& name);
  std::vector<std::string> names();
  // A program there that records, when started, its working folder and argument count (written
  // as a download is, not executable, unless told), then ends as told: with code 3 or -1, by a
  // crash of its own, or not started at all, as the system's loader ends a program it cannot
  // run (a missing interpreter, a missing library); the record, once it is there.
  enum class Ending { Normally, WithCode3, WithCodeMinus1, Crashing, NotStarting };
  void writeProgram(const std::string& name, bool executable = true,
                    Ending ending = Ending::Normally);
  std::optional<std::string> started();
  // A name's path in the folder, as the helpers reach it.
  std::filesystem::path path(const std::string& name) const;

 private:
  std::filesystem::path folder_;
  std::string peerHost_ = "127.0.0.1";
  std::uint16_t peerPort_ = 0;
};

std::unique_ptr<Backend> MakeBackend();

// The fixture of every contract case: a fresh backend, and waits on its own clock.
class Contract : public testing::Test {
 protected:
  void SetUp() override { backend = MakeBackend(); }
  platform::Platform& P() { return backend->platform(); }
  void Wait(
      std::chrono::milliseconds time, const std::function<bool()>& done = [] { return false; }) {
    if (!done()) P().toolkit.handleEventsUntil(P().clock.monotonicNow() + time, done);
  }
  std::unique_ptr<Backend> backend;
};

}  // namespace contract
