// What the Linux layer's parts share of the system: file descriptors owned by one object each,
// the system's words for an error, signal handlers that give the old ones back, and the one
// resolver of host names.
#pragma once

#include <csignal>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/icmp.h"
#include "platform/unique_handle.h"

namespace platform::qt {

struct FdTraits {
  using Value = int;
  static constexpr int none() { return -1; }
  static bool valid(int fd) { return fd >= 0; }
  static void close(int fd);
};
using UniqueFd = UniqueHandle<FdTraits>;

// strerror_r's description, in the user's language.
std::string SystemText(int error);
// A signal's name, in the user's language ("程式記憶體區段錯誤").
std::string SignalText(int signal);

// These signals go to the handler for as long as this object lives; then the old handlers again.
class SignalHandlers : NonCopyable {
 public:
  SignalHandlers(std::initializer_list<int> caught, void (*handler)(int));
  ~SignalHandlers();

 private:
  std::vector<std::pair<int, struct sigaction>> previous_;
};

// The host's first IPv4 address, from the resolver (which needs no lookup for a dotted one).
std::optional<Ipv4Address> ResolveFirstIpv4(const std::string& host);

}  // namespace platform::qt
