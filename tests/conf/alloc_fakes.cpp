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
  char* (*volatile strdupCall)(const char*) = strdup;
  void* (*volatile callocCall)(size_t, size_t) = calloc;
  void* (*volatile reallocCall)(void*, size_t) = realloc;
  AllocFailures& failures = allocFailures();
  failures = AllocFailures{0, true, true, true};
  char* copy = strdupCall("x");
  void* zeroed = callocCall(1, 1);
  void* resized = reallocCall(nullptr, 1);
  void* object = ::operator new(1, std::nothrow);
  failures = AllocFailures{};
  const bool inEffect =
      copy == nullptr && zeroed == nullptr && resized == nullptr && object == nullptr;
  free(copy);
  free(zeroed);
  free(resized);
  ::operator delete(object, std::nothrow);
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

extern "C" char* strdup(const char* text) noexcept {
  int& left = allocFailures().strdupsBeforeFailure;
  if (left == 0) {
    errno = ENOMEM;
    return nullptr;
  }
  if (left > 0) --left;
  const size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}

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

#endif  // QUILL_ASAN
