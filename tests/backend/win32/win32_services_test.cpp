// The Win32 socket control, echo, clock, files and WMI query on the real (Wine) system.
#include "platform/win32/win32_services.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <algorithm>
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

bool InLab() { return ::InLab("Z:\\proc\\self\\uid_map"); }

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
    for (const auto& name : Names()) {
      ::SetFileAttributesW(File(name).c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(File(name).c_str());
    }
    ::RemoveDirectoryW(folder.c_str());
  }
  std::wstring File(const std::wstring& name) {
    return platform::win32::LongPath(folder + L"\\" + name);
  }
  std::string Path(const std::wstring& name) { return Utf8(folder + L"\\" + name); }
  void Write(const std::wstring& name, const std::string& content, DWORD attributes = 0) {
    std::ofstream(File(name).c_str(), std::ios::binary) << content;
    if (attributes) ::SetFileAttributesW(File(name).c_str(), attributes);
  }
  std::string Read(const std::wstring& name) {
    std::ifstream in(File(name).c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  DWORD Attributes(const std::wstring& name) { return ::GetFileAttributesW(File(name).c_str()); }
  std::vector<std::wstring> Names() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(File(L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::wstring folder;
  platform::win32::Win32Files files;
};

// Names up to the longest a download may have; a read-only download; a target or none.
TEST_F(Win32FilesTest, InstallsWithTheTargetsAttributesAndLeavesOnlyTheDownload) {
  const std::wstring longName = std::wstring(246, L'n') + L".exe";
  struct Row {
    std::wstring name;
    DWORD downloadAttributes, targetAttributes, installedAttributes;
  } rows[] = {
      {L"app.exe", 0, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
      {longName, 0, FILE_ATTRIBUTE_NORMAL, 0},
      {L"new.exe", FILE_ATTRIBUTE_READONLY, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name.size());
    if (row.targetAttributes) Write(row.name, "old", row.targetAttributes);
    Write(L"_new_" + row.name, std::string(1 << 20, 'n'), row.downloadAttributes);
    auto copy = files.stageCopy(Path(L"_new_" + row.name), Path(row.name));
    EXPECT_EQ(copy->length(), 1 << 20);
    copy->putInPlace();
    EXPECT_EQ(Read(row.name), std::string(1 << 20, 'n'));
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY;
    EXPECT_EQ(Attributes(row.name) & kKept, row.installedAttributes);
    EXPECT_EQ(Names(), (std::vector<std::wstring>{L"_new_" + row.name, row.name}));
    files.deleteFile(Path(L"_new_" + row.name));
    ::SetFileAttributesW(File(row.name).c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(File(row.name).c_str());
    EXPECT_TRUE(Names().empty());
  }
}

TEST_F(Win32FilesTest, ACopyNotPutInPlaceAndStaleCopiesLeaveNothing) {
  Write(L"app.exe", "old");
  EXPECT_THROW(files.stageCopy(Path(L"_new_missing.exe"), Path(L"app.exe")), platform::Error);
  Write(L"_new_app.exe", "new");
  files.stageCopy(Path(L"_new_app.exe"), Path(L"app.exe")).reset();
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"_new_app.exe", L"app.exe"}));

  for (const wchar_t* name : {L".app.exe.new-Ab3dE9", L".app.exe.new-x", L".other.new-Ab3dE9"})
    Write(name, "x", FILE_ATTRIBUTE_READONLY);
  files.removeStaleCopies(Path(L"app.exe"));
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L".app.exe.new-x", L".other.new-Ab3dE9",
                                                L"_new_app.exe", L"app.exe"}));
  EXPECT_EQ(Read(L"app.exe"), "old");
}

TEST_F(Win32FilesTest, FindsOnlyNormalFiles) {
  Write(L"_new_app.exe", "x");
  Write(L"_new_hidden.exe", "x", FILE_ATTRIBUTE_HIDDEN);
  ::CreateDirectoryW((folder + L"\\_new_dir").c_str(), nullptr);
  EXPECT_EQ(files.findNormalFile(Path(L"_new_app.exe")), "_new_app.exe");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_hidden.exe")), "");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_dir")), "");
  EXPECT_EQ(files.findNormalFile(Path(L"_new_none.exe")), "");
  EXPECT_EQ(files.fileLength(Path(L"_new_app.exe")), 1);
  EXPECT_THROW(files.deleteFile(Path(L"_new_none.exe")), platform::Error);
  ::RemoveDirectoryW((folder + L"\\_new_dir").c_str());
}

TEST_F(Win32FilesTest, StartsTheProgramInItsFolderWithoutArgumentsAlsoPastMaxPath) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  for (const std::wstring& name : {std::wstring(L"app.exe"), std::wstring(240, L'a') + L".exe"}) {
    SCOPED_TRACE(name.size());
    ::CopyFileW(self, File(name).c_str(), FALSE);
    const std::wstring record = folder + L"\\record.txt";
    ::DeleteFileW(record.c_str());
    ::SetEnvironmentVariableW(L"RECORD_START", record.c_str());
    try {
      files.startProgram(Path(name), Utf8(folder) + "\\");
    } catch (const platform::Error& error) {
      // Wine cannot start a program whose path passes MAX_PATH: it must say so, not stay silent.
      EXPECT_GE(folder.size() + name.size(), std::size_t{MAX_PATH}) << error.what();
      continue;
    }
    ::SetEnvironmentVariableW(L"RECORD_START", nullptr);
    for (int i = 0; i < 200 && Read(L"record.txt").empty(); ++i) ::Sleep(50);
    const std::string recorded = Read(L"record.txt");
    EXPECT_EQ(recorded.substr(recorded.find('\n') + 1), "0\n");
    EXPECT_NE(recorded.find("pelstow"), std::string::npos) << recorded;
  }
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
