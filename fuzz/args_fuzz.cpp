// Fuzzes TEArgs against a plain std::vector<std::string> model: the input is
// a program of additions (of a string, of another vector, of a vector to
// itself, of the empty vector), copies, element reads and index errors over
// four vectors. After every step each vector must hold exactly its model's
// elements, the empty vector must still be empty, and every error must be the
// one the model predicts, with its exact message. Caught errors are kept to
// the end of the run: each must still carry the list as it was when it was
// raised, whatever happened to the vector afterwards.
//
// Input: a sequence of steps, each an operation byte (its low three bits
// pick the operation, the next two the target vector, the top two the other
// vector) followed by the operands the operation reads.

#include <quill/sys/args.h>

#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using quill::sys::EmptyArgs;
using quill::sys::TEArgs;
using Model = std::vector<std::string>;

constexpr std::size_t kVectors = 4;

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to 31 bytes, zero bytes included.
  std::string text() {
    const std::size_t length = byte() & 0x1f;
    std::string result;
    while (result.size() < length && !empty()) result += static_cast<char>(byte());
    return result;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool sameElements(const TEArgs& args, const Model& model) {
  if (args.Count() != model.size()) return false;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (args.Get(i) != model[i]) return false;
  }
  return args.List() == model;
}

std::string overflowMessage(std::size_t count, std::size_t added) {
  return "The number of arguments has exceeded the defined limits (arguments number = " +
         std::to_string(count) + ", add. arguments number = " + std::to_string(added) +
         ", max = 100)";
}

// An error kept to the end with the list it must still carry.
struct KeptError {
  quill::TSharedPtr<TEArgs::TList> list;
  Model expected;
};

// Adds `added` (the elements of the vector or string being added) to
// vectors[target] and its model, or checks the overflow error.
template <typename AddOperation>
void addChecked(TEArgs& args, Model& model, const Model& added, AddOperation add,
                std::vector<KeptError>& kept) {
  const Model before = model;
  if (model.size() + added.size() > TEArgs::MaxArgs) {
    bool raised = false;
    try {
      add();
    } catch (const TEArgs::TOverflow& error) {
      raised = true;
      FUZZ_CHECK(error.what() == overflowMessage(before.size(), added.size()));
      FUZZ_CHECK(*error.args == before);
      kept.push_back({error.args, before});
    }
    FUZZ_CHECK(raised);
    FUZZ_CHECK(sameElements(args, before));
    return;
  }
  add();
  model.insert(model.end(), added.begin(), added.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Input input(data, size);
  std::vector<TEArgs> vectors(kVectors);
  std::vector<Model> models(kVectors);
  std::vector<KeptError> kept;

  while (!input.empty()) {
    const uint8_t step = input.byte();
    const std::size_t target = (step >> 3) & 3;
    const std::size_t other = (step >> 5) & 3;
    TEArgs& args = vectors[target];
    Model& model = models[target];
    switch (step & 7) {
      case 0:
      case 1: {  // a string, the most common step
        const std::string text = input.text();
        addChecked(
            args, model, Model{text}, [&] { args.Add(text); }, kept);
        break;
      }
      case 2: {  // another vector, or the same one
        const Model added = models[other];
        addChecked(
            args, model, added, [&] { args.Add(vectors[other]); }, kept);
        break;
      }
      case 3: {  // a copy of itself, sharing its list
        const TEArgs copy(args);
        const Model added = model;
        addChecked(
            args, model, added, [&] { args.Add(copy); }, kept);
        FUZZ_CHECK(sameElements(copy, added));
        break;
      }
      case 4:  // the empty vector, directly or through a copy
        addChecked(
            args, model, Model{}, [&] { args.Add(TEArgs(EmptyArgs)); }, kept);
        break;
      case 5:  // a copy, sharing the list until either side changes
        vectors[target] = vectors[other];
        models[target] = models[other];
        break;
      case 6: {  // a read at an index, inside or past the end
        const std::size_t index = input.byte();
        if (index < model.size()) {
          FUZZ_CHECK(args.Get(index) == model[index]);
          break;
        }
        bool raised = false;
        try {
          args.Get(index);
        } catch (const TEArgs::TOutOfRange& error) {
          raised = true;
          FUZZ_CHECK(error.what() == "Wrong index (index = " + std::to_string(index) + ")");
          FUZZ_CHECK(error.index == index);
          kept.push_back({error.args, model});
        }
        FUZZ_CHECK(raised);
        break;
      }
      case 7: {  // the index error raised on purpose
        const uint64_t index = input.byte() * 0x0101010101010101ull;
        try {
          args.ThrowOutOfRange(index);
          FUZZ_CHECK(!"ThrowOutOfRange returned");
        } catch (const TEArgs::TOutOfRange& error) {
          FUZZ_CHECK(error.what() == "Wrong index (index = " + std::to_string(index) + ")");
          FUZZ_CHECK(error.index == index);
          kept.push_back({error.args, model});
        }
        break;
      }
    }
    for (std::size_t i = 0; i < kVectors; ++i) FUZZ_CHECK(sameElements(vectors[i], models[i]));
    FUZZ_CHECK(EmptyArgs.Count() == 0);
  }

  for (const KeptError& error : kept) FUZZ_CHECK(*error.list == error.expected);
  return 0;
}
