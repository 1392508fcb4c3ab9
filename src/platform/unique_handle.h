// One move-only owner for every OS handle kind. Each implementation defines a
// Traits struct with `using Handle = ...; static Handle Invalid(); static void
// Close(Handle);` and never calls a close function anywhere else.
#pragma once

#include <utility>

namespace platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept : h_(Traits::Invalid()) {}
  explicit UniqueHandle(Handle h) noexcept : h_(h) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }

  Handle get() const noexcept { return h_; }
  bool valid() const noexcept { return h_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  Handle release() noexcept {
    Handle h = h_;
    h_ = Traits::Invalid();
    return h;
  }
  void reset(Handle h = Traits::Invalid()) noexcept {
    if (valid()) Traits::Close(h_);
    h_ = h;
  }

 private:
  Handle h_;
};

}  // namespace platform
