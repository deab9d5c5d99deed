// Files and shell: staging a copy and putting it in place, finding, deleting, starting.
#include <algorithm>

#include "platform/error.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

constexpr const char* kLatin = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

class FilesContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    folder = backend->openFolder();
  }
  std::unique_ptr<platform::StagedCopy> Stage(const std::string& source,
                                              const std::string& target) {
    return folder->stageCopy(source, target, [] {});
  }
  // What the user is told of a failure: the file, and in the user's language what went wrong.
  static void ExpectToldInChinese(const std::function<void()>& failing, const std::string& name) {
    try {
      failing();
      ADD_FAILURE() << "no failure for " << name;
    } catch (const platform::Error& error) {
      const std::string text = error.what();
      ASSERT_NE(text.find(name), std::string::npos) << text;
      const std::string told = text.substr(text.find(name) + name.size());
      EXPECT_EQ(told.find_first_of(kLatin), std::string::npos) << "English: " << text;
      EXPECT_FALSE(error.inUse()) << text;
    }
  }
  std::unique_ptr<platform::Folder> folder;
};

// The target is untouched until the whole copy is put in place, in one step, under every name a
// download may have; nothing else is left behind.
TEST_F(FilesContract, AStagedCopyReplacesTheTargetWholeInOneStep) {
  for (const std::string& name :
       {std::string("app.exe"), std::string("程式 app"), std::string(240, 'n') + ".exe"}) {
    SCOPED_TRACE(name.size());
    const std::string download(1 << 20, 'n');
    backend->write(name, "old");
    backend->write("_new_" + name, download);
    auto copy = Stage("_new_" + name, name);
    EXPECT_EQ(copy->length(), std::int64_t(download.size()));
    EXPECT_EQ(backend->read(name), "old");
    copy->putInPlace();
    EXPECT_EQ(backend->read(name), download);
    auto names = std::vector<std::string>{"_new_" + name, name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(backend->names(), names);
    folder->deleteFile("_new_" + name);
    folder->deleteFile(name);
  }
}

// A name ending in a dot or a space is, for every operation, the file that the system's ordinary
// calls name by it (on Windows, the name without them): the file found is the file written,
// deleted and started.
TEST_F(FilesContract, ANameNamesOneFileForEveryOperation) {
  for (const std::string name : {"app.exe.", "app.exe "}) {
    SCOPED_TRACE("[" + name + "]");
    backend->write("_new_" + name, "new");
    ASSERT_NE(folder->findNormalFile("_new_" + name), "");
    Stage("_new_" + name, name)->putInPlace();
    EXPECT_EQ(backend->read(name), "new");
    folder->deleteFile("_new_" + name);
    EXPECT_EQ(backend->read("_new_" + name), std::nullopt);
    folder->deleteFile(name);
    EXPECT_EQ(backend->names(), std::vector<std::string>{});
  }
}

TEST_F(FilesContract, NothingIsLeftOfACopyNotPutInPlaceOrOfEarlierRuns) {
  backend->write("app.exe", "old");
  backend->write("_new_app.exe", "new");
  backend->write(".app.exe.new-Ab3dE9", "stale");
  backend->write(".app.exe.new-x", "not ours");
  Stage("_new_app.exe", "app.exe").reset();
  folder->removeStaleCopies("app.exe");
  EXPECT_EQ(backend->names(),
            (std::vector<std::string>{".app.exe.new-x", "_new_app.exe", "app.exe"}));
  EXPECT_EQ(backend->read("app.exe"), "old");
}

TEST_F(FilesContract, FindsAndMeasuresOnlyNormalFilesAndSaysWhatFailed) {
  backend->write("_new_app.exe", "x");
  backend->write(".hidden.exe", "x", true);
  EXPECT_EQ(folder->findNormalFile("_new_app.exe"), "_new_app.exe");
  EXPECT_EQ(folder->findNormalFile(".hidden.exe"), "");
  EXPECT_EQ(folder->findNormalFile("none.exe"), "");
  EXPECT_EQ(folder->fileLength("_new_app.exe"), 1);
  EXPECT_EQ(folder->pathOf("none.exe"), backend->folder() + "none.exe");
  for (const auto& failing : std::vector<std::function<void()>>{
           [&] { folder->fileLength("none.exe"); },
           [&] { folder->deleteFile("none.exe"); },
           [&] { Stage("none.exe", "app.exe"); },
           [&] { folder->startProgram("none.exe"); },
       })
    ExpectToldInChinese(failing, "none.exe");
}

// A first install (no old executable, a download that came as data) starts like any other, in
// its folder, without arguments.
TEST_F(FilesContract, TheNewVersionStartsInItsFolderWithoutArguments) {
  backend->writeProgram("_new_app.exe", false);
  Stage("_new_app.exe", "app.exe")->putInPlace();
  folder->startProgram("app.exe");
  const auto record = backend->started();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->substr(record->find('\n') + 1), "0\n") << "no arguments";
  EXPECT_NE(record->find("程式 資料夾"), std::string::npos) << *record;
}

// Kept aside, the old version comes back in one rename when put back, goes when dropped, and
// where it cannot go back is kept for good beside the target; nothing else is left. A started
// program's end is seen: a crash, or a program the system could not run, told from a normal end
// with an exit code of its own.
TEST_F(FilesContract, TheOldVersionWaitsAsideAndAStartedProgramsEndIsTold) {
  enum Fate { PutBack, Dropped, KeptForGood };
  for (const Fate fate : {PutBack, Dropped, KeptForGood}) {
    SCOPED_TRACE(fate);
    backend->write("app.exe", "old");
    backend->write("_new_app.exe", "new");
    auto kept = Stage("_new_app.exe", "app.exe")->putInPlace(true);
    ASSERT_TRUE(kept);
    EXPECT_EQ(backend->read("app.exe"), "new");
    if (fate == PutBack) kept->putBack();
    if (fate == KeptForGood) {
      EXPECT_EQ(kept->keepForGood(), "app.old.exe");
    }
    kept.reset();
    EXPECT_EQ(backend->read("app.exe"), fate == PutBack ? "old" : "new");
    EXPECT_EQ(backend->read("app.old.exe").value_or("(none)"),
              fate == KeptForGood ? "old" : "(none)");
    std::filesystem::remove(backend->path("app.old.exe"));
    EXPECT_EQ(backend->names(), (std::vector<std::string>{"_new_app.exe", "app.exe"}));
  }
  using Ending = Backend::Ending;
  using platform::ProgramState;
  const struct {
    Ending ending;
    ProgramState::Is is;
    std::int32_t number;  // where the ending fixes it
  } endings[] = {{Ending::WithCode3, ProgramState::Ended, 3},
                 {Ending::WithCodeMinus1, ProgramState::Ended, 0},
                 {Ending::Crashing, ProgramState::Crashed, 0},
                 {Ending::NotStarting, ProgramState::NotStarted, 0}};
  for (const auto& [ending, is, number] : endings) {
    SCOPED_TRACE(int(ending));
    backend->writeProgram("run.exe", true, ending);
    const auto program = folder->startProgram("run.exe");
    ProgramState state;  // looked at as the installer looks, every 100 ms
    for (int looks = 0; looks < 100 && (state = program->state()).is == ProgramState::Running;
         ++looks)
      Wait(100ms);
    EXPECT_EQ(state.is, is);
    EXPECT_TRUE(number == 0 || state.number == number) << state.number;
    EXPECT_EQ(state.why.empty(), is == ProgramState::Ended);
  }
}

// A download that cannot be a program of this system is refused by its first bytes, and the
// user is told why.
TEST_F(FilesContract, OnlyWhatCanBeAProgramIsTakenForOne) {
  backend->writeProgram("app.exe");
  backend->write("empty.exe", "");
  backend->write("page.exe", "<html>Not Found</html>");
  folder->checkIsProgram("app.exe", "app.exe");
  ExpectToldInChinese([&] { folder->checkIsProgram("empty.exe", "app.exe"); }, "empty.exe");
  ExpectToldInChinese([&] { folder->checkIsProgram("page.exe", "app.exe"); }, "page.exe");
}

// A folder where the program should be is never replaced, whether or not the old version is to
// be kept (kept, it would be swapped away whole): it is said at once, and the folder stays.
TEST_F(FilesContract, AFolderInThePlaceOfTheTargetIsRefusedAtOnce) {
  backend->write("_new_app.exe", "new");
  std::filesystem::create_directory(backend->path("app.exe"));
  backend->write("app.exe/data.txt", "the user's");
  for (const bool keepOld : {false, true}) {
    ExpectToldInChinese([&] { Stage("_new_app.exe", "app.exe")->putInPlace(keepOld); }, "app.exe");
    EXPECT_EQ(backend->read("app.exe/data.txt"), "the user's");
    EXPECT_EQ(backend->names(), (std::vector<std::string>{"_new_app.exe", "app.exe"}));
  }
}

}  // namespace

}  // namespace contract
