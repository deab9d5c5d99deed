// Sole ownership of one operating-system handle: closed when its owner goes, movable, never
// copied. Traits say what the handle is, which value means none, and how it is closed:
//   struct FdTraits {
//     using Value = int;
//     static constexpr int none() { return -1; }
//     static void close(int fd) { ::close(fd); }
//   };
#pragma once

#include <utility>

namespace platform {

template <class Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() = default;
  explicit UniqueHandle(Value value) : value_(value) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Value get() const { return value_; }
  bool valid() const { return IsValid(value_); }
  explicit operator bool() const { return valid(); }
  Value release() { return std::exchange(value_, Traits::none()); }
  void reset(Value value = Traits::none()) {
    const Value old = std::exchange(value_, value);
    if (IsValid(old)) Traits::close(old);
  }

 private:
  static bool IsValid(Value value) {
    if constexpr (requires { Traits::valid(value); }) {
      return Traits::valid(value);
    } else {
      return value != Traits::none();
    }
  }

  Value value_ = Traits::none();
};

}  // namespace platform
