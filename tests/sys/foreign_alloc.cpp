#include "tests/sys/foreign_alloc.h"

#include <unistd.h>
#include <cstdlib>
#include <new>

namespace {
pid_t watchedCaller = 0;
volatile int foreign = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (watchedCaller != 0 && getpid() != watchedCaller) foreign = foreign + 1;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace quill::sys::test {

void watchForeignAllocations(pid_t caller) {
  foreign = 0;
  watchedCaller = caller;
}

int foreignAllocations() {
  return foreign;
}

}  // namespace quill::sys::test
