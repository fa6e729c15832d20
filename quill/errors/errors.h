#pragma once
/// @file
/// The library's exception classes.
///
/// Two families that meet only in std::exception:
//  - TError and the system-level errors of quill::sys (TSysErr, TSysCallErr):
//    errors whose message is complete when they are thrown;
//  - SystemError and ExSystemError<N>: failures that carry an errno value.
//    Their what() is the message, ": " and the system's text for the number.
//    They are always raised through throwSystemError(), which picks the
//    ExSystemError<N> subclass for EPERM, ENOENT, EINTR, ECHILD and EAGAIN so
//    that callers can catch those by type.

#include <quill/errors/shared_ptr.h>
#include <quill/export.h>

#include <stdexcept>
#include <string>

namespace quill {

/// Polymorphic base of what a TError may carry along; nothing in the library
/// fills it, but copies of an error share it.
class QUILL_API TErrorAttachment {
 public:
  /// Destroyed through this base by the last error sharing it.
  virtual ~TErrorAttachment();
};

/// An error whose message is complete when it is thrown.
class QUILL_API TError : public std::exception {
 public:
  /// Copies @p message; the attachment is empty. May throw std::bad_alloc.
  explicit TError(const std::string& message);
  ~TError() override;

  /// The message, owned by the error.
  const char* what() const noexcept override;

  /// The text given at construction.
  std::string message;
  /// Optional object shared by all copies of the error; empty in every error
  /// the library builds.
  TSharedPtr<TErrorAttachment> attachment;
};

/// A failure that carries an errno value. Raise it through throwSystemError().
class QUILL_API SystemError : public std::runtime_error {
 public:
  /// @p message names the operation and its object; an @p errorNumber of 0
  /// stands for "the current errno", read here.
  SystemError(const std::string& message, int errorNumber);
  ~SystemError() override;

  /// The message, ": " and strerror(errorNumber) (the system's text alone for
  /// an empty message); composed on the first call and kept. Never throws: if
  /// composing fails, the bare message.
  const char* what() const noexcept override;

  /// The errno value the error stands for.
  int errorNumber;

 private:
  mutable std::string fullMessage_;
};

/// The SystemError of one errno value N, so that callers can catch it by
/// type: throwSystemError() raises it for N = 1, 2, 4, 10 and 11.
template <int N>
class QUILL_API ExSystemError : public SystemError {
 public:
  /// A SystemError with @p message and errorNumber N.
  explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
  // Out of line, so that the library's instances carry it for programs that
  // throw one themselves.
  ~ExSystemError() override;
};

extern template class ExSystemError<1>;
extern template class ExSystemError<2>;
extern template class ExSystemError<4>;
extern template class ExSystemError<10>;
extern template class ExSystemError<11>;

/// Throws the member of the SystemError family that fits @p errorNumber:
/// ExSystemError<N> for EPERM, ENOENT, EINTR, ECHILD and EAGAIN, a plain
/// SystemError otherwise (also for 0, which takes the current errno). Pass the
/// errno saved right after the failing call and a message naming the
/// operation and its object. Only that family leaves: running out of memory
/// while building the error ends the process.
[[noreturn]] QUILL_API void throwSystemError(const std::string& message, int errorNumber);

namespace sys {

/// Common base of the system-level errors of quill::sys.
class QUILL_API TSysErr : public TError {
 public:
  /// An error with @p message, complete as given.
  explicit TSysErr(const std::string& message);
  ~TSysErr() override;
};

/// A failed system call; the message is strerror(errorNumber) alone.
class QUILL_API TSysCallErr : public TSysErr {
 public:
  /// The error of a call that failed with @p errorNumber (its saved errno).
  explicit TSysCallErr(int errorNumber);
  ~TSysCallErr() override;

  /// The errno value of the failed call.
  int errorNumber;
};

}  // namespace sys
}  // namespace quill
