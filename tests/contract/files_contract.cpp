// Files and shell: staging a copy and putting it in place, finding, deleting, starting.
#include <algorithm>

#include "platform/error.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

class FilesContract : public Contract {
 protected:
  std::string At(const std::string& name) { return backend->folder() + name; }
  platform::Files& Files() { return P().files; }
};

// The target is untouched until the whole copy is put in place, in one step, under every name a
// download may have; nothing else is left behind.
TEST_P(FilesContract, AStagedCopyReplacesTheTargetWholeInOneStep) {
  for (const std::string& name :
       {std::string("app.exe"), std::string("程式 app"), std::string(240, 'n') + ".exe"}) {
    SCOPED_TRACE(name.size());
    const std::string download(1 << 20, 'n');
    backend->write(name, "old");
    backend->write("_new_" + name, download);
    auto copy = Files().stageCopy(At("_new_" + name), At(name));
    EXPECT_EQ(copy->length(), std::int64_t(download.size()));
    EXPECT_EQ(backend->read(name), "old");
    copy->putInPlace();
    EXPECT_EQ(backend->read(name), download);
    auto names = std::vector<std::string>{"_new_" + name, name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(backend->names(), names);
    Files().deleteFile(At("_new_" + name));
    Files().deleteFile(At(name));
  }
}

TEST_P(FilesContract, NothingIsLeftOfACopyNotPutInPlaceOrOfEarlierRuns) {
  backend->write("app.exe", "old");
  backend->write("_new_app.exe", "new");
  backend->write(".app.exe.new-Ab3dE9", "stale");
  backend->write(".app.exe.new-x", "not ours");
  EXPECT_THROW(Files().stageCopy(At("_new_none.exe"), At("app.exe")), platform::Error);
  Files().stageCopy(At("_new_app.exe"), At("app.exe")).reset();
  Files().removeStaleCopies(At("app.exe"));
  EXPECT_EQ(backend->names(),
            (std::vector<std::string>{".app.exe.new-x", "_new_app.exe", "app.exe"}));
  EXPECT_EQ(backend->read("app.exe"), "old");
}

TEST_P(FilesContract, FindsAndMeasuresOnlyNormalFiles) {
  backend->write("_new_app.exe", "x");
  backend->write(".hidden.exe", "x", true);
  EXPECT_EQ(Files().findNormalFile(At("_new_app.exe")), "_new_app.exe");
  EXPECT_EQ(Files().findNormalFile(At(".hidden.exe")), "");
  EXPECT_EQ(Files().findNormalFile(At("none.exe")), "");
  EXPECT_EQ(Files().fileLength(At("_new_app.exe")), 1);
  EXPECT_THROW(Files().fileLength(At("none.exe")), platform::Error);
  EXPECT_THROW(Files().deleteFile(At("none.exe")), platform::Error);
}

TEST_P(FilesContract, StartsAProgramInItsFolderWithoutArguments) {
  backend->writeProgram("app.exe");
  Files().startProgram(At("app.exe"), backend->folder());
  const auto record = backend->started();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->substr(record->find('\n') + 1), "0\n") << "no arguments";
  EXPECT_NE(record->find("程式 資料夾"), std::string::npos) << *record;
  EXPECT_THROW(Files().startProgram(At("none.exe"), backend->folder()), platform::Error);
}

CONTRACT_SUITE(FilesContract);

}  // namespace

}  // namespace contract
