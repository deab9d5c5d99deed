#include "platform/qt/system.h"

#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace platform::qt {

void FdTraits::close(int fd) { ::close(fd); }

std::string SystemText(int error) {
  std::array<char, 256> text{};
  return ::strerror_r(error, text.data(), text.size());
}

std::string SignalText(int signal) {
  // Its one caller is the installer's one thread: no other thread asks for a signal's name.
  return ::strsignal(signal);  // NOLINT(concurrency-mt-unsafe)
}

SignalHandlers::SignalHandlers(std::initializer_list<int> caught, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int signal : caught) {
    struct sigaction previous {};
    if (::sigaction(signal, &action, &previous) == 0) previous_.emplace_back(signal, previous);
  }
}

SignalHandlers::~SignalHandlers() {
  for (const auto& [signal, previous] : previous_) ::sigaction(signal, &previous, nullptr);
}

std::optional<Ipv4Address> ResolveFirstIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  Ipv4Address address;
  std::memcpy(address.data(), &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  ::freeaddrinfo(found);
  return address;
}

}  // namespace platform::qt
