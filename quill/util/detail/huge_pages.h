#pragma once
// Memory advice shared by the library's large buffers; private to Quill.

#include <cstddef>

namespace quill::util::detail {

/// Asks the kernel for transparent huge pages on the whole 2 MiB blocks of
/// [memory, memory + bytes). Memory written in one sweep then takes one page
/// fault per 2 MiB instead of one per 4 KiB. Only advice: a refusal changes
/// nothing but speed, and errno is kept.
void preferHugePages(void* memory, std::size_t bytes) noexcept;

}  // namespace quill::util::detail
