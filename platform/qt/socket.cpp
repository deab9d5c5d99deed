#include "platform/qt/socket.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>

#include "platform/report.h"

namespace platform::qt {

namespace {

namespace helper = orvane::settime;
using helper::Kind;
constexpr const char* kInstalledHelper = "/usr/libexec/orvane-settime";
// The helper answers at once, unless another run is setting the clock just then.
constexpr auto kSetAnswerTime = std::chrono::seconds(5);

// A notifier may be dropped from inside its own signal: it goes once the signal is over.
void Drop(QSocketNotifier*& notifier) {
  if (notifier == nullptr) return;
  notifier->setEnabled(false);
  notifier->deleteLater();
  notifier = nullptr;
}

// The sockets with a connection, on the window's thread.
std::vector<QtTcpSocket*>& Connected() {
  static std::vector<QtTcpSocket*> sockets;
  return sockets;
}

}  // namespace

std::string ClockHelperPath() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto beside = self.parent_path() / "orvane-settime";
  return !error && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : kInstalledHelper;
}

ClockHelper::ClockHelper(ClockHelper&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), channel_(std::move(other.channel_)) {}

ClockHelper& ClockHelper::operator=(ClockHelper&& other) noexcept {
  ClockHelper gone(std::move(*this));
  pid_ = std::exchange(other.pid_, -1);
  channel_ = std::move(other.channel_);
  return *this;
}

ClockHelper::~ClockHelper() {
  channel_.reset();  // it ends when the channel closes
  if (pid_ <= 0) return;
  // Where it runs as its own user, the window cannot kill it: it ends by itself, at once.
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

ClockHelper ClockHelper::Start(int& error) {
  std::array<int, 2> ends{};
  ClockHelper helper;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
    error = errno;
    return helper;
  }
  helper.channel_.reset(ends[0]);
  const UniqueFd helperEnd(ends[1]);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, helperEnd.get(), STDIN_FILENO);
  std::string path = ClockHelperPath();
  std::array<char*, 2> arguments{path.data(), nullptr};
  std::array<char*, 1> noEnvironment{nullptr};
  pid_t pid = -1;
  error =
      ::posix_spawn(&pid, path.c_str(), &actions, nullptr, arguments.data(), noEnvironment.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (error == 0) helper.pid_ = pid;
  return error == 0 ? std::move(helper) : ClockHelper();
}

QtTcpSocket::QtTcpSocket(const std::string& name) {
  notifiers_.setObjectName(QString::fromStdString(name));
  pending_.setSingleShot(true);
  QObject::connect(&pending_, &QTimer::timeout, [this] {
    Guarded([this] { pendingError_ != 0 ? fail(pendingError_) : dispatch(); });
  });
}

QtTcpSocket::~QtTcpSocket() { endConnection(); }

void QtTcpSocket::connect(const std::string& remoteHost, std::uint16_t remotePort) {
  close();
  if (!ready_) ready_ = ClockHelper::Start(startError_);
  int error = ready_ ? ECONNABORTED : startError_;
  const auto found = ResolveFirstIpv4(remoteHost);
  if (!found) {
    error = EHOSTUNREACH;
  } else if (ready_ && helper::WriteFrame(ready_.channel(), Kind::Connect,
                                          helper::Server{*found, remotePort})) {
    connected_ = std::move(ready_);
    Connected().push_back(this);
    notifier_ = new QSocketNotifier(connected_.channel(), QSocketNotifier::Read, &notifiers_);
    QObject::connect(notifier_, &QSocketNotifier::activated,
                     [this] { Guarded([this] { readable(); }); });
    return;
  }
  // A failure found at once is still raised from the message loop, like any other.
  pendingError_ = error;
  pending_.start(0);
}

void QtTcpSocket::disconnect() {
  const bool idle = !connected_;
  endConnection();
  if (idle && !ready_ && !windowClosed_) ready_ = ClockHelper::Start(startError_);
}

void QtTcpSocket::closeWithWindow() {
  windowClosed_ = true;
  close();
  ready_ = ClockHelper();
}

void QtTcpSocket::endConnection() {
  pending_.stop();
  pendingError_ = 0;
  Drop(notifier_);
  received_.clear();
  frames_.clear();
  std::erase(Connected(), this);
  connected_ = ClockHelper();
}

bool QtTcpSocket::receive(int timeoutMs) {
  pollfd ready{connected_.channel(), POLLIN, 0};
  if (timeoutMs > 0 && ::poll(&ready, 1, timeoutMs) <= 0) return true;
  std::array<std::uint8_t, 16384> bytes{};
  const ssize_t got = ::recv(connected_.channel(), bytes.data(), bytes.size(), MSG_DONTWAIT);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  received_.insert(received_.end(), bytes.begin(), bytes.begin() + got);
  while (auto frame = helper::TakeFrame(received_)) frames_.push_back(std::move(*frame));
  return true;
}

void QtTcpSocket::readable() {
  const bool open = receive(0);
  dispatch();
  if (!open && connected_) fail(ECONNABORTED);  // the helper ended without a word
}

// One event at a time: a handler may close the socket, and what came after it is then dropped.
void QtTcpSocket::dispatch() {
  while (!frames_.empty() && connected_) {
    const helper::Frame frame = std::move(frames_.front());
    frames_.pop_front();
    if (frame.kind == Kind::Data) {
      keep(frame.payload.data(), frame.payload.size());
      raiseDataArrival();
    } else if (frame.kind == Kind::Closed) {
      endConnection();
      raiseClose();
    } else if (frame.kind == Kind::Failed) {
      fail(frame.as<std::int32_t>().value_or(EIO));
    }
  }
}

bool QtTcpSocket::askToSet(std::int64_t utcSeconds) {
  if (!helper::WriteFrame(connected_.channel(), Kind::Set, utcSeconds)) return false;
  const auto deadline = std::chrono::steady_clock::now() + kSetAnswerTime;
  for (;;) {
    const auto done = std::find_if(frames_.begin(), frames_.end(),
                                   [](const helper::Frame& f) { return f.kind == Kind::Done; });
    if (done != frames_.end()) {
      const bool set = done->as<std::uint8_t>() == 1;
      frames_.erase(done);
      if (!frames_.empty()) pending_.start(0);  // what came meanwhile, from the message loop
      return set;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !receive(int(left.count()))) return false;
  }
}

bool QtTcpSocket::SetClockFromReply(std::int64_t utcSeconds) {
  const auto& sockets = Connected();
  return std::any_of(sockets.begin(), sockets.end(),
                     [&](QtTcpSocket* socket) { return socket->askToSet(utcSeconds); });
}

void QtTcpSocket::fail(int error) {
  endConnection();
  raiseError(error, SystemText(error));
}

bool PosixNetwork::hasRouteTo(const std::string& address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(37);
  if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
  const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

void PosixNetwork::setOnChange(std::function<void()> handler) {
  onChange_ = std::move(handler);
  Drop(notifier_);
  news_.reset();
  if (!onChange_) return;
  news_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (!news_ ||
      ::bind(news_.get(), reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
    news_.reset();  // then the user looks again now and then
    return;
  }
  notifier_ = new QSocketNotifier(news_.get(), QSocketNotifier::Read, &notifiers_);
  QObject::connect(notifier_, &QSocketNotifier::activated,
                   [this] { Guarded([this] { readNews(); }); });
}

void PosixNetwork::readNews() {
  std::array<char, 8192> message{};
  while (::recv(news_.get(), message.data(), message.size(), 0) > 0) {
  }
  if (onChange_) onChange_();
}

}  // namespace platform::qt
