#include "tests/conf/alloc_fakes.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QUILL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILL_ASAN 1
#endif
#endif

namespace quill::test {

AllocFailures& allocFailures() {
  static AllocFailures failures;
  return failures;
}

std::string allocFakesUnavailableReason() {
#ifdef QUILL_ASAN
  return "the allocation stand-ins cannot replace AddressSanitizer's allocator";
#else
  // Called through volatile pointers, so that the compiler cannot drop the
  // calls of a known allocation function.
  void* (*volatile callocCall)(size_t, size_t) = calloc;
  void* (*volatile reallocCall)(void*, size_t) = realloc;
  AllocFailures& failures = allocFailures();
  failures = AllocFailures{true, true, true, 0};
  void* zeroed = callocCall(1, 1);
  void* resized = reallocCall(nullptr, 1);
  void* object = ::operator new(1, std::nothrow);
  void* array = ::operator new[](1, std::nothrow);
  failures = AllocFailures{};
  const bool inEffect =
      zeroed == nullptr && resized == nullptr && object == nullptr && array == nullptr;
  free(zeroed);
  free(resized);
  ::operator delete(object, std::nothrow);
  ::operator delete[](array, std::nothrow);
  return inEffect ? ""
                  : "the allocation stand-ins are not in effect (another allocator replaced them)";
#endif
}

}  // namespace quill::test

#ifndef QUILL_ASAN

// The C library's own entry points, which do not lead back here.
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

using quill::test::allocFailures;

extern "C" void* calloc(size_t count, size_t size) noexcept {
  if (allocFailures().calloc) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, size_t size) noexcept {
  if (allocFailures().realloc) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(pointer, size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
  if (allocFailures().nothrowNew) return nullptr;
  return malloc(size == 0 ? 1 : size);
}

void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  free(pointer);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  int& left = allocFailures().nothrowArrayNewsBeforeFailure;
  if (left == 0) return nullptr;
  if (left > 0) --left;
  return malloc(size == 0 ? 1 : size);
}

void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  free(pointer);
}

#endif  // QUILL_ASAN
