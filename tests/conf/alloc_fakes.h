#pragma once
// Stand-ins for the allocation calls of the configuration store (calloc,
// realloc, and the non-throwing operator new and new[]), defined in the test
// program so that they take the place of the C and C++ libraries' for the
// library too. Unarmed they allocate as usual; armed, they refuse with ENOMEM.

#include <string>

namespace quill::test {

struct AllocFailures {
  bool calloc = false;
  bool realloc = false;
  bool nothrowNew = false;
  int nothrowArrayNewsBeforeFailure = -1;  // -1: never fail; n: the (n+1)-th new[] fails
};

// The stand-ins' settings; tests reset them when done.
AllocFailures& allocFailures();

// Empty when every stand-in is in effect, otherwise why not: under
// AddressSanitizer they are left out (its allocator owns every block), and
// valgrind puts its own allocator in their place.
std::string allocFakesUnavailableReason();

}  // namespace quill::test

// Skips the current test, with the reason, when the stand-ins are not in effect.
#define QUILL_REQUIRE_ALLOC_FAKES()                                                 \
  do {                                                                              \
    const std::string quillAllocWhy = ::quill::test::allocFakesUnavailableReason(); \
    if (!quillAllocWhy.empty()) GTEST_SKIP() << quillAllocWhy;                      \
  } while (0)
