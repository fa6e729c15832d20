#pragma once
/// @file
/// TSharedPtr: the library's small reference-counted pointer.
///
/// An object pointer and a separately allocated plain int count that starts
/// at 1, also for an empty pointer. Copies share both; the last holder deletes
/// the object (through its virtual destructor where the type has one) and the
/// count. The count is not atomic: a pointer and all its copies stay on one
/// thread. Constructing from T* takes ownership; only std::bad_alloc may be
/// thrown (and then the object passed in is deleted, so nothing leaks).

#include <cstddef>
#include <utility>

namespace quill {
namespace detail {

/// Drops one share of a count; frees it and answers true when it was the last.
/// Kept out of line: once inlined, g++ 12 cannot tell the counts of two
/// pointer types apart and warns about a use after free that cannot happen.
[[gnu::noinline]] inline bool dropShare(int* count) noexcept {
  if (--*count != 0) return false;
  delete count;
  return true;
}

}  // namespace detail

/// A counted, shared owner of one T (see the file comment).
template <typename T>
class TSharedPtr {
 public:
  /// An empty pointer (with a count of its own). May throw std::bad_alloc.
  TSharedPtr() : object_(nullptr), count_(new int(1)) {}

  /// Takes ownership of @p object (may be null). May throw std::bad_alloc,
  /// after deleting @p object.
  explicit TSharedPtr(T* object) : object_(object), count_(nullptr) {
    try {
      count_ = new int(1);
    } catch (...) {
      delete object;
      throw;
    }
  }

  /// Shares @p other's object.
  TSharedPtr(const TSharedPtr& other) noexcept : object_(other.object_), count_(other.count_) {
    ++*count_;
  }

  /// Shares a pointer to a derived type (a TSharedPtr<TUnionPrep> handed on
  /// as a TSharedPtr<TExec::TPrepare>, say).
  template <typename U>
  TSharedPtr(const TSharedPtr<U>& other) noexcept  // NOLINT: implicit like T* to base*
      : object_(other.object_), count_(other.count_) {
    ++*count_;
  }

  /// Drops this share and shares @p other's object instead.
  TSharedPtr& operator=(const TSharedPtr& other) noexcept {
    if (this == &other) return *this;
    ++*other.count_;  // before the release: both may share one count
    release();
    object_ = other.object_;
    count_ = other.count_;
    return *this;
  }

  /// Drops this share; the last one deletes the object.
  ~TSharedPtr() { release(); }

  /// Exchanges the objects of two pointers.
  void swap(TSharedPtr& other) noexcept {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
  }

  /// The object, or null; owned by the pointer.
  T* get() const noexcept { return object_; }
  /// The object's members; the pointer must not be empty.
  T* operator->() const noexcept { return object_; }
  /// The object; the pointer must not be empty.
  T& operator*() const noexcept { return *object_; }
  /// Whether there is an object.
  explicit operator bool() const noexcept { return object_ != nullptr; }

  /// Number of holders sharing the object (1 when unshared).
  int useCount() const noexcept { return *count_; }

 private:
  template <typename U>
  friend class TSharedPtr;

  void release() noexcept {
    int* count = count_;
    T* object = object_;
    count_ = nullptr;
    object_ = nullptr;
    if (detail::dropShare(count)) delete object;
  }

  T* object_;
  int* count_;
};

}  // namespace quill
