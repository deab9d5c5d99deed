#include "platform/files.h"

#include <algorithm>
#include <random>

namespace platform {

namespace {
constexpr std::size_t kLongestName = 255;
constexpr std::size_t kPatternLength = 1 + 5 + kStagedCopySuffixLength;  // ".", ".new-", suffix

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
}  // namespace

std::string StagedCopyPrefix(const std::string& targetName) {
  std::size_t kept = std::min(targetName.size(), kLongestName - kPatternLength);
  while (kept > 0 && kept < targetName.size() && IsContinuationByte(targetName[kept])) --kept;
  return "." + targetName.substr(0, kept) + ".new-";
}

std::string StagedCopyName(const std::string& targetName) {
  static std::mt19937 random{std::random_device{}()};
  static constexpr char kLetters[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string name = StagedCopyPrefix(targetName);
  for (std::size_t i = 0; i < kStagedCopySuffixLength; ++i) name += kLetters[pick(random)];
  return name;
}

bool IsStagedCopyOf(const std::string& entryName, const std::string& targetName) {
  const std::string prefix = StagedCopyPrefix(targetName);
  return entryName.size() == prefix.size() + kStagedCopySuffixLength &&
         entryName.compare(0, prefix.size(), prefix) == 0 &&
         std::all_of(entryName.begin() + std::ptrdiff_t(prefix.size()), entryName.end(),
                     IsLetterOrDigit);
}

std::string KeptOldName(const std::string& targetName, int attempt) {
  // An extension is what says the kind of program ("exe", "sh"), not a version's last number.
  const auto dot = targetName.rfind('.');
  const std::size_t length = dot == std::string::npos ? 0 : targetName.size() - dot - 1;
  const bool extension = dot != std::string::npos && dot > 0 && length >= 1 && length <= 4 &&
                         std::all_of(targetName.begin() + std::ptrdiff_t(dot) + 1, targetName.end(),
                                     IsLetterOrDigit) &&
                         std::any_of(targetName.begin() + std::ptrdiff_t(dot) + 1, targetName.end(),
                                     [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; });
  const std::string stem = extension ? targetName.substr(0, dot) : targetName;
  const std::string tag = attempt == 0 ? ".old" : ".old-" + std::to_string(attempt + 1);
  return stem + tag + (extension ? targetName.substr(dot) : "");
}

}  // namespace platform
