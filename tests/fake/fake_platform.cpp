#include "tests/fake/fake_platform.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace fake {

using namespace std::chrono;

bool EventQueue::runDue() {
  bool ran = false;
  while (!events_.empty() && events_.begin()->first.first <= now_) {
    auto event = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    event();  // may run events itself, through a nested wait
    ran = true;
  }
  return ran;
}

void EventQueue::runUntil(TimePoint when) {
  for (auto due = next(); due && *due <= when; due = next()) {
    now_ = std::max(now_, *due);
    runDue();
  }
  now_ = std::max(now_, when);
}

void FakeSocket::connect(const std::string& host, std::uint16_t port) {
  Stop();  // like every layer: a new connection ends the one before
  received_.clear();
  connects.push_back({host, port, queue_.now()});
  if (scripts.empty()) return;
  for (const SocketStep& step : scripts.front()) {
    pending_.push_back(queue_.schedule(queue_.now() + step.after, [this, step] {
      if (step.kind == SocketStep::Data) {
        received_.insert(received_.end(), step.bytes.begin(), step.bytes.end());
        raiseDataArrival(received_.size());
        return;
      }
      Stop();  // a failure or the peer's close ends the connection
      if (step.kind == SocketStep::Error) raiseError(10054, step.description);
      if (step.kind == SocketStep::PeerClose) raiseClose();
    }));
  }
  scripts.pop_front();
}

int FakeToolkit::run(platform::Window& window) {
  static_cast<FakeWindow&>(window).activateOnce();
  while (!window.isUnloaded() && exitCodes.empty()) {
    const auto next = queue_.next();
    if (!next) break;  // idle for ever: the test looks at what the window shows
    queue_.runUntil(*next);
  }
  return exitCodes.empty() ? 0 : exitCodes.back();
}

platform::MessageAnswer FakeToolkit::messageBox(const std::string& text, const std::string& title,
                                                platform::MessageButtons buttons,
                                                platform::MessageAnswer defaultButton) {
  messageBoxes.push_back({text, title, buttons, defaultButton, queue_.now()});
  if (log) log->push_back("messagebox " + title);
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
  queue_.runUntil(next ? std::min(*next, deadline) : deadline);
}

bool FakeClock::setSystemTimeUtc(const platform::SystemTimeRecord& r) {
  setRequests.push_back(r);
  if (refuseSetting) return false;
  const local_seconds set = local_days{year{r.year} / r.month / r.day} + hours{r.hour} +
                            minutes{r.minute} + seconds{r.second};
  start += set - localNow();
  return true;
}

std::string FakeClock::shortDateText(year_month_day date) const {
  char text[16];
  static_cast<void>(std::snprintf(text, sizeof text, "%04d-%02u-%02u", int(date.year()),
                                  unsigned(date.month()), unsigned(date.day())));
  return text;
}

std::string FakeClock::longTimeText(hh_mm_ss<seconds> time) const {
  char text[16];
  static_cast<void>(std::snprintf(text, sizeof text, "%02d:%02d:%02d", int(time.hours().count()),
                                  int(time.minutes().count()), int(time.seconds().count())));
  return text;
}

std::optional<platform::Ipv4Address> FakeIcmp::resolveFirstIpv4(const std::string& host) {
  platform::Ipv4Address address{};
  const char *at = host.data(), *const end = at + host.size();
  for (std::size_t i = 0; i < address.size(); ++i) {
    unsigned octet = 256;
    if (i > 0 && (at == end || *at++ != '.')) break;
    at = std::from_chars(at, end, octet).ptr;
    if (octet > 255) break;
    address[i] = std::uint8_t(octet);
    if (i == 3 && at == end) return address;
  }
  const auto found = names.find(host);
  if (found == names.end() || found->second.empty()) return std::nullopt;
  return found->second.front();
}

class FakeEchoHandle : public platform::EchoHandle {
 public:
  explicit FakeEchoHandle(FakeIcmp& icmp) : icmp_(icmp) { ++icmp_.handles; }
  ~FakeEchoHandle() override { --icmp_.handles; }
  FakeEchoHandle(const FakeEchoHandle&) = delete;
  FakeEchoHandle& operator=(const FakeEchoHandle&) = delete;
  platform::EchoReply sendEcho(const platform::Ipv4Address& to, std::span<const std::uint8_t> data,
                               std::uint8_t ttl, std::uint32_t timeoutMs) override {
    std::string address;
    for (auto octet : to) address += (address.empty() ? "" : ".") + std::to_string(octet);
    icmp_.echoes.push_back(
        {address, {data.begin(), data.end()}, ttl, timeoutMs, icmp_.startups > icmp_.cleanups});
    if (icmp_.throwOnSend) throw std::runtime_error("entry point not found");
    const auto found = icmp_.answers.find(address);
    const EchoAnswer answer = found != icmp_.answers.end()
                                  ? found->second
                                  : EchoAnswer{EchoAnswer::ErrorStatus, timeoutMs, 11010};
    icmp_.queue_.block(milliseconds(std::min(answer.roundTripMs, timeoutMs)));
    if (answer.kind == EchoAnswer::NoReplyStored) return {0, 0, 0};
    return {1, answer.kind == EchoAnswer::Reply ? 0 : answer.status, answer.roundTripMs};
  }

 private:
  FakeIcmp& icmp_;
};

std::unique_ptr<platform::EchoHandle> FakeIcmp::openEchoHandle() {
  if (refuseHandle) return nullptr;
  return std::make_unique<FakeEchoHandle>(*this);
}

namespace {
void ThrowNext(std::deque<platform::Error>& errors, bool busy) {
  if (busy) throw platform::Error(26, "Text file busy", true);
  if (errors.empty()) return;
  const platform::Error error = errors.front();
  errors.pop_front();
  throw platform::Error(error);
}
std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
platform::Error NotFound(const std::string& path) {
  return platform::Error(2, "No such file or directory: " + path);
}
}  // namespace

class FakeStagedCopy : public platform::StagedCopy {
 public:
  FakeStagedCopy(FakeFiles& files, std::string temporary, std::string target)
      : files_(files), temporary_(std::move(temporary)), target_(std::move(target)) {}
  ~FakeStagedCopy() override { files_.files.erase(temporary_); }
  FakeStagedCopy(const FakeStagedCopy&) = delete;
  FakeStagedCopy& operator=(const FakeStagedCopy&) = delete;
  std::int64_t length() const override {
    return std::int64_t(files_.files.at(temporary_).content.size());
  }
  void putInPlace() override {
    files_.log_.push_back("put-in-place " + target_);
    ThrowNext(files_.placeErrors, files_.alwaysBusy);
    files_.files[target_] = files_.files.at(temporary_);
    files_.files.erase(temporary_);
  }

 private:
  FakeFiles& files_;
  std::string temporary_, target_;
};

std::string FakeFiles::findNormalFile(const std::string& path) {
  log_.push_back("find " + path);
  const auto found = files.find(path);
  return found == files.end() || found->second.hidden ? "" : NameOf(path);
}

std::int64_t FakeFiles::fileLength(const std::string& path) {
  log_.push_back("length " + path);
  if (const auto reported = reportedLength.find(path); reported != reportedLength.end())
    return reported->second;
  const auto found = files.find(path);
  if (found == files.end()) throw NotFound(path);
  return std::int64_t(found->second.content.size());
}

std::unique_ptr<platform::StagedCopy> FakeFiles::stageCopy(const std::string& source,
                                                           const std::string& target) {
  log_.push_back("stage " + source + " " + target);
  ThrowNext(stageErrors, false);
  const auto found = files.find(source);
  if (found == files.end()) throw NotFound(source);
  const std::string number = std::to_string(1000000 + ++copies_).substr(1);  // six digits
  const std::string temporary =
      FolderOf(target) + "/" + platform::StagedCopyPrefix(NameOf(target)) + number;
  files[temporary] = {found->second.content, false};
  auto copy = std::make_unique<FakeStagedCopy>(*this, temporary, target);
  queue_.runUntil(queue_.now() + copyTime);
  return copy;
}

void FakeFiles::removeStaleCopies(const std::string& target) {
  log_.push_back("remove-stale " + target);
  std::erase_if(files, [&](const auto& file) {
    return FolderOf(file.first) == FolderOf(target) &&
           platform::IsStagedCopyOf(NameOf(file.first), NameOf(target));
  });
}

void FakeFiles::deleteFile(const std::string& path) {
  log_.push_back("delete " + path);
  if (files.erase(path) == 0) throw NotFound(path);
}

void FakeFiles::startProgram(const std::string& path, const std::string& workingFolder) {
  log_.push_back("start " + path + " in " + workingFolder);
  ThrowNext(startErrors, false);
  if (files.count(path) == 0) throw NotFound(path);
  started.push_back(path);
}

}  // namespace fake
