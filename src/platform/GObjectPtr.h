#pragma once
// Owns one reference of a GObject; moves, never copies implicitly.

#include <glib-object.h>

#include <utility>

template <class T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  // Takes over a reference the caller owns (a "transfer full" return value).
  explicit GObjectPtr(T* adopted) : p_(adopted) {}
  static GObjectPtr retain(T* borrowed) {
    if (borrowed) g_object_ref(borrowed);
    return GObjectPtr(borrowed);
  }
  GObjectPtr(GObjectPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  ~GObjectPtr() { reset(); }

  void reset(T* adopted = nullptr) {
    if (p_) g_object_unref(p_);
    p_ = adopted;
  }
  T* get() const { return p_; }
  T* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};
