// What only the Qt and POSIX layer has: what it draws, how it ends on an error, POSIX file
// failures and signals, raw ICMP and the zh_TW texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "clocksetter/server_table.h"
#include "platform/error.h"
#include "platform/qt/clock.h"
#include "platform/qt/icmp.h"
#include "platform/qt/socket.h"
#include "platform/qt/system.h"
#include "platform/qt/toolkit.h"
#include "settime/exchange.h"
#include "tests/backend/backend_env.h"
#include "tests/contract/backend.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// Assistive technology meets a frame named by the window's caption, a picture with a name, values
// named by their headings, and buttons it can press.
TEST(QtLayer, EveryControlHasANameAndTheWindowIsAFrame) {
  platform::qt::QtToolkit toolkit("");
  auto window = toolkit.createWindow({"網路校時 (By zevo)", 4680, 2985});
  window->addPicture({"Image1", {240, 960, 480, 480}, "", 0, 0, false, "時鐘"});
  window->addStatic(
      {"lbl狀態", {1800, 1680, 2775, 255}, "..........", 0, 0, false, "時間校正結果"});
  window->addButton({"cmd確定", {2400, 2520, 1575, 375}, "完成"});
  auto* form = static_cast<platform::qt::QtWindow&>(*window).widget();
  const auto named = [&](const char* name) {
    return QAccessible::queryAccessibleInterface(form->findChild<QWidget*>(name));
  };
  QAccessibleInterface* frame = QAccessible::queryAccessibleInterface(form);
  EXPECT_EQ(frame->role(), QAccessible::Window);
  EXPECT_EQ(frame->text(QAccessible::Name), "網路校時 (By zevo)");
  EXPECT_EQ(named("Image1")->text(QAccessible::Name), "時鐘");
  EXPECT_EQ(named("lbl狀態")->text(QAccessible::Name), "時間校正結果");
  EXPECT_EQ(named("cmd確定")->text(QAccessible::Name), "完成");
  ASSERT_NE(named("cmd確定")->actionInterface(), nullptr);
  EXPECT_TRUE(named("cmd確定")->actionInterface()->actionNames().contains(
      QAccessibleActionInterface::pressAction()));
}

// An error the program raises in any handler ends it with the standard report, never unwinding
// through Qt's own frames.
TEST(QtLayer, AnErrorInAnyHandlerEndsTheProgramWithTheReport) {
  const auto fails = [] { throw platform::Error(28, "No space left on device"); };
  const std::function<void(platform::qt::QtToolkit&, platform::Window&)> sources[] = {
      [&](auto&, auto& window) {
        auto& button = window.addButton({"cmd", {0, 0, 100, 100}, "x"});
        button.setOnClick(fails);
        static_cast<platform::qt::QtButton&>(button).widget()->click();
      },
      [&](auto& toolkit, auto& window) {
        auto& socket = window.addTcpSocket("Winsock1");
        socket.setOnError([&](std::int32_t, const std::string&) { fails(); });
        socket.connect("192.0.2.1", 0);  // fails at once, raised from the event loop
        toolkit.handleEventsUntil(steady_clock::now() + 2s);
      },
      [&](auto& toolkit, auto& window) {
        window.setOnActivate(fails);
        toolkit.run(window);
      },
  };
  for (const auto& trigger : sources) {
    EXPECT_EXIT(
        {
          platform::qt::QtToolkit toolkit("");
          auto window = toolkit.createWindow({"x", 4680, 2985});
          QTimer dismiss;  // the report's message box is answered as soon as it is up
          QObject::connect(&dismiss, &QTimer::timeout, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
          });
          dismiss.start(50);
          trigger(toolkit, *window);
        },
        testing::ExitedWithCode(1), "執行階段錯誤 '28'");
  }
}

// The layer's files in the contract backend's folder.
class PosixFiles : public contract::Contract {
 protected:
  void TearDown() override {
    for (const auto& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    fs::permissions(Path(""), fs::perms(0755));
  }
  fs::path Path(const std::string& name) const { return backend->path(name); }
  void Write(const std::string& name, const std::string& content, int perms = 0644) {
    backend->write(name, content);
    fs::permissions(backend->path(name), fs::perms(perms));
  }
  std::string Read(const std::string& name) { return backend->read(name).value_or(""); }
  void Install(const std::string& download, const std::string& target) {
    backend->openFolder()->stageCopy(download, target, [] {})->putInPlace();
  }
  std::vector<std::string> mounts;
};

TEST_F(PosixFiles, ARunningExecutableIsReplacedKeepingItsMode) {
  const fs::path app = Path("app");
  fs::copy_file("/bin/sleep", app);
  fs::permissions(app, fs::perms(0750));
  Write("_new_app", "#!/bin/sh\n");
  pid_t running = 0;
  char* argv[] = {const_cast<char*>(app.c_str()), const_cast<char*>("5"), nullptr};
  ASSERT_EQ(::posix_spawn(&running, app.c_str(), nullptr, nullptr, argv, environ), 0);
  Install("_new_app", "app");
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
  EXPECT_EQ(fs::status(app).permissions(), fs::perms(0750));
  EXPECT_EQ(Read("app"), "#!/bin/sh\n");
}

// What install and cp --preserve keep: owner and group, permission bits, ACL, user attributes;
// never set-user-ID, set-group-ID or a file capability, which were granted to the old content.
// Kept aside, hidden and executable, while the new one is watched, the old version holds none of
// those either; it gets them back with its place.
TEST_F(PosixFiles, TheNewVersionTakesTheOldOnesRightsButNoneOfItsPrivileges) {
  if (!InLab()) GTEST_SKIP() << "only in the lab, where another user's file can be made";
  const fs::path app = Path("app");
  Write("app", "old", 04755);
  ASSERT_EQ(::chown(app.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(app.c_str(), 04775), 0);
  // An ACL giving user 4321 write access (the mask, rwx, shows in the group bits), a user
  // attribute, and a capability.
  const std::uint32_t acl[] = {2,          0x00070001, 0xFFFFFFFF, 0x00070002,
                               4321,       0x00050004, 0xFFFFFFFF, 0x00070010,
                               0xFFFFFFFF, 0x00050020, 0xFFFFFFFF};
  const std::uint32_t capability[] = {0x02000001, 1U << 25, 0, 0, 0};  // cap_sys_time+ep
  ASSERT_EQ(::setxattr(app.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
  ASSERT_EQ(::setxattr(app.c_str(), "user.vendor", "v1", 2, 0), 0);
  ASSERT_EQ(::setxattr(app.c_str(), "security.capability", capability, sizeof capability, 0), 0);
  Write("_new_app", "new");
  const auto privileges = [&](const std::string& name) {
    struct stat status {};
    ::stat(Path(name).c_str(), &status);
    return std::pair(status.st_mode & 07777,
                     ::getxattr(Path(name).c_str(), "security.capability", nullptr, 0) > 0);
  };
  {
    const auto folder = backend->openFolder();
    const auto kept = folder->stageCopy("_new_app", "app", [] {})->putInPlace(true);
    EXPECT_EQ(privileges(backend->names().at(0)), std::pair(0775u, false)) << "aside";
    kept->putBack();
    EXPECT_EQ(privileges("app"), std::pair(04775u, true)) << "back";
  }
  Install("_new_app", "app");
  struct stat info {};
  ASSERT_EQ(::stat(app.c_str(), &info), 0);
  EXPECT_EQ(std::tie(info.st_uid, info.st_gid), std::make_tuple(1234u, 5678u));
  EXPECT_EQ(info.st_mode & 07777, 0775u) << "the ACL's mask, no set-user-ID";
  std::uint32_t kept[16]{};
  EXPECT_EQ(::getxattr(app.c_str(), "system.posix_acl_access", kept, sizeof kept),
            ssize_t(sizeof acl));
  EXPECT_EQ(kept[4], 4321u) << "the named user's entry";
  char vendor[8]{};
  EXPECT_EQ(::getxattr(app.c_str(), "user.vendor", vendor, sizeof vendor), 2);
  EXPECT_EQ(::getxattr(app.c_str(), "security.capability", kept, sizeof kept), -1);
  EXPECT_EQ(Read("app"), "new");

  // Where the ACL cannot be carried over (a user namespace that does not map its named user), the
  // group gets its own entry's rights (r-x), not the mask's (rwx) that the mode bits show.
  ASSERT_EQ(::chown(app.c_str(), 0, 0) | ::chmod(app.c_str(), 0775), 0);
  ASSERT_EQ(::setxattr(app.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
  Write("_new_app", "newer");
  if (const pid_t child = ::fork(); child == 0) {
    const bool mapped = ::unshare(CLONE_NEWUSER) == 0 &&
                        bool(std::ofstream("/proc/self/setgroups") << "deny") &&
                        bool(std::ofstream("/proc/self/uid_map") << "0 0 1") &&
                        bool(std::ofstream("/proc/self/gid_map") << "0 0 1");
    if (mapped) Install("_new_app", "app");
    ::_exit(mapped ? 0 : 1);
  } else {
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(status, 0);
  }
  EXPECT_EQ(Read("app"), "newer");
  EXPECT_EQ(fs::status(app).permissions(), fs::perms(0755));

  // A first install: a new executable's rights, whatever the download's.
  Write("_new_tool", "#!/bin/sh\n");
  const mode_t mask = ::umask(027);
  Install("_new_tool", "tool");
  ::umask(mask);
  EXPECT_EQ(fs::status(Path("tool")).permissions(), fs::perms(0750));
}

// Each failure is reported at once (never as a busy file to retry), quickly (a FIFO must not
// hang the copy), with the target and the folder as they were.
TEST_F(PosixFiles, FailuresAreReportedAtOnceAndLeaveEverythingAsItWas) {
  const std::string folder = Path(""), download = Path("_new_app");
  const auto fill = [&] {
    Write("app", std::string(64 << 10, 'o'));
    Write("_new_app", std::string(100 << 10, 'n'));
  };
  constexpr unsigned long kReadOnly = MS_REMOUNT | MS_BIND | MS_RDONLY;
  const auto mountOver = [&](const char* source, const char* type, unsigned long flags,
                             const char* data = nullptr) {
    ::mount(source, folder.c_str(), type, flags, data);
    mounts.push_back(folder);
  };
  struct Case {
    std::function<void()> prepare;
    int error;
    bool inLabOnly = false, withoutRootsRights = false;
  } cases[] = {
      {[&] { fs::remove(download), ::mkfifo(download.c_str(), 0644); }, EINVAL},
      {[&] { fs::remove(download), fs::create_directory(download); }, EINVAL},
      {[&] { fs::remove(download); }, ENOENT},
      {[&] { fs::permissions(folder, fs::perms(0555)); }, EACCES, false, true},
      {[&] { mountOver(folder.c_str(), nullptr, MS_BIND), mountOver(nullptr, nullptr, kReadOnly); },
       EROFS, true},
      {[&] { mountOver("tiny", "tmpfs", 0, "size=256k"), fill(); }, ENOSPC, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    if (c.inLabOnly && !InLab()) continue;
    for (const auto& mount : mounts) ::umount2(mount.c_str(), MNT_DETACH);
    mounts.clear();
    fs::permissions(folder, fs::perms(0755));
    fs::remove_all(folder);
    fs::create_directory(folder);
    fill();
    c.prepare();
    const auto before = backend->names();
    const auto started = steady_clock::now();
    std::thread([&] {
      if (c.withoutRootsRights) {  // this thread loses root's right to ignore permissions
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        ::syscall(SYS_capget, &header, data);
        data[0].effective &= ~(1U << CAP_DAC_OVERRIDE | 1U << CAP_DAC_READ_SEARCH);
        ::syscall(SYS_capset, &header, data);
      }
      try {
        Install("_new_app", "app");
        ADD_FAILURE() << "installed";
      } catch (const platform::Error& error) {
        EXPECT_EQ(std::make_pair(error.number(), error.inUse()), std::make_pair(c.error, false));
      }
    }).join();
    EXPECT_LT(steady_clock::now() - started, 1s);
    EXPECT_EQ(backend->names(), before);
    EXPECT_EQ(Read("app"), std::string(64 << 10, 'o'));
  }
}

TEST_F(PosixFiles, ATerminatedCopyRemovesItsTemporaryFile) {
  Write("_new_app", std::string(64 << 20, 'n'));
  const pid_t child = ::fork();
  if (child == 0) {
    auto copy = backend->openFolder()->stageCopy("_new_app", "app", [] {});
    for (;;) ::pause();
  }
  const auto staged = [&] { return backend->names().size() == 2; };
  for (int i = 0; i < 5000 && !staged(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(staged());
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(backend->names(), std::vector<std::string>{"_new_app"});
}

class Lab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InLab()) GTEST_SKIP() << "only in the lab (no user namespaces here)";
  }
  static void Set(const char* setting, const char* value) {
    std::ofstream(std::string("/proc/sys/net/ipv4/") + setting) << value;
  }
  platform::EchoReply Echo(std::uint32_t timeoutMs = 1000) {
    const std::vector<std::uint8_t> data(32, 'A');
    return icmp.openEchoHandle()->sendEcho({127, 0, 0, 1}, data, 255, timeoutMs);
  }
  platform::qt::PosixIcmp icmp;
};

// On a raw socket every ICMP message of the host arrives: only the answer to our own request,
// from our destination, counts; another program's replies and errors, in every sequence, do not.
TEST_F(Lab, TheLoopbackAnswersRawAndDatagramEchoesAndOnlyOurAnswerCounts) {
  for (const char* range : {"0 2147483647", "1 0"}) {  // datagram sockets allowed, then not
    Set("ping_group_range", range);
    EXPECT_EQ(Echo().status, 0u) << range;
  }
  Set("icmp_echo_ignore_all", "1");
  std::atomic<bool> stop{false};
  std::thread forger([&stop] {
    const platform::qt::UniqueFd fd(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    sockaddr_in to{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    const unsigned ours = std::uint16_t(::getpid());
    // Someone else's reply; an error quoting a request to 127.0.0.2, not to 127.0.0.1.
    std::vector<std::uint8_t> reply(8 + 32, 'A'), error(8 + 20 + 8, 0);
    reply[0] = ICMP_ECHOREPLY;
    std::tie(error[0], error[8], error[24], error[27], error[28]) =
        std::tuple(ICMP_DEST_UNREACH, 0x45, 127, 2, ICMP_ECHO);
    const auto send = [&](std::vector<std::uint8_t>& packet, std::size_t at, unsigned id,
                          unsigned sequence) {
      std::tie(packet[at + 4], packet[at + 5], packet[at + 6], packet[at + 7]) =
          std::tuple(id >> 8, id & 0xFF, sequence >> 8, sequence & 0xFF);
      ::sendto(fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
    };
    for (unsigned sequence = 0; !stop; sequence = (sequence + 1) % 65536) {
      send(reply, 0, ours + 1u, sequence);
      send(error, 28, ours, sequence);
    }
  });
  const auto reply = Echo(300);
  stop = true;
  forger.join();
  Set("icmp_echo_ignore_all", "0");
  Set("ping_group_range", "0 2147483647");
  EXPECT_EQ(reply.status, platform::qt::kIpReqTimedOut);
}

// The clock helper dates a reply by when it arrived, not when it was read: by the kernel's stamp,
// or where there is none (as just after timestamps are first asked for), by the connection's
// record of its last data. It steps the clock by the server's time less that arrival.
TEST(ClockHelper, AReplyReadLateIsDatedByItsArrival) {
  for (const int stamped : {1, 0}) {
    SCOPED_TRACE(stamped);
    using platform::qt::UniqueFd;
    const UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0)),
        client(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto* at = reinterpret_cast<sockaddr*>(&address);
    ASSERT_EQ(::bind(listener.get(), at, length) | ::listen(listener.get(), 1) |
                  ::getsockname(listener.get(), at, &length),
              0);
    ::setsockopt(client.get(), SOL_SOCKET, SO_TIMESTAMPNS, &stamped, sizeof stamped);
    ASSERT_EQ(::connect(client.get(), at, length), 0);
    const UniqueFd server(::accept(listener.get(), nullptr, nullptr));
    ASSERT_EQ(::send(server.get(), "\xE9\x3C\x7F\x00", 4, 0), 4);
    std::this_thread::sleep_for(300ms);
    std::array<char, 16> data{};
    alignas(cmsghdr) std::array<char, 64> control{};
    iovec part{data.data(), data.size()};
    msghdr message{nullptr, 0, &part, 1, control.data(), control.size(), 0};
    ASSERT_EQ(::recvmsg(client.get(), &message, 0), 4);
    const auto arrival = orvane::settime::ArrivalOf(client.get(), message);
    ASSERT_TRUE(arrival);
    const auto age = system_clock::now() - system_clock::time_point{seconds{arrival->tv_sec} +
                                                                    nanoseconds{arrival->tv_nsec}};
    EXPECT_GT(age, 280ms);
    EXPECT_LT(age, 450ms);
  }
  for (const auto& [arrival, seconds, micros] : {std::tuple{timespec{90, 250000000}, 9L, 750000L},
                                                 {timespec{110, 250000000}, -11L, 750000L}}) {
    const timeval step = orvane::settime::OffsetOf(100, arrival);
    EXPECT_EQ(std::make_pair(long(step.tv_sec), long(step.tv_usec)),
              std::make_pair(seconds, micros));
  }
}

// Once the clock helper's watch has seen the clock set, it says so for the rest of the run,
// though the timer that told it is quiet again; without a timer it cannot tell, and says set.
TEST(ClockHelper, AWatchRemembersASettingItSaw) {
  using orvane::settime::ClockWatch, orvane::settime::Fd;
  for (const bool set : {false, true}) {
    std::array<int, 2> pipe{};
    ASSERT_EQ(::pipe2(pipe.data(), O_NONBLOCK), 0);
    const Fd writer(pipe[1]);  // a set clock reads once, as the timer would
    EXPECT_EQ(::write(writer.get(), "expired!", set ? 8 : 0), set ? 8 : 0);
    ClockWatch watch{Fd(pipe[0])};
    EXPECT_EQ(std::vector({watch.clockWasSet(), watch.clockWasSet()}), std::vector({set, set}));
  }
  EXPECT_TRUE(ClockWatch{orvane::settime::Fd()}.clockWasSet());
}

// The clock helper as the window starts it (here, in the lab, without the right), its words with
// the window in the one order they may come: one connection to a server of the table on port 37,
// at most one setting, then nothing but the end. Anything else ends it with its own code.
class ClockHelperRun : public contract::Contract {
 protected:
  using Kind = orvane::settime::Kind;
  using Word = std::pair<Kind, std::vector<std::uint8_t>>;
  template <class T>
  static Word Say(Kind kind, const T& value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    return {kind, {bytes, bytes + sizeof value}};
  }
  static Word Connect(const std::string& address, std::uint16_t port) {
    orvane::settime::Server server{{}, port};
    ::inet_pton(AF_INET, address.c_str(), server.address.data());
    return Say(Kind::Connect, server);
  }

  // Says the words (waiting after each for what it brings), then lets go; the frames heard, each
  // its kind and its payload's length (one byte: its value), and the exit code.
  std::pair<std::string, int> Run(const std::vector<Word>& words, bool withArgument = false) {
    std::array<int, 2> ends{};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()), 0);
    platform::qt::UniqueFd ours(ends[0]), its(ends[1]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, its.get(), STDIN_FILENO);
    std::string path = platform::qt::ClockHelperPath(), argument = "now";
    std::array<char*, 3> argv{path.data(), withArgument ? argument.data() : nullptr, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    its.reset();
    std::string heard;
    std::vector<std::uint8_t> received;
    for (const auto& [kind, payload] : words) {
      orvane::settime::WriteFrame(ours.get(), kind, payload.data(), payload.size());
      for (pollfd ready{ours.get(), POLLIN, 0}; ::poll(&ready, 1, 300) == 1;) {
        std::array<std::uint8_t, 256> bytes{};
        const ssize_t got = ::recv(ours.get(), bytes.data(), bytes.size(), 0);
        if (got <= 0) break;
        received.insert(received.end(), bytes.begin(), bytes.begin() + got);
        while (const auto frame = orvane::settime::TakeFrame(received))
          heard += char(frame->kind) + std::to_string(frame->payload.size() == 1
                                                          ? frame->payload[0]
                                                          : frame->payload.size());
      }
    }
    ours.reset();
    int status = -1;
    ::waitpid(pid, &status, 0);
    return {heard, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }
};

TEST_F(ClockHelperRun, OneConnectionToTheTableOneSettingAndNothingAfter) {
  const std::string table = orvane::AddressOf(orvane::TimeServers()[0]);
  const std::int64_t sent = 1704067200;  // E9 3C 7F 00
  const auto peer = backend->serve({contract::Send({0xE9, 0x3C, 0x7F, 0x00})});
  const Word connect = Connect(table, 37), set = Say(Kind::Set, sent);
  using orvane::settime::Exit;
  // Without the right every answer is 0 (the VM's cases hold the right).
  const struct Row {
    const char* what;
    std::vector<Word> words;
    std::string heard;
    int exit;
  } rows[] = {
      {"let go at once", {}, "", Exit::kLetGo},
      {"a connection, its reply and a setting", {connect, set}, "D4C0R0", Exit::kLetGo},
      {"a second setting", {connect, set, set}, "D4C0R0", Exit::kAskedAgain},
      {"a setting before any connection", {set}, "", Exit::kGarbled},
      {"a second connection", {connect, connect}, "D4C0", Exit::kGarbled},
      {"a word of no kind", {{Kind::Done, {1}}}, "", Exit::kGarbled},
      {"an address off the table", {Connect("192.0.2.1", 37)}, "", Exit::kRefused},
      {"the table's address on another port", {Connect(table, 13)}, "", Exit::kRefused},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Run(row.words), std::pair(row.heard, row.exit));
  }
  EXPECT_EQ(Run({}, true).second, Exit::kUsage);
  EXPECT_EQ(peer->accepted(), 3);
}

// Every failure of the connection the window can show is in the user's language: the system's
// own words, from the C library's translations (libc-l10n).
TEST(QtLayer, TheConnectionsFailuresAreToldInChinese) {
  for (const int error : {ECONNREFUSED, ECONNRESET, ECONNABORTED, ENETUNREACH, EHOSTUNREACH,
                          ETIMEDOUT, EACCES, EPERM, EADDRNOTAVAIL, ENOENT, EPIPE, ENOBUFS, EIO}) {
    const std::string text = platform::qt::SystemText(error);
    EXPECT_EQ(text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
              std::string::npos)
        << text;
  }
}

TEST(PosixClock, TextsAreTheLocalesShortDateAndLongTimeWithoutZone) {
  platform::qt::PosixClock clock;
  const local_seconds morning = local_days{year{2024} / 1 / 1} + hours{8};
  EXPECT_EQ(clock.dateTimeText(morning), "2024/1/1 上午8:00:00");
  EXPECT_EQ(clock.dateTimeText(morning + hours{16} + seconds{59}), "2024/1/2 上午12:00:59");
  using platform::qt::ShortDateFormatWithFullYear;
  for (const auto& [format, full] : {std::pair{"M/d/yy", "M/d/yyyy"},
                                     {"dd.MM.yy", "dd.MM.yyyy"},
                                     {"y/M/d", "y/M/d"},
                                     {"yyyy-MM-dd", "yyyy-MM-dd"},
                                     {"d 'yy' M yy", "d 'yy' M yyyy"}})
    EXPECT_EQ(ShortDateFormatWithFullYear(format), full);
  using platform::qt::LongTimeFormatWithoutZone;
  EXPECT_EQ(LongTimeFormatWithoutZone("Bh:mm:ss [t]"), "APh:mm:ss");
  EXPECT_EQ(LongTimeFormatWithoutZone("h:mm:ss AP t"), "h:mm:ss AP");
  EXPECT_EQ(LongTimeFormatWithoutZone("t HH:mm:ss"), "HH:mm:ss");
  EXPECT_EQ(LongTimeFormatWithoutZone("HH 'h' mm 'min' ss 's' tttt"), "HH 'h' mm 'min' ss 's'");
}

}  // namespace
