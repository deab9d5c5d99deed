// Files and shell: what an installer needs to put a new version in place and start it, in the
// one folder it works in. Names are the system's own bytes (UTF-8 on Windows). Operations that
// fail throw platform::Error, whose description names the file and says in the user's language
// what went wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

// The old version of a program, kept aside beside the new one (under a staged copy's name, so
// that a run that was killed leaves it to the next run's removeStaleCopies) until the new one
// has shown that it starts. While it lies aside it holds no set-user-ID or set-group-ID bit and
// no file capability; it gets them back with its place. Destroying it without putting it back
// or keeping it removes it.
class KeptVersion : public Interface {
 public:
  // Puts the old version back in place of the new one, in one rename.
  virtual void putBack() = 0;
  // Where it cannot be put back: keeps it for good beside the target, under KeptOldName's first
  // free name, with its rights; that name, or its staged copy's where even that rename failed
  // (the next run then removes it).
  virtual std::string keepForGood() = 0;
};

// A whole copy of a file, made beside the file it is to replace under a temporary name. Until it
// is put in place the file it replaces is untouched; destroying it removes it.
class StagedCopy : public Interface {
 public:
  // The length of what was copied.
  virtual std::int64_t length() const = 0;
  // Replaces the target with the copy in one atomic step; a failure leaves the target as it was.
  // With keepOld, the old version stays aside (the target is at every moment the old version or
  // the new one, and nothing is copied): none where there was no target, or where the file system
  // cannot keep it so.
  virtual std::unique_ptr<KeptVersion> putInPlace(bool keepOld = false) = 0;
};

// How a started program stands, as far as anyone can tell without waiting.
struct ProgramState {
  // Ended: by itself, or by someone else's hand. Crashed: by a fault of its own (a signal or an
  // exception code a crash ends with). NotStarted: the system's loader, or the interpreter a
  // script names, could not run it.
  enum Is { Running, Ended, Crashed, NotStarted } is = Running;
  std::int32_t number = 0;  // what it ended with: its exit code, or the signal that killed it
  std::string why;  // a crash or failed start in the user's language ("程式記憶體區段錯誤")
};

// A program started and left to run: whether it has ended, and how.
class StartedProgram : public Interface {
 public:
  virtual ProgramState state() = 0;
};

// A folder opened once: every name is taken inside it, so that a deep folder works like any
// other and a folder renamed meanwhile cannot send the work elsewhere.
class Folder : public Interface {
 public:
  // The path of a name in this folder, as the user is shown it.
  virtual std::string pathOf(const std::string& name) const = 0;
  // The name if it is a normal file (not hidden, system or a folder), else empty text.
  virtual std::string findNormalFile(const std::string& name) = 0;
  virtual std::int64_t fileLength(const std::string& name) = 0;
  // Copies source, which must be a regular file, into a temporary file beside target, calling
  // whileCopying between its parts. Target must be a regular file (or a link to one) or absent:
  // anything else (a folder of the user's) is refused at once. The copy takes the target's rights:
  // on Windows its attributes, on POSIX its owner and group (where this process may set them),
  // permission bits and ACL and user attributes, never set-user-ID, set-group-ID or file
  // capabilities, which were granted to the old content; with no target, a new executable's rights.
  virtual std::unique_ptr<StagedCopy> stageCopy(const std::string& source,
                                                const std::string& target,
                                                const std::function<void()>& whileCopying) = 0;
  // Removes the temporary copies for target that an interrupted earlier run left behind.
  virtual void removeStaleCopies(const std::string& target) = 0;
  // Deletes the file, also a read-only one.
  virtual void deleteFile(const std::string& name) = 0;
  // Throws when the file cannot be a program of this system, by its first bytes: empty; on
  // Windows no PE image; elsewhere neither ELF nor a "#!" script (unless the program it is to
  // replace is neither either: a system running other formats).
  virtual void checkIsProgram(const std::string& name, const std::string& replacing) = 0;
  // Starts the program detached, with no arguments, this folder its working folder.
  virtual std::unique_ptr<StartedProgram> startProgram(const std::string& name) = 0;
};

class Files : public Interface {
 public:
  // The folder the running program lies in: where the link lies, when it was started through a
  // link. Throws platform::Error where it cannot be found.
  virtual std::unique_ptr<Folder> programFolder() = 0;
};

// Staged copies are named ".<target name>.new-" and six letters or digits, beside their target;
// a long target name is cut short so that the whole stays within the 255 bytes a file name may
// have (and is not cut inside a UTF-8 sequence).
constexpr std::size_t kStagedCopySuffixLength = 6;
std::string StagedCopyPrefix(const std::string& targetName);
std::string StagedCopyName(const std::string& targetName);  // the prefix and a random suffix
bool IsStagedCopyOf(const std::string& entryName, const std::string& targetName);

// The names an old version kept for good may take beside its target, by attempt: "viewer.old",
// "viewer.old.exe" for "viewer.exe" (it stays a program of its kind), then "viewer.old-2" ...
std::string KeptOldName(const std::string& targetName, int attempt);

}  // namespace platform
