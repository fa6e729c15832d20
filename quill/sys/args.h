#pragma once
/// @file
/// Argument vectors of the programs the executor runs.
///
/// TEArgs is a value: copies share one list of strings and a change through a
/// shared copy first gives that copy a list of its own, so a change is never
/// seen through another copy. The list holds at most MaxArgs strings; Add
/// checks the limit before changing anything. Errors raised here carry a
/// share of the list as it was when they were raised. Not thread-safe: a
/// vector, its copies and its errors stay on one thread.

#include <quill/errors/errors.h>
#include <quill/errors/shared_ptr.h>
#include <quill/export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quill::sys {

/// An argument vector: element 0 is the program (a path, or a name to look
/// up in PATH), the others its arguments; at most MaxArgs byte strings.
/// Copies share storage until one of them is changed (copy on write).
class QUILL_API TEArgs {
 public:
  /// The storage shared between copies.
  using TList = std::vector<std::string>;

  /// Most elements a vector may hold.
  static constexpr std::uint64_t MaxArgs = 100;

  /// Base of the argument-vector errors; `args` shares the list of the
  /// vector that raised it, as it was at that moment.
  class QUILL_API TEArgsError : public TSysErr {
   public:
    /// An error with a complete message and a share of the raising list.
    TEArgsError(const std::string& message, const TSharedPtr<TList>& args);
    ~TEArgsError() override;

    /// The list of the vector that raised the error.
    TSharedPtr<TList> args;
  };

  /// Raised by ThrowOutOfRange and by Get for an index not below Count.
  class QUILL_API TOutOfRange : public TEArgsError {
   public:
    /// An index error for `index`.
    TOutOfRange(const std::string& message, const TSharedPtr<TList>& args, std::uint64_t index);
    ~TOutOfRange() override;

    /// The index that was asked for.
    std::uint64_t index;
  };

  /// Raised by Add when the vector would hold more than MaxArgs elements.
  class QUILL_API TOverflow : public TEArgsError {
   public:
    /// An overflow error.
    TOverflow(const std::string& message, const TSharedPtr<TList>& args);
    ~TOverflow() override;
  };

  /// An empty vector of its own, with room for 10 arguments.
  TEArgs();

  /// Appends a copy of `arg`. Raises TOverflow (and changes nothing) when
  /// the vector already holds MaxArgs elements; std::bad_alloc leaves it
  /// unchanged too.
  void Add(const std::string& arg);

  /// Appends copies of all elements of `other` in order (`other` may be this
  /// very vector or a copy of it). Raises TOverflow, changing nothing, when
  /// both counts together exceed MaxArgs.
  void Add(const TEArgs& other);

  /// Number of elements.
  std::uint64_t Count() const noexcept { return list_->size(); }

  /// A copy of element `index`; raises TOutOfRange when `index` is not
  /// below Count.
  std::string Get(std::uint64_t index) const;

  /// Raises TOutOfRange for `index` with the message "Wrong index (index =
  /// <index>)"; never returns.
  [[noreturn]] void ThrowOutOfRange(std::uint64_t index) const;

  /// Read-only view of the elements, valid until this vector is changed or
  /// destroyed.
  const TList& List() const noexcept { return *list_; }

 private:
  // Gives this vector a list of its own before a change.
  void detach();
  [[noreturn]] void throwOverflow(std::uint64_t added) const;

  TSharedPtr<TList> list_;
};

/// The empty vector that command lines are built from; never changed.
extern QUILL_API const TEArgs EmptyArgs;

}  // namespace quill::sys
