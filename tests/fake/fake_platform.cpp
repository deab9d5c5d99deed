#include "tests/fake/fake_platform.h"

#include <algorithm>
#include <cstdio>

namespace fake {

using namespace std::chrono;

bool EventQueue::runDue() {
  bool ran = false;
  while (!events_.empty() && events_.begin()->first.first <= now_) {
    auto event = std::move(events_.begin()->second);
    events_.erase(events_.begin());
    deepest = std::max(deepest, ++depth_);
    event();  // may run events itself, through a nested wait
    --depth_;
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
  stop();  // like every layer: a new connection ends the one before, and its bytes go
  readAll();
  connects.push_back({host, port, queue_.now()});
  if (scripts.empty()) return;
  for (const SocketStep& step : scripts.front()) {
    pending_.push_back(queue_.schedule(queue_.now() + step.after, [this, step] {
      if (step.kind == SocketStep::Data) {
        keep(step.bytes.data(), step.bytes.size());
        raiseDataArrival();
        return;
      }
      stop();  // a failure or the peer's close ends the connection
      if (step.kind == SocketStep::Error) raiseError(10054, step.description);
      if (step.kind == SocketStep::PeerClose) raiseClose();
    }));
  }
  scripts.pop_front();
}

std::optional<platform::Ipv4Address> FakeIcmp::resolveFirstIpv4(const std::string& host) {
  unsigned a = 256, b = 256, c = 256, d = 256;
  char more = 0;
  // NOLINTNEXTLINE(cert-err34-c): a dotted address or not, the range check says which
  if (std::sscanf(host.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &more) == 4 &&
      (a | b | c | d) < 256)
    return platform::Ipv4Address{std::uint8_t(a), std::uint8_t(b), std::uint8_t(c),
                                 std::uint8_t(d)};
  const auto found = names.find(host);
  if (found == names.end() || found->second.empty()) return std::nullopt;
  return found->second.front();
}

class FakeEchoHandle : public platform::EchoHandle {
 public:
  explicit FakeEchoHandle(FakeIcmp& icmp) : icmp_(icmp) { ++icmp_.handles; }
  ~FakeEchoHandle() override { --icmp_.handles; }
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
  if (busy) throw platform::Error(26, "檔案忙碌中", true);
  if (errors.empty()) return;
  const platform::Error error = errors.front();
  errors.pop_front();
  throw platform::Error(error);
}
platform::Error NotFound(const std::string& path) {
  return platform::Error(2, "無法開啟 " + path + "：沒有此一檔案或目錄");
}
}  // namespace

// The old version under the staged copy's name, as the layers keep it.
class FakeKeptVersion : public platform::KeptVersion {
 public:
  FakeKeptVersion(FakeFiles& files, std::string aside, std::string target)
      : files_(files), aside_(std::move(aside)), target_(std::move(target)) {}
  ~FakeKeptVersion() override {
    if (!left_) files_.files.erase(aside_);
  }
  void putBack() override {
    files_.log_.push_back("put-back " + target_);
    ThrowNext(noErrors_, files_.putBackBusy);
    files_.files[target_] = files_.files.at(aside_);
  }
  std::string keepForGood() override {
    const std::string folder = target_.substr(0, target_.rfind('/') + 1);
    std::string name = platform::KeptOldName(target_.substr(folder.size()), 0);
    files_.log_.push_back("keep-for-good " + folder + name);
    files_.files[folder + name] = files_.files.at(aside_);
    files_.files.erase(aside_);
    left_ = true;
    return name;
  }

 private:
  FakeFiles& files_;
  std::string aside_, target_;
  std::deque<platform::Error> noErrors_;
  bool left_ = false;
};

class FakeStagedCopy : public platform::StagedCopy {
 public:
  FakeStagedCopy(FakeFiles& files, std::string temporary, std::string target)
      : files_(files), temporary_(std::move(temporary)), target_(std::move(target)) {}
  ~FakeStagedCopy() override { files_.files.erase(temporary_); }
  std::int64_t length() const override { return std::int64_t(files_.files.at(temporary_).size()); }
  std::unique_ptr<platform::KeptVersion> putInPlace(bool keepOld) override {
    files_.log_.push_back(std::string(keepOld ? "put-in-place-keeping " : "put-in-place ") +
                          target_);
    ThrowNext(files_.placeErrors, files_.alwaysBusy);
    const auto old = files_.files.find(target_);
    std::unique_ptr<platform::KeptVersion> kept;
    if (keepOld && old != files_.files.end()) {
      files_.files[temporary_ + "-old"] = old->second;
      kept = std::make_unique<FakeKeptVersion>(files_, temporary_ + "-old", target_);
    }
    files_.files[target_] = files_.files.at(temporary_);
    files_.files.erase(temporary_);
    return kept;
  }

 private:
  FakeFiles& files_;
  std::string temporary_, target_;
};

class FakeStartedProgram : public platform::StartedProgram {
 public:
  FakeStartedProgram(EventQueue& queue, ProgramRun run)
      : queue_(queue), run_(std::move(run)), ends_(queue.now() + run_.after) {}
  platform::ProgramState state() override {
    return queue_.now() < ends_ ? platform::ProgramState{} : run_.end;
  }

 private:
  EventQueue& queue_;
  ProgramRun run_;
  TimePoint ends_;
};

class FakeFolder : public platform::Folder {
 public:
  FakeFolder(FakeFiles& files, std::string path) : files_(files), path_(std::move(path)) {}
  std::string pathOf(const std::string& name) const override { return path_ + "/" + name; }
  std::string findNormalFile(const std::string& name) override {
    files_.log_.push_back("find " + pathOf(name));
    return files_.files.count(pathOf(name)) != 0 ? name : "";
  }
  std::int64_t fileLength(const std::string& name) override {
    const std::string path = pathOf(name);
    files_.log_.push_back("length " + path);
    if (const auto reported = files_.reportedLength.find(path);
        reported != files_.reportedLength.end())
      return reported->second;
    const auto found = files_.files.find(path);
    if (found == files_.files.end()) throw NotFound(path);
    return std::int64_t(found->second.size());
  }
  std::unique_ptr<platform::StagedCopy> stageCopy(
      const std::string& source, const std::string& target,
      const std::function<void()>& whileCopying) override {
    files_.log_.push_back("stage " + pathOf(source) + " " + pathOf(target));
    ThrowNext(files_.stageErrors, false);
    const auto found = files_.files.find(pathOf(source));
    if (found == files_.files.end()) throw NotFound(pathOf(source));
    const std::string number = std::to_string(1000000 + ++files_.copies_).substr(1);
    const std::string temporary = pathOf(platform::StagedCopyPrefix(target) + number);
    files_.files[temporary] = found->second;
    auto copy = std::make_unique<FakeStagedCopy>(files_, temporary, pathOf(target));
    // The copy reads the file first: what is scheduled meanwhile happens after that.
    const TimePoint done = files_.queue_.now() + files_.copyTime;
    while (files_.queue_.now() < done) {
      files_.queue_.runUntil(std::min(done, files_.queue_.now() + 100ms));
      whileCopying();
    }
    return copy;
  }
  void removeStaleCopies(const std::string& target) override {
    files_.log_.push_back("remove-stale " + pathOf(target));
    std::erase_if(files_.files, [&](const auto& file) {
      return file.first.rfind(path_ + "/", 0) == 0 &&
             platform::IsStagedCopyOf(file.first.substr(path_.size() + 1), target);
    });
  }
  void deleteFile(const std::string& name) override {
    files_.log_.push_back("delete " + pathOf(name));
    ThrowNext(files_.deleteErrors, false);
    if (files_.files.erase(pathOf(name)) == 0) throw NotFound(pathOf(name));
  }
  void checkIsProgram(const std::string& name, const std::string& /*replacing*/) override {
    const auto found = files_.files.find(pathOf(name));
    if (found == files_.files.end()) throw NotFound(pathOf(name));
    if (found->second.empty()) throw platform::Error(8, "新版程式是空的檔案：" + pathOf(name));
    if (found->second[0] == '<') throw platform::Error(8, "新版程式不是程式：" + pathOf(name));
  }
  std::unique_ptr<platform::StartedProgram> startProgram(const std::string& name) override {
    files_.log_.push_back("start " + pathOf(name) + " in " + path_);
    ThrowNext(files_.startErrors, false);
    if (files_.files.count(pathOf(name)) == 0) throw NotFound(pathOf(name));
    files_.started.push_back(files_.files.at(pathOf(name)));
    const auto run = files_.programRuns.find(files_.started.back());
    return std::make_unique<FakeStartedProgram>(
        files_.queue_, run == files_.programRuns.end() ? ProgramRun{} : run->second);
  }

 private:
  FakeFiles& files_;
  std::string path_;
};

std::unique_ptr<platform::Folder> FakeFiles::programFolder() {
  if (noProgramFolder) throw platform::Error(2, "找不到本程式所在的資料夾");
  return std::make_unique<FakeFolder>(*this, "/opt/app");
}

std::unique_ptr<platform::Interface> FakeToolkit::holdMachineWide(const std::string& name) {
  struct Held : platform::Interface {
    explicit Held(int& held) : count(++held) {}
    ~Held() override { --count; }
    int& count;
  };
  const auto elsewhere = heldElsewhere.find(name);
  const bool taken = elsewhere != heldElsewhere.end() && queue_.now() < elsewhere->second;
  return taken || holds[name] > 0 ? nullptr : std::make_unique<Held>(holds[name]);
}

void FakeNetwork::setOnChange(std::function<void()> handler) {
  for (const auto id : news_) queue_.cancel(id);
  news_.clear();
  onChange_ = std::move(handler);
  if (!onChange_ || silent) return;
  for (const auto& [address, from] : routes)
    if (from > queue_.now()) news_.push_back(queue_.schedule(from, [this] { onChange_(); }));
}

}  // namespace fake
