#pragma once
// Descriptor helpers shared by the sources of quill/files; private to Quill.
// The reader throws the SystemError family; the owner throws nothing.

#include <string>

namespace quill::detail {

/// Owns an open descriptor (or -1) and closes it on every way out.
class OwnedDescriptor {
 public:
  explicit OwnedDescriptor(int descriptor = -1) noexcept : descriptor_(descriptor) {}
  ~OwnedDescriptor();
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  /// The descriptor, or -1.
  int get() const noexcept { return descriptor_; }
  /// Gives the descriptor up to the caller, who closes it from then on.
  int release() noexcept {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
  }
  /// Closes the descriptor now; 0, or the errno of a failed close.
  int close() noexcept;
  /// Closes the descriptor held, if any, and owns `descriptor` from now on.
  void reset(int descriptor) noexcept {
    close();
    descriptor_ = descriptor;
  }

 private:
  int descriptor_;
};

/// Everything left to read from @p descriptor, whose file is @p path.
/// @throws SystemError with the message @p path and ": read failed" when a
/// read fails: a short result never passes for the whole file.
std::string readToEnd(int descriptor, const std::string& path);

}  // namespace quill::detail
