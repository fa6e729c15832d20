// The blocks of text of a configuration store.

#include <quill/conf/detail/conf_text.h>

#include <quill/util/detail/huge_pages.h>

#include <stdint.h>

#include <new>

namespace quill::detail {

ConfText* conf_text_add(ConfStore* store, size_t size) {
  char* memory = nullptr;
  if (size <= SIZE_MAX - sizeof(ConfText) - 1)
    memory = new (std::nothrow) char[sizeof(ConfText) + size + 1];
  if (memory == nullptr) {
    conf_log_out_of_memory("Unable to form configuration: %s");
    return nullptr;
  }
  util::detail::preferHugePages(memory, sizeof(ConfText) + size);
  auto* text = new (memory) ConfText{store->texts, size};
  store->texts = text;
  return text;
}

void conf_text_free(ConfText* text) {
  delete[] reinterpret_cast<char*>(text);
}

void conf_text_free_all(ConfStore* store) {
  while (store->texts != nullptr) {
    ConfText* text = store->texts;
    store->texts = text->next;
    conf_text_free(text);
  }
}

}  // namespace quill::detail
