// Commands as values: their flags, their preparation, exec in place.

#include <quill/sys/exec.h>

#include <unistd.h>
#include <cerrno>
#include <string>
#include <vector>

namespace quill::sys {

TExec::TPrepare::~TPrepare() = default;
void TExec::TPrepare::BeforeFork(const TExec&) {}
bool TExec::TPrepare::OnForkError(const TExec&) {
  return true;
}
void TExec::TPrepare::InParent(const TExec&) {}
void TExec::TPrepare::InChild(const TExec&) {}
void TExec::TPrepare::BeforeExec(const TExec&) {}
bool TExec::TPrepare::OnExecError(const TExec&) {
  return true;
}

TExec::TExec(const TEArgs& arguments, std::uint64_t bits) : args(arguments), flags(bits) {}

int TExec::Exec(bool searchPath) const {
  if (args.Count() == 0) {
    throw TEArgs::TEArgsError("The argument list is empty",
                              TSharedPtr<TEArgs::TList>(new TEArgs::TList));
  }
  int result = 0;
  int failure = 0;
  {
    std::vector<char*> argv;
    for (const std::string& arg : args.List()) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    result = searchPath ? execvp(argv[0], argv.data()) : execv(argv[0], argv.data());
    failure = errno;
  }
  errno = failure;  // freeing the array must not hide why exec failed
  return result;
}

TExec TExec::WithFlags(std::uint64_t value) const {
  TExec copy(*this);
  copy.flags = value;
  return copy;
}

TExec TExec::WithFlagsAnd(std::uint64_t mask) const {
  return WithFlags(flags & mask);
}

TExec TExec::WithFlagsOr(std::uint64_t mask) const {
  return WithFlags(flags | mask);
}

TExec TExec::WithFlagsXor(std::uint64_t mask) const {
  return WithFlags(flags ^ mask);
}

TExec TExec::WithPrep(const TSharedPtr<TPrepare>& p) const {
  TExec copy(*this);
  copy.prep = p;
  return copy;
}

}  // namespace quill::sys
