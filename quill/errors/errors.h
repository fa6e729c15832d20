#pragma once
// The library's exception classes.
//
// Two families that meet only in std::exception:
//  - TError and the system-level errors of quill::sys (TSysErr, TSysCallErr):
//    errors whose message is complete when they are thrown;
//  - SystemError and ExSystemError<N>: failures that carry an errno value.
//    Their what() is the message, ": " and the system's text for the number.
//    They are always raised through throwSystemError(), which picks the
//    ExSystemError<N> subclass for EPERM, ENOENT, EINTR, ECHILD and EAGAIN so
//    that callers can catch those by type.

#include <quill/errors/shared_ptr.h>

#include <stdexcept>
#include <string>

namespace quill {

// Polymorphic base of what a TError may carry along; nothing in the library
// fills it, but copies of an error share it.
class TErrorAttachment {
 public:
  virtual ~TErrorAttachment();
};

class TError : public std::exception {
 public:
  explicit TError(const std::string& message);
  ~TError() override;

  const char* what() const noexcept override;

  std::string message;
  TSharedPtr<TErrorAttachment> attachment;
};

class SystemError : public std::runtime_error {
 public:
  // errorNumber 0 stands for "the current errno", read here.
  SystemError(const std::string& message, int errorNumber);
  ~SystemError() override;

  // The message, ": " and strerror(errorNumber); composed on the first call
  // and kept. Never throws: if composing fails, the bare message.
  const char* what() const noexcept override;

  int errorNumber;

 private:
  mutable std::string fullMessage_;
};

template <int N>
class ExSystemError : public SystemError {
 public:
  explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
};

extern template class ExSystemError<1>;
extern template class ExSystemError<2>;
extern template class ExSystemError<4>;
extern template class ExSystemError<10>;
extern template class ExSystemError<11>;

// Throws the member of the SystemError family that fits errorNumber. Pass
// the errno saved right after the failing call and a message naming the
// operation and its object. Only that family leaves: running out of memory
// while building the error ends the process.
[[noreturn]] void throwSystemError(const std::string& message, int errorNumber);

namespace sys {

// Common base of the system-level errors of quill::sys.
class TSysErr : public TError {
 public:
  explicit TSysErr(const std::string& message);
  ~TSysErr() override;
};

// A failed system call; the message is strerror(errorNumber) alone.
class TSysCallErr : public TSysErr {
 public:
  explicit TSysCallErr(int errorNumber);
  ~TSysCallErr() override;

  int errorNumber;
};

}  // namespace sys
}  // namespace quill
