#include <quill/sys/args.h>

#include <string>

namespace quill::sys {

namespace {

// Built before main so that raising an error never starts by composing them.
const std::string kOverflowText = "The number of arguments has exceeded the defined limits";
const std::string kIndexText = "Wrong index";

}  // namespace

const TEArgs EmptyArgs;

TEArgs::TEArgsError::TEArgsError(const std::string& message, const TSharedPtr<TList>& list)
    : TSysErr(message), args(list) {}
TEArgs::TEArgsError::~TEArgsError() = default;

TEArgs::TOutOfRange::TOutOfRange(const std::string& message, const TSharedPtr<TList>& list,
                                 std::uint64_t at)
    : TEArgsError(message, list), index(at) {}
TEArgs::TOutOfRange::~TOutOfRange() = default;

TEArgs::TOverflow::TOverflow(const std::string& message, const TSharedPtr<TList>& list)
    : TEArgsError(message, list) {}
TEArgs::TOverflow::~TOverflow() = default;

namespace {

TSharedPtr<TEArgs::TList> newList() {
  TSharedPtr<TEArgs::TList> list(new TEArgs::TList);
  list->reserve(10);
  return list;
}

// EmptyArgs is where every thread starts its command lines from: sharing
// its list would have them all change its plain count at once.
TSharedPtr<TEArgs::TList> listOfCopy(const TEArgs& source, const TSharedPtr<TEArgs::TList>& list) {
  return &source == &EmptyArgs ? newList() : list;
}

}  // namespace

TEArgs::TEArgs() : list_(newList()) {}

// The analyser loses count of the shares through the returned pointer and
// reports a leak of the count that the tests under LeakSanitizer disprove.
// NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
TEArgs::TEArgs(const TEArgs& other) : list_(listOfCopy(other, other.list_)) {}

TEArgs& TEArgs::operator=(const TEArgs& other) {
  if (this != &other) list_ = listOfCopy(other, other.list_);
  return *this;
}

TEArgs::~TEArgs() = default;

void TEArgs::detach() {
  if (list_.useCount() == 1) return;
  TSharedPtr<TList> own(new TList);
  own->reserve(list_->size());
  own->assign(list_->begin(), list_->end());
  list_ = own;
}

void TEArgs::throwOverflow(std::uint64_t added) const {
  throw TOverflow(kOverflowText + " (arguments number = " + std::to_string(Count()) +
                      ", add. arguments number = " + std::to_string(added) +
                      ", max = " + std::to_string(MaxArgs) + ")",
                  list_);
}

void TEArgs::Add(const std::string& arg) {
  if (Count() + 1 > MaxArgs) throwOverflow(1);
  detach();
  list_->push_back(arg);
}

void TEArgs::Add(const TEArgs& other) {
  const std::uint64_t added = other.Count();
  if (Count() + added > MaxArgs) throwOverflow(added);
  detach();
  // Read the other list only now: if it is this very vector, the detach may
  // have replaced it. Growing first keeps the source elements in place while
  // a list is appended to itself.
  const TList& source = *other.list_;
  TList& target = *list_;
  const std::size_t before = target.size();
  target.reserve(before + added);
  try {
    for (std::uint64_t i = 0; i < added; ++i) target.push_back(source[i]);
  } catch (...) {
    target.resize(before);  // a failed Add leaves the vector as it was
    throw;
  }
}

std::string TEArgs::Get(std::uint64_t index) const {
  if (index >= Count()) ThrowOutOfRange(index);
  return (*list_)[index];
}

void TEArgs::ThrowOutOfRange(std::uint64_t index) const {
  throw TOutOfRange(kIndexText + " (index = " + std::to_string(index) + ")", list_, index);
}

}  // namespace quill::sys
