// An in-memory platform for the programs' unit tests. Time is virtual: it moves only while the
// program sleeps, blocks in an echo, waits with nothing to handle or a message box waits for its
// scripted user; scheduled events (socket data, clicks, a growing download) fire from the program's
// own event handling. Controls record what they showed; file operations are logged in order.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/platform.h"

namespace fake {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;
using Bytes = std::vector<std::uint8_t>;

class EventQueue {
 public:
  TimePoint now() const { return now_; }
  Duration elapsed() const { return now_ - TimePoint{}; }
  std::uint64_t schedule(TimePoint when, std::function<void()> event) {
    events_.emplace(Key{std::max(when, now_), nextId_}, std::move(event));
    return nextId_++;
  }
  void cancel(std::uint64_t id) {
    std::erase_if(events_, [id](const auto& event) { return event.first.second == id; });
  }
  // Runs every event due by now, also those that fall due meanwhile. True if any ran.
  bool runDue();
  // Moves time on to the given point, running the events on the way in their order.
  void runUntil(TimePoint when);
  // Moves time on without running anything: the thread is blocked (a sleep, an echo).
  void block(Duration time) { now_ += time; }
  std::optional<TimePoint> next() const {
    return events_.empty() ? std::nullopt : std::optional(events_.begin()->first.first);
  }
  int deepest = 0;  // how many events have run inside one another at most

 private:
  using Key = std::pair<TimePoint, std::uint64_t>;
  int depth_ = 0;
  TimePoint now_{};
  std::uint64_t nextId_ = 1;
  std::map<Key, std::function<void()>> events_;
};

class FakeControl : public platform::Button {
 public:
  FakeControl(const platform::ControlDesign& d, EventQueue& queue)
      : design(d), colour(d.foreColour), queue_(queue) {}
  void setCaption(const std::string& text) override {
    history.push_back({text, colour, queue_.now()});
  }
  std::string caption() const { return history.empty() ? design.caption : history.back().text; }
  void setForeColour(platform::Colour c) override { colour = c; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const override { return enabled_; }
  void setOnClick(std::function<void()> handler) override { onClick_ = std::move(handler); }
  // A click as the user makes it: a disabled button does not react.
  void click() {
    if (enabled_ && onClick_) onClick_();
  }

  struct Shown {
    std::string text;
    platform::Colour colour;
    TimePoint when;
  };
  const platform::ControlDesign design;
  std::vector<Shown> history;  // every caption since creation
  platform::Colour colour;

 private:
  EventQueue& queue_;
  bool enabled_ = true;
  std::function<void()> onClick_;
};

class FakeProgressBar : public platform::ProgressBar {
 public:
  void setMax(float m) override { max = m; }
  void setValue(float value) override { values.push_back(value); }
  void sendMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    if (wParam != 0) throw std::invalid_argument("the colour messages take no wParam");
    (message == platform::kSetBarColour ? bar : background) = platform::Colour(lParam);
  }
  float max = 0;
  std::vector<float> values;
  platform::Colour bar = 0, background = 0;
};

// What the server does on one connection, each step at its delay after the connect.
struct SocketStep {
  enum Kind { Data, Error, PeerClose } kind;
  Duration after;
  Bytes bytes;
  std::string description;
};
using ConnectionScript = std::vector<SocketStep>;
inline SocketStep Data(Duration after, Bytes bytes) {
  return {SocketStep::Data, after, std::move(bytes), {}};
}
inline SocketStep Failure(Duration after, std::string text) {
  return {SocketStep::Error, after, {}, std::move(text)};
}
inline SocketStep PeerClose(Duration after) { return {SocketStep::PeerClose, after, {}, {}}; }

class FakeSocket : public platform::TcpSocketBase {
 public:
  explicit FakeSocket(EventQueue& queue) : queue_(queue) {}
  void connect(const std::string& host, std::uint16_t port) override;

  std::deque<ConnectionScript> scripts;  // one per connect; without one the server is silent
  struct Connect {
    std::string host;
    std::uint16_t port;
    TimePoint when;
  };
  std::vector<Connect> connects;
  std::vector<TimePoint> closes;

 private:
  void disconnect() override {
    stop();
    closes.push_back(queue_.now());
  }
  void stop() {
    for (auto id : pending_) queue_.cancel(id);
    pending_.clear();
  }
  EventQueue& queue_;
  std::vector<std::uint64_t> pending_;
};

class FakeWindow : public platform::WindowBase {
 public:
  FakeWindow(const platform::WindowDesign& d, EventQueue& queue)
      : design(d), socket(queue), queue_(queue) {}
  platform::Control& addStatic(const platform::ControlDesign& d) override { return add(d); }
  platform::Button& addButton(const platform::ControlDesign& d) override { return add(d); }
  platform::Control& addPicture(const platform::ControlDesign& d) override { return add(d); }
  platform::ProgressBar& addProgressBar(const platform::ControlDesign& d) override {
    barDesign = d;
    return bar;
  }
  platform::TcpSocket& addTcpSocket(const std::string&) override { return socket; }
  FakeControl& control(const std::string& name) {
    for (auto& c : controls)
      if (c.design.name == name) return c;
    throw std::out_of_range("no control " + name);
  }

  const platform::WindowDesign design;
  std::deque<FakeControl> controls;
  FakeProgressBar bar;
  platform::ControlDesign barDesign;
  FakeSocket socket;
  std::optional<TimePoint> unloadedAt;

 private:
  void closed() override { unloadedAt = queue_.now(); }
  FakeControl& add(const platform::ControlDesign& d) { return controls.emplace_back(d, queue_); }
  EventQueue& queue_;
};

struct ProcessEnded {
  int exitCode;
};

struct MessageBoxShown {
  std::string text, title;
  platform::MessageButtons buttons;
  platform::MessageAnswer defaultButton;
  TimePoint when;
};

class FakeNotice : public platform::Notice {
 public:
  explicit FakeNotice(bool& closed) : closed_(closed) {}
  ~FakeNotice() override { closed_ = true; }

 private:
  bool& closed_;
};

class FakeToolkit : public platform::Toolkit {
 public:
  explicit FakeToolkit(EventQueue& queue) : queue_(queue) {}
  std::unique_ptr<platform::Window> createWindow(const platform::WindowDesign& design) override {
    auto window = std::make_unique<FakeWindow>(design, queue_);
    window_ = window.get();
    return window;
  }
  int run(platform::Window& window) override {
    running_ = true;
    static_cast<FakeWindow&>(window).activateOnce();
    // Until the window goes, or for ever idle: then the test looks at what the window shows.
    for (auto next = queue_.next(); next && !window.isUnloaded() && exitCodes.empty();
         next = queue_.next())
      queue_.runUntil(*next);
    return exitCodes.empty() ? 0 : exitCodes.back();
  }
  platform::MessageAnswer messageBox(const std::string& text, const std::string& title,
                                     platform::MessageButtons buttons,
                                     platform::MessageAnswer defaultButton) override {
    messageBoxes.push_back({text, title, buttons, defaultButton, queue_.now()});
    if (log) log->push_back("messagebox " + title);
    queue_.runUntil(queue_.now() + answerAfter);
    if (answers.empty()) return defaultButton;
    const auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void doEvents() override { queue_.runDue(); }
  bool waitForEvents(TimePoint deadline) override {
    if (queue_.now() >= deadline) return false;
    ++waits;
    if (queue_.runDue()) return true;
    const auto next = queue_.next();
    queue_.runUntil(next ? std::min(*next, deadline) : deadline);
    return true;
  }
  std::string commandLine() const override { return commandLineText; }
  // Without a message loop the process ends at once, as ProcessEnded.
  void endProgram(int exitCode) override {
    exitCodes.push_back(exitCode);
    if (log) log->push_back("end " + std::to_string(exitCode));
    if (!running_) throw ProcessEnded{exitCode};
  }
  std::unique_ptr<platform::Notice> showNotice(const std::string& title,
                                               const std::string& text) override {
    notices.emplace_back(title, text, false);
    return std::make_unique<FakeNotice>(std::get<2>(notices.back()));
  }
  // Held by another process until its time, if it is there; else by this one while it lives.
  std::unique_ptr<platform::Interface> holdMachineWide(const std::string& name) override;

  FakeWindow& window() { return *window_; }
  std::string commandLineText;
  std::vector<MessageBoxShown> messageBoxes;
  std::deque<platform::MessageAnswer> answers;  // the user's; else the default button
  Duration answerAfter{};  // the user's time to answer; the box's modal loop handles events
  std::vector<int> exitCodes;
  int waits = 0;  // passes through waitForEvents: a wait must sleep, not spin
  std::vector<std::string>* log = nullptr;  // where message boxes go among other calls
  std::deque<std::tuple<std::string, std::string, bool>> notices;  // title, text, closed yet
  std::map<std::string, TimePoint> heldElsewhere;  // names and when the other process lets go
  std::map<std::string, int> holds;                // names held by this process now

 private:
  EventQueue& queue_;
  FakeWindow* window_ = nullptr;
  bool running_ = false;
};

// Routes come at their time; each one's coming is news from the message loop, where the layer
// tells (silent: the program has to look again by itself).
class FakeNetwork : public platform::Network {
 public:
  explicit FakeNetwork(EventQueue& queue) : queue_(queue) {}
  bool hasRouteTo(const std::string& address) override {
    ++looks;
    const auto route = routes.find(address);
    return route != routes.end() && route->second <= queue_.now();
  }
  void setOnChange(std::function<void()> handler) override;

  std::map<std::string, TimePoint> routes;  // by address: from when a route is there
  bool silent = false;
  int looks = 0;

 private:
  EventQueue& queue_;
  std::function<void()> onChange_;
  std::vector<std::uint64_t> news_;
};

// The wall clock runs with virtual time from the start below (local time is UTC here); setting
// it moves it, as on a real system. Its texts are ISO 8601's.
class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(EventQueue& queue) : queue_(queue) {}
  TimePoint monotonicNow() const override { return queue_.now(); }
  std::chrono::local_seconds localNow() const override {
    return start + std::chrono::floor<std::chrono::seconds>(queue_.elapsed());
  }
  bool setSystemTimeUtc(const platform::SystemTimeRecord& r) override {
    using namespace std::chrono;
    setRequests.push_back(r);
    if (refuseSetting) return false;
    start += local_days{year{r.year} / r.month / r.day} + hours{r.hour} + minutes{r.minute} +
             seconds{r.second} - localNow();
    return true;
  }
  void sleep(std::chrono::milliseconds duration) override {
    sleeps.emplace_back(duration, queue_.now());
    queue_.block(duration);
  }
  std::string shortDateText(std::chrono::year_month_day d) const override {
    return Text("%04d-%02u-%02u", int(d.year()), unsigned(d.month()), unsigned(d.day()));
  }
  std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> t) const override {
    return Text("%02d:%02d:%02d", int(t.hours().count()), int(t.minutes().count()),
                int(t.seconds().count()));
  }

  std::chrono::local_seconds start{std::chrono::local_days{std::chrono::year{2023} / 12 / 31} +
                                   23h + 59min + 50s};
  bool refuseSetting = false;
  std::vector<platform::SystemTimeRecord> setRequests;
  std::vector<std::pair<std::chrono::milliseconds, TimePoint>> sleeps;

 private:
  template <class... Fields>
  static std::string Text(const char* format, Fields... fields) {
    char text[16];
    static_cast<void>(std::snprintf(text, sizeof text, format, fields...));
    return text;
  }
  EventQueue& queue_;
};

// How one address answers an echo; an address without one does not answer at all.
struct EchoAnswer {
  enum Kind { Reply, ErrorStatus, NoReplyStored } kind;
  std::uint32_t roundTripMs = 0, status = 0;
};

class FakeIcmp : public platform::Icmp {
 public:
  explicit FakeIcmp(EventQueue& queue) : queue_(queue) {}
  void startSocketLibrary() override { ++startups; }
  void cleanupSocketLibrary() override { ++cleanups; }
  std::optional<platform::Ipv4Address> resolveFirstIpv4(const std::string& host) override;
  std::unique_ptr<platform::EchoHandle> openEchoHandle() override;

  std::map<std::string, EchoAnswer> answers;                        // by dotted address
  std::map<std::string, std::vector<platform::Ipv4Address>> names;  // dotted texts resolve as is
  bool refuseHandle = false, throwOnSend = false;
  int startups = 0, cleanups = 0, handles = 0;  // handles open now
  struct Echo {
    std::string destination;
    Bytes data;
    std::uint8_t ttl;
    std::uint32_t timeoutMs;
    bool socketLibraryStarted;
  };
  std::vector<Echo> echoes;

 private:
  friend class FakeEchoHandle;
  EventQueue& queue_;
};

// How a program started from a file goes: it ends after a while, as `end` says; by default at
// once, normally.
struct ProgramRun {
  Duration after{};
  platform::ProgramState end{platform::ProgramState::Ended, 0, {}};
};

// Files by full path; a folder is a prefix of paths. The program's own folder is /opt/app.
class FakeFiles : public platform::Files {
 public:
  FakeFiles(EventQueue& queue, std::vector<std::string>& log) : queue_(queue), log_(log) {}
  std::unique_ptr<platform::Folder> programFolder() override;

  std::map<std::string, std::string> files;  // the content of each
  Duration copyTime{};  // what is scheduled meanwhile happens after the copy read the file
  std::deque<platform::Error> stageErrors, placeErrors, deleteErrors, startErrors;  // one by one
  bool alwaysBusy = false, putBackBusy = false;
  bool noProgramFolder = false;
  std::map<std::string, std::int64_t> reportedLength;  // a file someone else keeps changing
  std::vector<std::string> started;                    // the content of each program started
  std::map<std::string, ProgramRun> programRuns;       // by the content it was started from

 private:
  friend class FakeStagedCopy;
  friend class FakeKeptVersion;
  friend class FakeFolder;
  EventQueue& queue_;
  std::vector<std::string>& log_;
  int copies_ = 0;
};

class FakeOsQuery : public platform::OsQuery {
 public:
  explicit FakeOsQuery(std::vector<std::string>& log) : log_(log) {}
  std::vector<platform::OperatingSystemItem> operatingSystems() override {
    log_.push_back("os-query");
    if (unreachable) throw platform::Error(-2147217405, "The management service refused access");
    return items;
  }
  std::vector<platform::OperatingSystemItem> items = {{"Debian GNU/Linux 12 (bookworm)", "12"}};
  bool unreachable = false;

 private:
  std::vector<std::string>& log_;
};

// The whole fake platform: its parts on one virtual time, its calls in one log.
struct FakePlatform {
  std::vector<std::string> log;
  EventQueue queue;
  FakeToolkit toolkit{queue};
  FakeClock clock{queue};
  FakeIcmp icmp{queue};
  FakeNetwork network{queue};
  FakeFiles files{queue, log};
  FakeOsQuery osQuery{log};
  platform::Platform platform{toolkit, clock, icmp, network, files, osQuery};
};

}  // namespace fake
