#include "tests/conf/alloc_fakes.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

// The C library's own entry points, which do not lead back here.
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

namespace quill::test {

AllocFailures& allocFailures() {
  static AllocFailures failures;
  return failures;
}

}  // namespace quill::test

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
