#pragma once
// Stand-ins for the allocation calls of the configuration store (strdup,
// calloc, realloc and the non-throwing operator new), defined in the test
// program so that they take the place of the C and C++ libraries' for the
// library too. Unarmed they allocate as usual; armed, they refuse with ENOMEM.

namespace quill::test {

struct AllocFailures {
  int strdupsBeforeFailure = -1;  // -1: never fail; n: the (n+1)-th strdup fails
  bool calloc = false;
  bool realloc = false;
  bool nothrowNew = false;
};

// The stand-ins' settings; tests reset them when done.
AllocFailures& allocFailures();

}  // namespace quill::test
