#pragma once
// Counts C++ allocations made by a process other than the registered caller.
// A child that borrows the caller's memory counts where the caller sees it;
// a forked child counts in its own copy only. Replaces the global operator
// new of the test program.

#include <sys/types.h>

namespace quill::sys::test {

// Starts counting for `caller`; 0 stops.
void watchForeignAllocations(pid_t caller);

// Allocations made by other processes since watching started.
int foreignAllocations();

}  // namespace quill::sys::test
