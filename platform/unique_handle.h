// Sole ownership of one operating-system handle: closed when its owner goes, movable, never
// copied. Traits say what the handle is, which value means none, and how it is closed:
//   struct FdTraits {
//     using Value = int;
//     static constexpr int none() { return -1; }
//     static void close(int fd) { ::close(fd); }
//   };
//
// NonCopyable is the base of an object that owns something of the system in place (a session, a
// raised right, handlers to give back); Interface, the base of every interface of the platform,
// whose objects are used through a reference or an owning pointer.
#pragma once

#include <utility>

namespace platform {

// The traits of a handle that one function closes and one value leaves empty.
template <class V, auto Close, V None = V{}>
struct ClosedBy {
  using Value = V;
  static constexpr V none() { return None; }
  static void close(V value) { Close(value); }
};

class NonCopyable {
 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;

 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;
};

class Interface : NonCopyable {
 public:
  virtual ~Interface() = default;

 protected:
  Interface() = default;
};

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
  bool valid() const { return isValid(value_); }
  explicit operator bool() const { return valid(); }
  // Where a function that makes a handle writes it (the one held is closed first).
  Value* out() {
    reset();
    return &value_;
  }
  Value release() { return std::exchange(value_, Traits::none()); }
  void reset(Value value = Traits::none()) {
    const Value old = std::exchange(value_, value);
    if (isValid(old)) Traits::close(old);
  }

 private:
  static bool isValid(Value value) {
    if constexpr (requires { Traits::valid(value); }) {
      return Traits::valid(value);
    } else {
      return value != Traits::none();
    }
  }

  Value value_ = Traits::none();
};

// A handle held as an Interface, where holding it is all its owner does with it (a name taken).
template <class Handle>
class Holding : public Interface {
 public:
  explicit Holding(Handle handle) : handle_(std::move(handle)) {}

 private:
  Handle handle_;
};

}  // namespace platform
