#pragma once

#include <utility>

namespace platform {

// Owns one handle and closes it exactly once. `Close` is a callable taking the handle; it may carry state
// (for instance the registry the handle came from). `Invalid` is the value that means "nothing held" and is
// never passed to `Close`: null by default (registry keys), -1 for a file descriptor. Move-only, like the
// handle it owns.
template <typename Handle, typename Close, Handle Invalid = Handle{}>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(Close close) : close_(std::move(close)) {}
    explicit UniqueHandle(Handle handle, Close close = Close{}) : handle_(handle), close_(std::move(close)) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, Invalid)), close_(std::move(other.close_)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
            close_ = std::move(other.close_);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }

    // Closes the held handle, if any, and takes `handle` instead.
    void reset(Handle handle = Invalid) {
        const Handle old = std::exchange(handle_, handle);
        if (old != Invalid) {
            close_(old);
        }
    }

    // Gives up ownership without closing.
    Handle release() { return std::exchange(handle_, Invalid); }

    // For out-parameters: closes what is held, then hands out the address to fill in.
    Handle* put() {
        reset();
        return &handle_;
    }

  private:
    Handle handle_ = Invalid;
    Close close_{};
};

}  // namespace platform
