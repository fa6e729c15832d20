// The lookups over the one configuration store of the process.

#include <quill/conf/conf.h>

#include <quill/conf/detail/conf_reader.h>
#include <quill/conf/detail/conf_store.h>
#include <quill/log/log.h>

#include <errno.h>
#include <string.h>

#include <new>
#include <type_traits>

namespace {

using quill::detail::ConfStore;

constexpr char kConfPath[] = QUILL_CONF_FILE;
constexpr int kLastVar = _MAX_POSSIBLE_VEX_CONF_VAR_NAME;

// The store of the process: null until a load succeeds, then final until exit
// (never released, so every value handed out stays valid).
ConfStore* loadedStore = nullptr;
// The file's value of each catalogued variable once it has been found; a
// pointer into the store, never to a default.
const char* confValueCache[kLastVar + 1] = {};

// 0 once the store is loaded; -1 (errno set, reason logged) while the file
// cannot be read, in which case nothing of the attempt is kept and the next
// lookup tries again.
int loadStore() {
  if (loadedStore != nullptr) return 0;
  auto* store = new (std::nothrow) ConfStore;
  if (store == nullptr) {
    log_message(LOG_ERR, "Not enough memory to allocate Quill runtime configuration structure");
    errno = ENOMEM;
    return -1;
  }
  if (quill::detail::conf_store_read_file(kConfPath, store) != 0) {
    const int loadErrno = errno;
    delete store;
    errno = loadErrno;
    return -1;
  }
  loadedStore = store;
  return 0;
}

// The catalogue position of `index`, or -1 (errno EINVAL) outside 0 to 30. A
// C caller may pass any int; the parameter is read as the integer it holds,
// since reading it as a ConfVar would let the compiler assume a valid value.
int catalogueIndex(const ConfVar& index) {
  std::underlying_type_t<ConfVar> raw;
  memcpy(&raw, &index, sizeof raw);
  const auto wide = static_cast<long long>(raw);
  if (wide >= 0 && wide <= kLastVar) return static_cast<int>(wide);
  errno = EINVAL;
  return -1;
}

}  // namespace

int conf_load(void) {
  return loadStore();
}

const char* conf_find(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (loadStore() != 0) return nullptr;
  return quill::detail::conf_store_find(name, loadedStore);
}

const char* conf_get_configured(ConfVar index) {
  const int i = catalogueIndex(index);
  if (i < 0) return nullptr;
  // Only a value that was found is remembered: a miss asks the store again.
  if (confValueCache[i] == nullptr) confValueCache[i] = conf_find(conf_var_names[i]);
  return confValueCache[i];
}

const char* conf_get(ConfVar index) {
  const int i = catalogueIndex(index);
  if (i < 0) return nullptr;
  const char* configured = conf_get_configured(index);
  return configured != nullptr ? configured : conf_var_defaults[i];
}

const char* conf_get_by_name(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // The upper bound's name is not searched; the lower bound's is.
  for (int i = 0; i < kLastVar; ++i) {
    if (strcmp(name, conf_var_names[i]) == 0) return conf_get(static_cast<ConfVar>(i));
  }
  log_message(LOG_ERR, "variable '%s' was found neither in %s, nor in compile-time defaults", name,
              kConfPath);
  return nullptr;
}
