#pragma once
// Touched memory that makes a benchmark's caller large: the spawn figures
// are taken from a caller of 16 MiB and of 2 GiB, since a start that copies
// the caller's page tables grows with it and one that shares them does not.

#include <sys/mman.h>

#include <cstddef>
#include <cstring>

namespace quill::bench {

// `mebibytes` of private memory, every page written before the timing
// starts, held for the life of one benchmark.
class Ballast {
 public:
  explicit Ballast(std::size_t mebibytes) : size_(mebibytes << 20) {
    memory_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED) {
      memory_ = nullptr;
      return;
    }
    std::memset(memory_, 1, size_);
  }
  ~Ballast() {
    if (memory_ != nullptr) munmap(memory_, size_);
  }
  Ballast(const Ballast&) = delete;
  Ballast& operator=(const Ballast&) = delete;
  bool ok() const { return memory_ != nullptr; }

 private:
  std::size_t size_;
  void* memory_;
};

}  // namespace quill::bench
