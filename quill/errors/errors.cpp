#include <quill/errors/errors.h>

#include <cerrno>
#include <cstring>

namespace quill {

TErrorAttachment::~TErrorAttachment() = default;

TError::TError(const std::string& text) : message(text) {}
TError::~TError() = default;

const char* TError::what() const noexcept {
  return message.c_str();
}

SystemError::SystemError(const std::string& message, int number)
    : std::runtime_error(message), errorNumber(number == 0 ? errno : number) {}

SystemError::~SystemError() = default;

const char* SystemError::what() const noexcept {
  if (!fullMessage_.empty()) return fullMessage_.c_str();
  try {
    std::string composed = std::runtime_error::what();
    if (!composed.empty()) composed += ": ";
    composed += std::strerror(errorNumber);
    fullMessage_ = std::move(composed);
    return fullMessage_.c_str();
  } catch (...) {
    return std::runtime_error::what();
  }
}

template <int N>
ExSystemError<N>::~ExSystemError() = default;

template class ExSystemError<1>;
template class ExSystemError<2>;
template class ExSystemError<4>;
template class ExSystemError<10>;
template class ExSystemError<11>;

namespace {

// Building the error may run out of memory; that must not leave in place of
// the error, so the construction is noexcept and such a failure terminates.
// The object is built straight into the exception (no copy that could throw).
template <typename Error, typename... Args>
Error buildError(const Args&... args) noexcept {
  return Error(args...);
}

}  // namespace

void throwSystemError(const std::string& message, int errorNumber) {
  switch (errorNumber) {
    case 1: throw buildError<ExSystemError<1>>(message);
    case 2: throw buildError<ExSystemError<2>>(message);
    case 4: throw buildError<ExSystemError<4>>(message);
    case 10: throw buildError<ExSystemError<10>>(message);
    case 11: throw buildError<ExSystemError<11>>(message);
    default: throw buildError<SystemError>(message, errorNumber);
  }
}

namespace sys {

TSysErr::TSysErr(const std::string& message) : TError(message) {}
TSysErr::~TSysErr() = default;

TSysCallErr::TSysCallErr(int number) : TSysErr(std::strerror(number)), errorNumber(number) {}
TSysCallErr::~TSysCallErr() = default;

}  // namespace sys
}  // namespace quill
