// The Win32 socket control, echo, clock, files and WMI query on the real (Wine) system.
#include "platform/win32/win32_services.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/error.h"
#include "platform/win32/win32_toolkit.h"
#include "tests/backend/backend_env.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using platform::win32::Utf8;
using platform::win32::Wide;

bool InLab() { return ::InLab("Z:\\proc\\self\\uid_map"); }

// Accepts one connection on a free port of 127.0.0.1 and runs a script on it.
class LocalServer {
 public:
  explicit LocalServer(const std::function<void(SOCKET)>& script) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    static_cast<void>(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ::ntohs(address.sin_port);
    static_cast<void>(::listen(listener_, 1));
    thread_ = std::thread([this, script] {
      SOCKET connection = ::accept(listener_, nullptr, nullptr);
      if (connection == INVALID_SOCKET) return;
      script(connection);
      ::closesocket(connection);
    });
  }
  ~LocalServer() {
    ::closesocket(listener_);
    thread_.join();
    ::WSACleanup();
  }
  std::uint16_t port() const { return port_; }

 private:
  SOCKET listener_;
  std::uint16_t port_;
  std::thread thread_;
};

class Win32SocketTest : public ::testing::Test {
 protected:
  Win32SocketTest() {
    socket.setOnDataArrival([this](std::int32_t) {
      const auto bytes = socket.readAll();
      received.insert(received.end(), bytes.begin(), bytes.end());
      ++arrivals;
    });
    socket.setOnError([this](std::int32_t, const std::string& text) { errors.push_back(text); });
    socket.setOnClose([this] { ++closes; });
  }
  void WaitFor(const std::function<bool()>& done) {
    const auto deadline = steady_clock::now() + 3s;
    while (!done() && steady_clock::now() < deadline) toolkit.waitForEvents(deadline);
  }
  platform::win32::Win32Toolkit toolkit;
  platform::win32::Win32TcpSocket socket;
  std::vector<std::uint8_t> received;
  std::vector<std::string> errors;
  int arrivals = 0, closes = 0;
};

TEST_F(Win32SocketTest, DataArrivesAndThePeersCloseIsNoError) {
  LocalServer server([](SOCKET s) { ::send(s, "\xE9\x3C\x7F\x00", 4, 0); });
  socket.connect("127.0.0.1", server.port());
  WaitFor([&] { return closes > 0; });
  EXPECT_EQ(received, (std::vector<std::uint8_t>{0xE9, 0x3C, 0x7F, 0x00}));
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(Win32SocketTest, SplitReplyArrivesInTwoEvents) {
  LocalServer server([](SOCKET s) {
    ::send(s, "\xE9\x3C", 2, 0);
    std::this_thread::sleep_for(200ms);
    ::send(s, "\x7F\x00", 2, 0);
  });
  socket.connect("127.0.0.1", server.port());
  WaitFor([&] { return received.size() == 4; });
  EXPECT_EQ(received.size(), 4u);
  EXPECT_EQ(arrivals, 2);
}

TEST_F(Win32SocketTest, RefusedConnectionIsAnErrorWithTheSystemsDescription) {
  std::uint16_t port;
  {
    LocalServer closed([](SOCKET) {});
    port = closed.port();
  }
  socket.connect("127.0.0.1", port);
  WaitFor([&] { return !errors.empty(); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_FALSE(errors[0].empty());
  EXPECT_EQ(closes, 0);
}

TEST(Win32Echo, LoopbackAnswersAndAnAddressWithoutARouteDoesNot) {
  if (!InLab()) GTEST_SKIP() << "echo tests run only in the lab";
  platform::win32::Win32Icmp icmp;
  icmp.startSocketLibrary();
  const std::vector<std::uint8_t> data(32, 'A');
  {
    auto handle = icmp.openEchoHandle();
    ASSERT_TRUE(handle);
    const auto reply = handle->sendEcho({127, 0, 0, 1}, data, 255, 1000);
    EXPECT_EQ(reply.repliesStored, 1u);
    EXPECT_EQ(reply.status, 0u);
    const auto unroutable = handle->sendEcho({192, 0, 2, 1}, data, 255, 500);
    EXPECT_TRUE(unroutable.repliesStored == 0 || unroutable.status != 0);
  }
  EXPECT_EQ(icmp.resolveFirstIpv4("129.6.15.28"), (platform::Ipv4Address{129, 6, 15, 28}));
  icmp.cleanupSocketLibrary();
}

TEST(Win32Clock, RegionalTextAndARefusedChange) {
  platform::win32::Win32Clock clock;
  const local_seconds morning = local_days{year{2024} / 1 / 1} + hours{8};
  const std::string text = clock.dateTimeText(morning);
  EXPECT_NE(text.find("2024"), std::string::npos) << text;
  EXPECT_NE(text.find("8:00:00"), std::string::npos) << text;
  EXPECT_EQ(clock.dateTimeText(local_days{year{2024} / 1 / 2}).find(':'), std::string::npos);

  if (!InLab()) GTEST_SKIP() << "the clock is never touched outside the lab";
  // An hour away: Wine refuses it, and the lab's user namespace could not apply it anyway.
  const auto later = floor<seconds>(system_clock::now()) + hours{1};
  const auto day = floor<days>(later);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{later - day};
  EXPECT_FALSE(clock.setSystemTimeUtc(
      {std::uint16_t(int(date.year())), std::uint16_t(unsigned(date.month())), 0,
       std::uint16_t(unsigned(date.day())), std::uint16_t(time.hours().count()),
       std::uint16_t(time.minutes().count()), std::uint16_t(time.seconds().count()), 0}));
}

class Win32FilesTest : public ::testing::Test {
 protected:
  Win32FilesTest() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"pelstow 測試 " + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
  }
  ~Win32FilesTest() override {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        ::SetFileAttributesW((folder + L"\\" + found.cFileName).c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
      } while (::FindNextFileW(search, &found));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
  }
  std::string Path(const std::wstring& name) { return Utf8(folder + L"\\" + name); }
  void Write(const std::wstring& name, const std::string& content) {
    std::ofstream(Wide(Path(name)).c_str(), std::ios::binary) << content;
  }
  std::string Read(const std::wstring& name) {
    std::ifstream in(Wide(Path(name)).c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  int Count() {
    int n = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return n;
  }
  std::wstring folder;
  platform::win32::Win32Files files;
};

TEST_F(Win32FilesTest, ReplacesAtomicallyAndLeavesNothingElse) {
  Write(L"app.exe", "old");
  Write(L"_new_app.exe", std::string(1 << 20, 'n'));
  files.replaceFile(Path(L"_new_app.exe"), Path(L"app.exe"));
  EXPECT_EQ(Read(L"app.exe"), std::string(1 << 20, 'n'));
  EXPECT_EQ(Count(), 2);
}

TEST_F(Win32FilesTest, AFailedCopyLeavesTheTargetIntact) {
  Write(L"app.exe", "old");
  EXPECT_THROW(files.replaceFile(Path(L"_new_missing.exe"), Path(L"app.exe")), platform::Error);
  EXPECT_EQ(Read(L"app.exe"), "old");
  EXPECT_EQ(Count(), 1);
}

TEST_F(Win32FilesTest, FindsOnlyNormalFiles) {
  Write(L"_new_app.exe", "x");
  Write(L"_new_hidden.exe", "x");
  ::SetFileAttributesW(Wide(Path(L"_new_hidden.exe")).c_str(), FILE_ATTRIBUTE_HIDDEN);
  ::CreateDirectoryW((folder + L"\\_new_dir").c_str(), nullptr);
  EXPECT_EQ(files.findNormalFile(Path(L"_new_app.exe")), "_new_app.exe");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_hidden.exe")), "");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_dir")), "");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_none.exe")), "");
  EXPECT_EQ(files.fileLength(Path(L"_new_app.exe")), 1);
  EXPECT_THROW(files.deleteFile(Path(L"_new_none.exe")), platform::Error);
  ::RemoveDirectoryW((folder + L"\\_new_dir").c_str());
}

TEST_F(Win32FilesTest, StartsTheProgramInItsFolderWithoutArguments) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ::CopyFileW(self, (folder + L"\\app.exe").c_str(), FALSE);
  const std::wstring record = folder + L"\\record.txt";
  ::SetEnvironmentVariableW(L"RECORD_START", record.c_str());
  ASSERT_TRUE(files.startProgram(Path(L"app.exe"), Utf8(folder) + "\\"));
  ::SetEnvironmentVariableW(L"RECORD_START", nullptr);
  for (int i = 0; i < 200 && Read(L"record.txt").empty(); ++i) ::Sleep(50);
  const std::string recorded = Read(L"record.txt");
  EXPECT_EQ(recorded.substr(recorded.find('\n') + 1), "0\n");
  EXPECT_NE(recorded.find("pelstow"), std::string::npos) << recorded;
}

TEST(WmiOsQuery, NamesTheSystemAndItsVersion) {
  platform::win32::WmiOsQuery query;
  const auto items = query.operatingSystems();
  ASSERT_EQ(items.size(), 1u);
  ASSERT_TRUE(items[0].caption);
  EXPECT_NE(items[0].caption->find("Windows"), std::string::npos) << *items[0].caption;
  EXPECT_FALSE(items[0].version.empty());
}

}  // namespace
