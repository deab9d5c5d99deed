#include "tests/fake/fake_platform.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace fake {

// --- EventQueue -------------------------------------------------------------------------------

void EventQueue::advanceTo(TimePoint when) {
  if (when > now_) now_ = when;
}

std::uint64_t EventQueue::schedule(TimePoint when, std::function<void()> event) {
  const std::uint64_t id = nextId_++;
  events_.emplace(Key{std::max(when, now_), id}, std::move(event));
  return id;
}

void EventQueue::cancel(std::uint64_t id) {
  std::erase_if(events_, [id](const auto& entry) { return entry.first.id == id; });
}

bool EventQueue::runDue() {
  bool ran = false;
  while (!events_.empty() && events_.begin()->first.when <= now_) {
    auto event = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    event();  // may run events itself, through a nested wait
    ran = true;
  }
  return ran;
}

void EventQueue::runUntil(TimePoint when) {
  for (auto due = next(); due && *due <= when; due = next()) {
    advanceTo(*due);
    runDue();
  }
  advanceTo(when);
}

std::optional<TimePoint> EventQueue::next() const {
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first.when;
}

// --- Controls ---------------------------------------------------------------------------------

FakeControl::FakeControl(Kind kind, const platform::ControlDesign& design, EventQueue& queue)
    : kind_(kind),
      design_(design),
      queue_(queue),
      caption_(design.caption),
      foreColour_(design.foreColour) {}

void FakeControl::setCaption(const std::string& text) {
  caption_ = text;
  history_.push_back({text, queue_.now(), foreColour_});
}

void FakeControl::click() {
  if (enabled_ && onClick_) onClick_();
}

std::intptr_t FakeProgressBar::sendMessage(std::uint32_t message, std::uintptr_t,
                                           std::intptr_t lParam) {
  if (message == platform::kSetBarColour) barColour = platform::Colour(lParam);
  if (message == platform::kSetBackgroundColour) backgroundColour = platform::Colour(lParam);
  return 0;
}

// --- Socket -----------------------------------------------------------------------------------

SocketStep Data(Duration after, std::vector<std::uint8_t> bytes) {
  return {SocketStep::Kind::Data, after, std::move(bytes), {}};
}
SocketStep Failure(Duration after, std::string description) {
  return {SocketStep::Kind::Error, after, {}, std::move(description)};
}
SocketStep PeerClose(Duration after) { return {SocketStep::Kind::PeerClose, after, {}, {}}; }

void FakeSocket::close() {
  Stop();
  received_.clear();
  closes.push_back(queue_.now());
}

void FakeSocket::Stop() {
  for (auto id : pending_) queue_.cancel(id);
  pending_.clear();
  open_ = false;
}

void FakeSocket::connect(const std::string& host, std::uint16_t port) {
  Stop();  // like every layer: a new connection ends the one before
  received_.clear();
  open_ = true;
  connects.push_back({host, port, queue_.now()});
  if (scripts.empty()) return;
  for (const SocketStep& step : scripts.front())
    pending_.push_back(queue_.schedule(queue_.now() + step.after, [this, step] { fire(step); }));
  scripts.pop_front();
}

void FakeSocket::fire(const SocketStep& step) {
  switch (step.kind) {
    case SocketStep::Kind::Data:
      received_.insert(received_.end(), step.bytes.begin(), step.bytes.end());
      if (onData_) onData_(std::int32_t(received_.size()));
      break;
    case SocketStep::Kind::Error:
      Stop();
      if (onError_) onError_(10061, step.description);
      break;
    case SocketStep::Kind::PeerClose:
      Stop();
      if (onClose_) onClose_();
      break;
  }
}

std::vector<std::uint8_t> FakeSocket::readAll() { return std::exchange(received_, {}); }

// --- Window and toolkit -----------------------------------------------------------------------

FakeControl& FakeWindow::add(FakeControl::Kind kind, const platform::ControlDesign& d) {
  controls_.push_back(std::make_unique<FakeControl>(kind, d, queue_));
  return *controls_.back();
}

platform::Control& FakeWindow::addStatic(const platform::ControlDesign& d) {
  return add(FakeControl::Kind::Static, d);
}
platform::Button& FakeWindow::addButton(const platform::ControlDesign& d) {
  return add(FakeControl::Kind::Button, d);
}
platform::Control& FakeWindow::addPicture(const platform::ControlDesign& d) {
  return add(FakeControl::Kind::Picture, d);
}
platform::ProgressBar& FakeWindow::addProgressBar(const platform::ControlDesign&) {
  progressBar_ = std::make_unique<FakeProgressBar>();
  return *progressBar_;
}
platform::TcpSocket& FakeWindow::addTcpSocket(const std::string&) {
  socket_ = std::make_unique<FakeSocket>(queue_);
  return *socket_;
}

FakeControl& FakeWindow::control(const std::string& name) {
  for (auto& c : controls_)
    if (c->design().name == name) return *c;
  throw std::out_of_range("no control " + name);
}

std::unique_ptr<platform::Window> FakeToolkit::createWindow(const platform::WindowDesign& design) {
  auto window = std::make_unique<FakeWindow>(design, queue_);
  window_ = window.get();
  return window;
}

int FakeToolkit::run(platform::Window&) {
  window_->activateOnce();
  while (!window_->isUnloaded() && exitCodes.empty()) {
    const auto next = queue_.next();
    if (!next) break;  // idle for ever: the test looks at what the window shows
    queue_.advanceTo(*next);
    queue_.runDue();
  }
  return exitCodes.empty() ? 0 : exitCodes.back();
}

platform::MessageAnswer FakeToolkit::messageBox(const std::string& text, const std::string& title,
                                                platform::MessageButtons buttons,
                                                platform::MessageAnswer defaultButton) {
  messageBoxes.push_back({text, title, buttons, defaultButton, queue_.now()});
  if (callLog) callLog->push_back("messagebox " + title);
  if (onMessageBox) onMessageBox(messageBoxes.back());
  queue_.runUntil(queue_.now() + answerAfter);
  if (answers.empty()) return defaultButton;
  const auto answer = answers.front();
  answers.pop_front();
  return answer;
}

void FakeToolkit::waitForEvents(TimePoint deadline) {
  ++waits;
  if (queue_.runDue()) return;
  const auto next = queue_.next();
  queue_.advanceTo(next ? std::min(*next, deadline) : deadline);
  queue_.runDue();
}

// --- Clock ------------------------------------------------------------------------------------

std::chrono::local_seconds FakeClock::localNow() const {
  return localAtStart + std::chrono::floor<std::chrono::seconds>(queue_.elapsed());
}

bool FakeClock::setSystemTimeUtc(const platform::SystemTimeRecord& record) {
  setRequests.push_back({record, queue_.now()});
  return !refuseSetting;
}

void FakeClock::sleep(std::chrono::milliseconds duration) {
  sleeps.push_back({duration, queue_.now()});
  queue_.advanceTo(queue_.now() + duration);
}

std::string FakeClock::shortDateText(std::chrono::year_month_day date) const {
  char text[16];
  static_cast<void>(std::snprintf(text, sizeof text, "%04d-%02u-%02u", int(date.year()),
                                  unsigned(date.month()), unsigned(date.day())));
  return text;
}

std::string FakeClock::longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const {
  char text[16];
  static_cast<void>(std::snprintf(text, sizeof text, "%02d:%02d:%02d", int(time.hours().count()),
                                  int(time.minutes().count()), int(time.seconds().count())));
  return text;
}

// --- ICMP -------------------------------------------------------------------------------------

EchoAnswer Reply(std::uint32_t roundTripMs) { return {EchoAnswer::Kind::Reply, roundTripMs, 0}; }
EchoAnswer ErrorStatus(std::uint32_t status, std::uint32_t afterMs) {
  return {EchoAnswer::Kind::ErrorStatus, afterMs, status};
}
EchoAnswer NoReplyStored() { return {EchoAnswer::Kind::NoReplyStored, 0, 0}; }

std::string DottedText(const platform::Ipv4Address& a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]);
}

namespace {
std::optional<platform::Ipv4Address> ParseDotted(const std::string& text) {
  platform::Ipv4Address address{};
  const char* at = text.data();
  const char* const end = at + text.size();
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i > 0 && (at == end || *at++ != '.')) return std::nullopt;
    unsigned octet = 0;
    const auto [next, error] = std::from_chars(at, end, octet);
    if (error != std::errc{} || octet > 255) return std::nullopt;
    address[i] = static_cast<std::uint8_t>(octet);
    at = next;
  }
  if (at != end) return std::nullopt;
  return address;
}
}  // namespace

std::optional<platform::Ipv4Address> FakeIcmp::resolveFirstIpv4(const std::string& host) {
  if (auto dotted = ParseDotted(host)) return dotted;
  const auto found = names.find(host);
  if (found == names.end() || found->second.empty()) return std::nullopt;
  return found->second.front();
}

class FakeEchoHandle : public platform::EchoHandle {
 public:
  explicit FakeEchoHandle(FakeIcmp& icmp) : icmp_(icmp) { ++icmp_.handlesOpened; }
  ~FakeEchoHandle() override { ++icmp_.handlesClosed; }
  platform::EchoReply sendEcho(const platform::Ipv4Address& destination,
                               std::span<const std::uint8_t> data, std::uint8_t ttl,
                               std::uint32_t timeoutMs) override {
    return icmp_.send(destination, data, ttl, timeoutMs);
  }

 private:
  FakeIcmp& icmp_;
};

std::unique_ptr<platform::EchoHandle> FakeIcmp::openEchoHandle() {
  if (refuseHandle) return nullptr;
  return std::make_unique<FakeEchoHandle>(*this);
}

platform::EchoReply FakeIcmp::send(const platform::Ipv4Address& destination,
                                   std::span<const std::uint8_t> data, std::uint8_t ttl,
                                   std::uint32_t timeoutMs) {
  const std::string address = DottedText(destination);
  echoes.push_back({address, {data.begin(), data.end()}, ttl, timeoutMs, startups > cleanups});
  if (throwOnSend) throwOnSend();
  const auto found = answers.find(address);
  const auto blockFor = [&](std::uint32_t ms) {
    queue_.advanceTo(queue_.now() + std::chrono::milliseconds(std::min(ms, timeoutMs)));
  };
  if (found == answers.end()) {
    blockFor(timeoutMs);
    return {1, 11010, 0};  // IP_REQ_TIMED_OUT
  }
  const EchoAnswer& answer = found->second;
  blockFor(answer.roundTripMs);
  switch (answer.kind) {
    case EchoAnswer::Kind::Reply:
      return {1, 0, answer.roundTripMs};
    case EchoAnswer::Kind::ErrorStatus:
      return {1, answer.status, answer.roundTripMs};
    case EchoAnswer::Kind::NoReplyStored:
      return {0, 0, 0};
  }
  return {};
}

}  // namespace fake
