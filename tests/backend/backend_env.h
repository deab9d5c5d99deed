#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

// True inside a user namespace of our own, where clock_settime cannot reach this machine's clock
// and the network is the loopback device alone. A Windows program under Wine reads the map
// through drive Z:.
#ifdef _WIN32
inline constexpr const char* kUidMap = "Z:\\proc\\self\\uid_map";
#else
inline constexpr const char* kUidMap = "/proc/self/uid_map";
#endif
inline bool InLab() {
  const char* flag = std::getenv("IN_LAB");
  if (flag == nullptr || std::string(flag) != "1") return false;
  std::ifstream map(kUidMap);
  std::string inside, outside, count;
  map >> inside >> outside >> count;
  return !count.empty() && count != "4294967295";  // the initial namespace maps every uid
}
