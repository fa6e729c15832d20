#include <quill/util/detail/huge_pages.h>

#include <sys/mman.h>
#include <cerrno>
#include <cstdint>

namespace quill::util::detail {

void preferHugePages(void* memory, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  // Only whole huge pages inside the block are advised; the pointer itself is
  // moved so that no integer is turned back into a pointer.
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t skip = (kHugePage - (start & (kHugePage - 1))) & (kHugePage - 1);
  if (memory == nullptr || bytes <= skip) return;
  const std::uintptr_t length = (bytes - skip) & ~(kHugePage - 1);
  if (length == 0) return;
  const int savedErrno = errno;
  madvise(static_cast<char*>(memory) + skip, length, MADV_HUGEPAGE);
  errno = savedErrno;
}

}  // namespace quill::util::detail
