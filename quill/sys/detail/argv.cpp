#include <quill/sys/detail/argv.h>

#include <quill/errors/shared_ptr.h>

#include <string>

namespace quill::sys::detail {

ArgvArray::ArgvArray(const TEArgs& args) {
  pointers_.reserve(args.Count() + 1);
  for (const std::string& arg : args.List()) pointers_.push_back(const_cast<char*>(arg.c_str()));
  pointers_.push_back(nullptr);
  shell_.resize(args.Count() + 2);
}

void refuseEmptyArgs(const TEArgs& args) {
  if (args.Count() == 0) {
    throw TEArgs::TEArgsError("The argument list is empty",
                              TSharedPtr<TEArgs::TList>(new TEArgs::TList));
  }
}

}  // namespace quill::sys::detail
