// An in-memory platform for the programs' unit tests. Time is virtual: it moves only when the
// program sleeps, blocks in an echo, or waits with nothing to handle; scripted events (socket
// data, clicks, the close box) fire at their virtual times from the program's own event handling.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

// Virtual time and the events scheduled on it.
class EventQueue {
 public:
  TimePoint now() const { return now_; }
  Duration elapsed() const { return now_ - TimePoint{}; }
  void advanceTo(TimePoint when);
  std::uint64_t schedule(TimePoint when, std::function<void()> event);
  void cancel(std::uint64_t id);
  // Runs every event due by now, also those that become due while they run. True if any ran.
  bool runDue();
  // Moves time on to the given point, running the events on the way in their order.
  void runUntil(TimePoint when);
  std::optional<TimePoint> next() const;

 private:
  struct Key {
    TimePoint when;
    std::uint64_t id;
    bool operator<(const Key& o) const { return when != o.when ? when < o.when : id < o.id; }
  };
  TimePoint now_{};
  std::uint64_t nextId_ = 1;
  std::map<Key, std::function<void()>> events_;
};

class FakeControl : public platform::Button {
 public:
  enum class Kind { Static, Button, Picture };
  FakeControl(Kind kind, const platform::ControlDesign& design, EventQueue& queue);

  void setCaption(const std::string& text) override;
  std::string caption() const override { return caption_; }
  void setForeColour(platform::Colour colour) override { foreColour_ = colour; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const override { return enabled_; }
  void setOnClick(std::function<void()> handler) override { onClick_ = std::move(handler); }

  Kind kind() const { return kind_; }
  const platform::ControlDesign& design() const { return design_; }
  platform::Colour foreColour() const { return foreColour_; }
  // Every caption set since creation, with the virtual time of the change.
  struct CaptionChange {
    std::string text;
    TimePoint when;
    platform::Colour colour;
  };
  const std::vector<CaptionChange>& captionHistory() const { return history_; }
  // A click as the user makes it: only an enabled button reacts.
  void click();

 private:
  Kind kind_;
  platform::ControlDesign design_;
  EventQueue& queue_;
  std::string caption_;
  platform::Colour foreColour_;
  bool enabled_ = true;
  std::vector<CaptionChange> history_;
  std::function<void()> onClick_;
};

class FakeProgressBar : public platform::ProgressBar {
 public:
  void setMax(float max) override { max_ = max; }
  void setValue(float value) override { values_.push_back(value); }
  std::intptr_t sendMessage(std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;

  float max() const { return max_; }
  const std::vector<float>& values() const { return values_; }
  std::optional<platform::Colour> barColour, backgroundColour;

 private:
  float max_ = 0;
  std::vector<float> values_;
};

// What the server does on one connection, each step at a delay after the connect.
struct SocketStep {
  enum class Kind { Data, Error, PeerClose } kind;
  Duration after;
  std::vector<std::uint8_t> bytes;
  std::string description;
};
using ConnectionScript = std::vector<SocketStep>;
SocketStep Data(Duration after, std::vector<std::uint8_t> bytes);
SocketStep Failure(Duration after, std::string description);
SocketStep PeerClose(Duration after);

class FakeSocket : public platform::TcpSocket {
 public:
  explicit FakeSocket(EventQueue& queue) : queue_(queue) {}
  void close() override;
  void connect(const std::string& host, std::uint16_t port) override;
  std::vector<std::uint8_t> readAll() override;
  void setOnDataArrival(std::function<void(std::int32_t)> h) override { onData_ = std::move(h); }
  void setOnError(std::function<void(std::int32_t, const std::string&)> h) override {
    onError_ = std::move(h);
  }
  void setOnClose(std::function<void()> h) override { onClose_ = std::move(h); }

  // Each connect takes the next script; without one the server stays silent.
  std::deque<ConnectionScript> scripts;
  struct Connect {
    std::string host;
    std::uint16_t port;
    TimePoint when;
  };
  std::vector<Connect> connects;
  std::vector<TimePoint> closes;
  bool isOpen() const { return open_; }

 private:
  void fire(const SocketStep& step);
  void Stop();
  EventQueue& queue_;
  bool open_ = false;
  std::vector<std::uint8_t> received_;
  std::vector<std::uint64_t> pending_;
  std::function<void(std::int32_t)> onData_;
  std::function<void(std::int32_t, const std::string&)> onError_;
  std::function<void()> onClose_;
};

class FakeWindow : public platform::WindowBase {
 public:
  FakeWindow(const platform::WindowDesign& design, EventQueue& queue)
      : design_(design), queue_(queue) {}
  platform::Control& addStatic(const platform::ControlDesign& d) override;
  platform::Button& addButton(const platform::ControlDesign& d) override;
  platform::Control& addPicture(const platform::ControlDesign& d) override;
  platform::ProgressBar& addProgressBar(const platform::ControlDesign& d) override;
  platform::TcpSocket& addTcpSocket(const std::string& name) override;

  const platform::WindowDesign& design() const { return design_; }
  FakeControl& control(const std::string& name);
  const std::vector<std::unique_ptr<FakeControl>>& controls() const { return controls_; }
  FakeProgressBar& progressBar() { return *progressBar_; }
  FakeSocket& socket() { return *socket_; }
  std::optional<TimePoint> unloadedAt;

 private:
  void closed() override { unloadedAt = queue_.now(); }
  FakeControl& add(FakeControl::Kind kind, const platform::ControlDesign& d);
  platform::WindowDesign design_;
  EventQueue& queue_;
  std::vector<std::unique_ptr<FakeControl>> controls_;
  std::unique_ptr<FakeProgressBar> progressBar_;
  std::unique_ptr<FakeSocket> socket_;
};

struct MessageBoxShown {
  std::string text, title;
  platform::MessageButtons buttons;
  platform::MessageAnswer defaultButton;
  TimePoint when;
};

class FakeToolkit : public platform::Toolkit {
 public:
  explicit FakeToolkit(EventQueue& queue) : queue_(queue) {}
  std::unique_ptr<platform::Window> createWindow(const platform::WindowDesign& design) override;
  int run(platform::Window& window) override;
  platform::MessageAnswer messageBox(const std::string& text, const std::string& title,
                                     platform::MessageButtons buttons,
                                     platform::MessageAnswer defaultButton) override;
  void doEvents() override { queue_.runDue(); }
  void waitForEvents(TimePoint deadline) override;
  std::string commandLine() const override { return commandLineText; }
  std::string programFolder() const override { return programFolderText; }
  void endProgram(int exitCode) override { exitCodes.push_back(exitCode); }

  FakeWindow& window() { return *window_; }
  std::string commandLineText;
  std::string programFolderText = "/opt/app";
  std::vector<MessageBoxShown> messageBoxes;
  std::deque<platform::MessageAnswer> answers;  // the user's answers; else the default button
  // How long the user takes to answer a message box; its modal loop handles events meanwhile.
  Duration answerAfter{};
  std::vector<int> exitCodes;
  int waits = 0;  // passes through waitForEvents, to see that a wait sleeps instead of spinning
  // Where message boxes are logged among other platform calls, if anywhere.
  std::vector<std::string>* callLog = nullptr;
  // Called while a message box is up, as the user's reaction to it.
  std::function<void(const MessageBoxShown&)> onMessageBox;

 private:
  EventQueue& queue_;
  FakeWindow* window_ = nullptr;
};

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(EventQueue& queue) : queue_(queue) {}
  TimePoint monotonicNow() const override { return queue_.now(); }
  std::chrono::local_seconds localNow() const override;
  bool setSystemTimeUtc(const platform::SystemTimeRecord& record) override;
  void sleep(std::chrono::milliseconds duration) override;
  std::string shortDateText(std::chrono::year_month_day date) const override;
  std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const override;

  std::chrono::local_seconds localAtStart{
      std::chrono::local_days{std::chrono::year{2023} / 12 / 31} + 23h + 59min + 50s};
  bool refuseSetting = false;
  struct SetRequest {
    platform::SystemTimeRecord record;
    TimePoint when;
  };
  std::vector<SetRequest> setRequests;
  struct Sleep {
    std::chrono::milliseconds duration;
    TimePoint when;
  };
  std::vector<Sleep> sleeps;

 private:
  EventQueue& queue_;
};

// How one address answers an echo.
struct EchoAnswer {
  enum class Kind { Reply, ErrorStatus, NoReplyStored } kind;
  std::uint32_t roundTripMs = 0;
  std::uint32_t status = 0;
};
EchoAnswer Reply(std::uint32_t roundTripMs);
EchoAnswer ErrorStatus(std::uint32_t status, std::uint32_t afterMs = 0);
EchoAnswer NoReplyStored();

class FakeIcmp : public platform::Icmp {
 public:
  explicit FakeIcmp(EventQueue& queue) : queue_(queue) {}
  void startSocketLibrary() override { ++startups; }
  void cleanupSocketLibrary() override { ++cleanups; }
  std::optional<platform::Ipv4Address> resolveFirstIpv4(const std::string& host) override;
  std::unique_ptr<platform::EchoHandle> openEchoHandle() override;

  // Answers by dotted address; an address without one times out (status 11010, nothing stored
  // before the time-out passes).
  std::map<std::string, EchoAnswer> answers;
  // Host names and their addresses in the resolver's order; dotted texts resolve to themselves.
  std::map<std::string, std::vector<platform::Ipv4Address>> names;
  bool refuseHandle = false;
  std::function<void()> throwOnSend;

  int startups = 0, cleanups = 0, handlesOpened = 0, handlesClosed = 0;
  struct Echo {
    std::string destination;
    std::vector<std::uint8_t> data;
    std::uint8_t ttl;
    std::uint32_t timeoutMs;
    bool socketLibraryStarted;
  };
  std::vector<Echo> echoes;

 private:
  friend class FakeEchoHandle;
  platform::EchoReply send(const platform::Ipv4Address& destination,
                           std::span<const std::uint8_t> data, std::uint8_t ttl,
                           std::uint32_t timeoutMs);
  EventQueue& queue_;
};

std::string DottedText(const platform::Ipv4Address& address);

}  // namespace fake
